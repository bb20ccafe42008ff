#pragma once

#include "core/Outcome.h"

#include <QByteArray>
#include <QString>

// How the hosted service's failures become messages: its error codes, its error bodies and the decoding of
// its JSON records.
namespace quilvant::HostedErrors {

// The interface-language message for a service error code (exact, case-sensitive comparison).
QString messageFor(const QString& code);

// The `error.code` of a HostedFailure body ({"error": {"code": ..., "message": ...}}), or the decoding error.
Outcome<QString> failureCode(const QByteArray& json);

// The failure of a response that is not a success: the code's message when the body is a HostedFailure,
// otherwise "Service unavailable".
Error responseFailure(const QByteArray& body);

} // namespace quilvant::HostedErrors
