#pragma once

#include "platform/CaptureTool.h"

#include <QObject>
#include <chrono>

namespace quilvant {

// The desktop portal's interactive screenshot (org.freedesktop.portal.Screenshot), where the desktop draws
// the selection itself (GNOME on Wayland). The picture the portal saved is moved to the capture's path.
// Response codes become the tool statuses: done 0, cancelled 1, anything else 2; a portal that has not
// answered after the time limit is closed and counts as a tool that was ended (143).
class PortalCaptureTool final : public QObject, public CaptureTool
{
    Q_OBJECT

public:
    explicit PortalCaptureTool(std::chrono::milliseconds limit = std::chrono::seconds(180), QObject* parent = nullptr);

    QString name() const override { return QStringLiteral("portal"); }
    // Whether the session bus has, or can start, the desktop portal.
    bool available() const override;
    Cancellation capture(const QString& path, Completion<int> done) override;

    // Moves the local file `uri` names to `path` (copying across file systems); false when it cannot.
    static bool adopt(const QUrl& uri, const QString& path);

private:
    std::chrono::milliseconds m_limit;
};

} // namespace quilvant
