#include "engines/http/TransportFailure.h"

#include "core/Diagnostics.h"
#include "foundation/L.h"

#include <curl/curl.h>

namespace quilvant::http {

namespace {

QString keyFor(CURLcode code)
{
    switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("无法连接翻译服务，请检查网络和设置中的地址。");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return QStringLiteral("无法与翻译服务建立安全连接，请检查设置中的地址和服务的证书。");
    case CURLE_OPERATION_TIMEDOUT:
        return QStringLiteral("翻译服务响应超时，请重试。");
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QStringLiteral("与翻译服务的连接中断，请重试。");
    default:
        return QStringLiteral("与翻译服务的连接出错，请重试。");
    }
}

} // namespace

Error transportFailure(int curlCode, const QString& detail)
{
    const auto code = static_cast<CURLcode>(curlCode);
    QString described = QString::fromUtf8(curl_easy_strerror(code));
    if (!detail.trimmed().isEmpty()) {
        described += QStringLiteral(": ") + detail.trimmed();
    }
    // One line in the log, whatever the detail holds.
    for (QChar& c : described) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(' ');
        }
    }
    Diagnostics::record(QStringLiteral("http.failed code=%1 detail=%2").arg(curlCode).arg(described));
    return Error::system(L::t(keyFor(code)));
}

} // namespace quilvant::http
