#pragma once

#include <QString>
#include <optional>

namespace quilvant {

// The final record of a hosted translation, as the service's "done" event carries it.
struct HostedResult
{
    QString text;
    qint64 remainingCharacters = 0;
    std::optional<QString> requestID;
};

} // namespace quilvant
