#pragma once

#include "core/Async.h"
#include "platform/GlobalShortcut.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QVariantMap>

namespace quilvant {

// One entry of the GlobalShortcuts portal's a(sa{sv}) lists: an id and its properties.
struct PortalShortcut
{
    QString id;
    QVariantMap properties;
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

// The global shortcut through the desktop portal (org.freedesktop.portal.GlobalShortcuts), where the desktop
// offers it: a session of our own with one shortcut, "capture" (or "translate-selection", Alt + Shift), whose
// preferred trigger is Alt + the letter.
// The desktop may ask the person to confirm or choose another trigger; the registration counts as done when
// the portal reports the shortcut bound. A new registration replaces the session.
class PortalGlobalShortcut final : public GlobalShortcut
{
    Q_OBJECT

public:
    static inline const QString shortcutId = QStringLiteral("capture");
    static inline const QString selectionShortcutId = QStringLiteral("translate-selection");

    // With `shift`, the selection's shortcut: Alt + Shift + the letter.
    explicit PortalGlobalShortcut(QObject* parent = nullptr, bool shift = false);
    ~PortalGlobalShortcut() override;

    void registerKey(QChar letter) override;
    void unregister() override;

    static void registerTypes();

public Q_SLOTS:
    // The bus reaches only public slots.
    void onActivated(const QDBusMessage& message);

private:
    void bind(const QString& session, QChar letter);
    void fail(const QString& reason);

    bool m_shift;
    QString m_id;
    QString m_session;
    Cancellation m_pending;
    uint m_generation = 0;
};

} // namespace quilvant

Q_DECLARE_METATYPE(quilvant::PortalShortcut)
