#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace quilvant::test {

// A certificate authority made at test time and one server certificate it signed for 127.0.0.1, localhost and any
// further host names given, so clients can verify the loopback server through an explicit trust file instead of
// turning checks off.
struct TestCertificates
{
    QByteArray caPem;        // the authority's certificate
    QByteArray serverPem;    // the server's certificate
    QByteArray serverKeyPem; // the server's private key (PKCS#8)

    // A fresh authority and server certificate; empty fields (and `error`) when OpenSSL refuses.
    static TestCertificates generate(QString* error = nullptr, const QStringList& hostNames = {});
};

} // namespace quilvant::test
