#pragma once

#include "core/Async.h"

#include <QDBusConnection>
#include <QVariantList>
#include <QVariantMap>

namespace quilvant {

// The answer of a desktop-portal request: its response code (0 done, 1 cancelled by the person, 2 anything
// else) and its results.
struct PortalResponse
{
    uint code = 2;
    QVariantMap results;
};

namespace Portal {

inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");

// A fresh token for a handle_token or session_handle_token option.
QString token();

// Calls `method` of the portal's `interface` with `arguments`, the last of which is the options dictionary
// (a handle token is added to it), and ends on `context`'s thread with the Response of the request the call
// opens, or with the call's error. Cancelling closes the request.
Cancellation request(const QString& interface, const QString& method, QVariantList arguments, QObject* context,
                     Completion<PortalResponse> done);

} // namespace Portal
} // namespace quilvant
