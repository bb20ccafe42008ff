#include "app/GraphicalSession.h"

#include "foundation/L.h"

#include <QFile>
#include <algorithm>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace quilvant::app::GraphicalSession {

namespace {

// The value after `-name` or `--name` on the command line, as Qt reads its own options.
QString option(const QStringList& arguments, const QString& name)
{
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QLatin1Char('-') + name || arguments[i] == QStringLiteral("--") + name) {
            return arguments[i + 1];
        }
    }
    return {};
}

bool openX11(const QString& display)
{
    const QByteArray name = display.toLocal8Bit();
    xcb_connection_t* connection = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
    const bool opened = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return opened;
}

bool openWayland(const QString& display)
{
    if (display.isEmpty()) {
        return false;
    }
    const QString path = display.startsWith(QLatin1Char('/'))
                             ? display
                             : qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + display;
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (native.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::copy(native.cbegin(), native.cend(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool opened =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; // NOLINT
    if (fd >= 0) {
        ::close(fd);
    }
    return opened;
}

} // namespace

std::optional<QString> missing(const QStringList& arguments)
{
    QString platforms = option(arguments, QStringLiteral("platform"));
    if (platforms.isEmpty()) {
        platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    }
    QString x11 = option(arguments, QStringLiteral("display"));
    if (x11.isEmpty()) {
        x11 = qEnvironmentVariable("DISPLAY");
    }
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    bool wantsX11 = platforms.isEmpty();
    bool wantsWayland = platforms.isEmpty();
    for (const QString& entry : platforms.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0).trimmed();
        if (name == QStringLiteral("xcb")) {
            wantsX11 = true;
        } else if (name.startsWith(QStringLiteral("wayland"))) {
            wantsWayland = true;
        } else {
            return std::nullopt; // a platform of Qt's own that needs no display server
        }
    }
    if ((wantsWayland && openWayland(wayland)) || (wantsX11 && !x11.isEmpty() && openX11(x11))) {
        return std::nullopt;
    }
    if (x11.isEmpty() && wayland.isEmpty()) {
        return L::t(QStringLiteral("Sorn 需要图形会话：未设置 DISPLAY 或 WAYLAND_DISPLAY。"));
    }
    return L::t(QStringLiteral("Sorn 需要图形会话：无法打开显示 %1。")).arg(x11.isEmpty() ? wayland : x11);
}

} // namespace quilvant::app::GraphicalSession
