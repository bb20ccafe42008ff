#include "support/PortalStandIn.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QUrl>

namespace quilvant::test {

namespace {

const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
const QString root = QStringLiteral("/org/freedesktop/portal/desktop");

QString senderPart(const QDBusMessage& message)
{
    QString sender = message.service();
    sender.remove(0, 1);
    return sender.replace(QLatin1Char('.'), QLatin1Char('_'));
}

// An a{sv} argument as a message handed to a virtual object carries it.
QVariantMap mapOf(const QVariant& argument)
{
    return argument.canConvert<QDBusArgument>() ? qdbus_cast<QVariantMap>(argument) : argument.toMap();
}

} // namespace

PortalStandIn::PortalStandIn()
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal-stand-in")))
{
    PortalGlobalShortcut::registerTypes();
    m_registered = m_bus.registerVirtualObject(root, this, QDBusConnection::SubPath) && m_bus.registerService(service);
}

PortalStandIn::~PortalStandIn()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(root, QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(QStringLiteral("portal-stand-in"));
}

QString PortalStandIn::introspect(const QString&) const
{
    return {};
}

void PortalStandIn::respond(const QDBusMessage& call, uint code, const QVariantMap& results)
{
    const QVariantMap options = mapOf(call.arguments().constLast());
    const QString request = QStringLiteral("%1/request/%2/%3")
                                .arg(root, senderPart(call), options.value(QStringLiteral("handle_token")).toString());
    m_bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    QDBusMessage response = QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"),
                                                       QStringLiteral("Response"));
    response << code << results;
    m_bus.send(response);
}

bool PortalStandIn::handleMessage(const QDBusMessage& message, const QDBusConnection&)
{
    const QString member = message.member();
    if (message.interface() == QLatin1String("org.freedesktop.portal.Session") && member == QLatin1String("Close")) {
        closedSessions.append(message.path());
        openSessions.removeAll(message.path());
        m_bus.send(message.createReply());
        return true;
    }
    if (message.interface() == QLatin1String("org.freedesktop.portal.Screenshot") &&
        member == QLatin1String("Screenshot")) {
        lastScreenshotOptions = mapOf(message.arguments().constLast());
        QVariantMap results;
        if (screenshotResponse == 0) {
            lastScreenshotFile = m_files.filePath(QStringLiteral("Screenshot.png"));
            QFile file(lastScreenshotFile);
            if (file.open(QIODevice::WriteOnly)) {
                file.write(screenshotPng);
            }
            results.insert(QStringLiteral("uri"), QUrl::fromLocalFile(lastScreenshotFile).toString());
        }
        respond(message, screenshotResponse, results);
        return true;
    }
    if (message.interface() != QLatin1String("org.freedesktop.portal.GlobalShortcuts")) {
        return false;
    }
    if (member == QLatin1String("CreateSession")) {
        const QVariantMap options = mapOf(message.arguments().constFirst());
        const QString session =
            QStringLiteral("%1/session/%2/%3")
                .arg(root, senderPart(message), options.value(QStringLiteral("session_handle_token")).toString());
        openSessions.append(session);
        respond(message, 0, {{QStringLiteral("session_handle"), session}});
        return true;
    }
    if (member == QLatin1String("BindShortcuts")) {
        QList<PortalShortcut> shortcuts;
        message.arguments().at(1).value<QDBusArgument>() >> shortcuts;
        QVariantMap results;
        if (bindResponse == 0) {
            bound = shortcuts;
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts));
        }
        respond(message, bindResponse, results);
        return true;
    }
    return false;
}

void PortalStandIn::activate(const QString& id)
{
    QDBusMessage signal = QDBusMessage::createSignal(root, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
                                                     QStringLiteral("Activated"));
    signal << QVariant::fromValue(QDBusObjectPath(openSessions.isEmpty() ? root : openSessions.constLast())) << id
           << qulonglong(0) << QVariantMap();
    m_bus.send(signal);
}

void announceColorScheme(uint scheme)
{
    QDBusConnection portal = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("portal"));
    portal.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    QDBusMessage signal =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                   QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("SettingChanged"));
    signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
           << QVariant::fromValue(QDBusVariant(scheme));
    portal.send(signal);
}

} // namespace quilvant::test
