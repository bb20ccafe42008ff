#include "platform/DisplaySession.h"

#include <QStringList>

namespace quilvant::DisplaySession {

Kind current()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        qEnvironmentVariable("XDG_SESSION_TYPE").compare(QStringLiteral("wayland"), Qt::CaseInsensitive) == 0) {
        return Kind::Wayland;
    }
    return qEnvironmentVariableIsEmpty("DISPLAY") ? Kind::None : Kind::X11;
}

QStringList desktops()
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").toUpper().split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

} // namespace quilvant::DisplaySession
