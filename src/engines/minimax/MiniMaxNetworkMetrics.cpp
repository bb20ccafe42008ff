#include "engines/minimax/MiniMaxNetworkMetrics.h"

#include "core/Diagnostics.h"

namespace quilvant::MiniMaxNetworkMetrics {

QString line(const http::HttpTimings& timings)
{
    if (!timings.available) {
        return {};
    }
    return QStringLiteral("minimax.network reused=%1 dns=%2 connect=%3 tls=%4 request-to-headers=%5")
        .arg(timings.reused() ? QStringLiteral("true") : QStringLiteral("false"),
             Diagnostics::seconds(timings.dnsSpan()), Diagnostics::seconds(timings.connectSpan()),
             Diagnostics::seconds(timings.tlsSpan()), Diagnostics::seconds(timings.requestToHeadersSpan()));
}

void record(const http::HttpTimings& timings)
{
    const QString text = line(timings);
    if (!text.isEmpty()) {
        Diagnostics::record(text);
    }
}

} // namespace quilvant::MiniMaxNetworkMetrics
