#pragma once

#include "engines/http/HttpTransport.h"

#include <QString>

namespace quilvant::MiniMaxNetworkMetrics {

// The "minimax.network ..." diagnostics line for a finished transfer, or an empty string when the transport
// measured nothing (a cancelled transfer).
QString line(const http::HttpTimings& timings);

// Writes line(timings) to the diagnostics log when there is one.
void record(const http::HttpTimings& timings);

} // namespace quilvant::MiniMaxNetworkMetrics
