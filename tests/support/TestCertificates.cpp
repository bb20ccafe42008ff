#include "support/TestCertificates.h"

#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace quilvant::test {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter
{
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

QString lastError()
{
    char buffer[256] = {};
    ERR_error_string_n(ERR_get_error(), buffer, sizeof buffer);
    return QString::fromLatin1(buffer);
}

Key makeKey()
{
    return Key(EVP_EC_gen("P-256"));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

Cert makeCertificate(EVP_PKEY* subjectKey, const char* commonName, const QByteArray& altNames, long serial,
                     X509* issuer, EVP_PKEY* issuerKey, bool authority)
{
    Cert cert(X509_new());
    if (!cert) {
        return {};
    }
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    // Back-dated a little so a clock step between creation and use cannot make it "not yet valid".
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_set_pubkey(cert.get(), subjectKey);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quilvant tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));

    bool ok = true;
    if (authority) {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        ok = ok && addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        ok = ok && addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        ok = ok && addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        ok = ok && addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        ok = ok && addExtension(cert.get(), signer, NID_subject_alt_name, altNames.constData());
        ok = ok && addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) {
        return {};
    }
    return cert;
}

QByteArray drain(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(size));
}

QByteArray certificatePem(X509* cert)
{
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert);
    return drain(bio.get());
}

QByteArray keyPem(EVP_PKEY* key)
{
    Bio bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return drain(bio.get());
}

} // namespace

TestCertificates TestCertificates::generate(QString* error, const QStringList& hostNames)
{
    const Key caKey = makeKey();
    const Key serverKey = makeKey();
    if (!caKey || !serverKey) {
        if (error != nullptr) {
            *error = lastError();
        }
        return {};
    }
    QByteArray altNames = "IP:127.0.0.1,DNS:localhost";
    for (const QString& host : hostNames) {
        altNames += ",DNS:" + host.toLatin1();
    }
    const Cert ca = makeCertificate(caKey.get(), "Quilvant test authority", {}, 1, nullptr, caKey.get(), true);
    const Cert server =
        ca ? makeCertificate(serverKey.get(), "127.0.0.1", altNames, 2, ca.get(), caKey.get(), false) : Cert();
    if (!ca || !server) {
        if (error != nullptr) {
            *error = lastError();
        }
        return {};
    }
    return TestCertificates{certificatePem(ca.get()), certificatePem(server.get()), keyPem(serverKey.get())};
}

} // namespace quilvant::test
