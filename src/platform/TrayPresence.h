#pragma once

#include <QObject>
#include <memory>

namespace quilvant {

class X11Connection;

// Whether the desktop shows tray items yet: an XEmbed tray (the owner of the screen's _NET_SYSTEM_TRAY_S<n>
// selection) or a StatusNotifier host (registered with org.kde.StatusNotifierWatcher on the session bus).
// At login the panel often starts after us. The toolkit decides once per process, when the first tray item is
// made, whether items go to a StatusNotifier host or to an XEmbed tray, so the item must not be made (nor the
// toolkit asked whether a tray is there) before one of them is: this watches for both and says when the first
// comes, without blocking on the bus.
class TrayPresence final : public QObject
{
    Q_OBJECT

public:
    explicit TrayPresence(QObject* parent = nullptr);
    ~TrayPresence() override;

    // Whether a tray has been seen (it stays true: the toolkit follows a tray that goes and comes back itself).
    bool present() const { return m_present; }

Q_SIGNALS:
    // Once, when the first tray is seen (queued after the constructor when one is there already).
    void appeared();

private Q_SLOTS:
    // The bus reaches only slots: asked again when a watcher comes or a host registers with it.
    void askStatusNotifierHost();

private:
    void watchX11();
    void watchStatusNotifier();
    void found(const char* kind);

    std::unique_ptr<X11Connection> m_x11;
    unsigned int m_traySelection = 0; // the selection's atom, 0 where there is no X server
    bool m_present = false;
};

} // namespace quilvant
