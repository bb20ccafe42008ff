#pragma once

#include "platform/PortalGlobalShortcut.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QTemporaryDir>

namespace quilvant::test {

// The desktop portal's Screenshot and GlobalShortcuts interfaces as a desktop would serve them, on a bus
// connection of its own (so that the program under test reaches it through the bus daemon like the real
// one): requests answered through Request objects' Response signals, sessions, Activated signals.
class PortalStandIn final : public QDBusVirtualObject
{
    Q_OBJECT

public:
    PortalStandIn();
    ~PortalStandIn() override;
    bool registered() const { return m_registered; }

    // Screenshot: the response code, and the PNG handed out (as a file in the stand-in's own folder) on 0.
    uint screenshotResponse = 0;
    QByteArray screenshotPng;
    QVariantMap lastScreenshotOptions;
    QString lastScreenshotFile;

    // GlobalShortcuts: the response code of BindShortcuts, the shortcuts bound, the sessions closed.
    uint bindResponse = 0;
    QList<PortalShortcut> bound;
    QStringList closedSessions;
    QStringList openSessions;

    // Emits Activated for `id` in the latest session.
    void activate(const QString& id);

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void respond(const QDBusMessage& call, uint code, const QVariantMap& results);

    QDBusConnection m_bus;
    bool m_registered = false;
    QTemporaryDir m_files;
};

// The portal's announcement of a new colour scheme (1 dark, 2 light), from a connection that holds its name.
void announceColorScheme(uint scheme);

} // namespace quilvant::test
