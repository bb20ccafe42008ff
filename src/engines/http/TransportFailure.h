#pragma once

#include "core/Outcome.h"

#include <QString>

namespace quilvant::http {

// What a person is told when a transfer failed on the way (no connection, a secure connection refused, a cut or
// too slow answer): a short message of the catalogue in the interface language. libcurl's own description, which
// names hosts and ports in English, goes to the diagnostics log instead, where whoever looks for the cause finds
// it. `curlCode` is the transfer's CURLcode.
Error transportFailure(int curlCode, const QString& detail);

} // namespace quilvant::http
