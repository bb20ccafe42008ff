#include "platform/PortalGlobalShortcut.h"

#include "foundation/L.h"
#include "platform/PortalRequest.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>

namespace quilvant {

namespace {

const QString interfaceName = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

void closeSession(const QString& session)
{
    if (session.isEmpty()) {
        return;
    }
    QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(Portal::service, session,
                                                                      QStringLiteral("org.freedesktop.portal.Session"),
                                                                      QStringLiteral("Close")),
                                       QDBus::NoBlock);
}

QString refusal(const PortalResponse& response)
{
    return response.code == 1 ? QStringLiteral("the shortcut was declined")
                              : QStringLiteral("the desktop portal answered %1").arg(response.code);
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

void PortalGlobalShortcut::registerTypes()
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

PortalGlobalShortcut::PortalGlobalShortcut(QObject* parent, bool shift)
    : GlobalShortcut(parent)
    , m_shift(shift)
    , m_id(shift ? selectionShortcutId : shortcutId)
{
    registerTypes();
    QDBusConnection::sessionBus().connect(Portal::service, Portal::path, interfaceName, QStringLiteral("Activated"),
                                          this, SLOT(onActivated(QDBusMessage)));
}

PortalGlobalShortcut::~PortalGlobalShortcut()
{
    unregister();
}

void PortalGlobalShortcut::registerKey(QChar letter)
{
    unregister();
    const uint generation = m_generation;
    QVariantMap options{{QStringLiteral("session_handle_token"), Portal::token()}};
    m_pending = Portal::request(interfaceName, QStringLiteral("CreateSession"), {options}, this,
                                [this, generation, letter](Outcome<PortalResponse> outcome) {
                                    if (generation != m_generation || outcome.error().isCancelled()) {
                                        return;
                                    }
                                    m_pending = Cancellation();
                                    if (!outcome) {
                                        fail(outcome.error().description());
                                        return;
                                    }
                                    const QString session =
                                        outcome.value().results.value(QStringLiteral("session_handle")).toString();
                                    if (outcome.value().code != 0 || session.isEmpty()) {
                                        fail(refusal(outcome.value()));
                                        return;
                                    }
                                    m_session = session;
                                    bind(session, letter);
                                });
}

void PortalGlobalShortcut::bind(const QString& session, QChar letter)
{
    const QList<PortalShortcut> shortcuts{
        {m_id,
         {{QStringLiteral("description"), L::t(m_shift ? QStringLiteral("翻译选中文字") : QStringLiteral("框选翻译"))},
          {QStringLiteral("preferred_trigger"),
           (m_shift ? QStringLiteral("ALT+SHIFT+%1") : QStringLiteral("ALT+%1")).arg(letter.toLower())}}}};
    const uint generation = m_generation;
    m_pending = Portal::request(
        interfaceName, QStringLiteral("BindShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(shortcuts), QString(), QVariantMap()}, this,
        [this, generation](Outcome<PortalResponse> outcome) {
            if (generation != m_generation || outcome.error().isCancelled()) {
                return;
            }
            m_pending = Cancellation();
            if (!outcome) {
                fail(outcome.error().description());
                return;
            }
            if (outcome.value().code != 0) {
                fail(refusal(outcome.value()));
                return;
            }
            QList<PortalShortcut> bound;
            const QVariant listed = outcome.value().results.value(QStringLiteral("shortcuts"));
            if (listed.canConvert<QDBusArgument>()) {
                listed.value<QDBusArgument>() >> bound;
            }
            for (const PortalShortcut& shortcut : bound) {
                if (shortcut.id == m_id) {
                    Q_EMIT registered();
                    return;
                }
            }
            fail(QStringLiteral("the desktop did not bind the shortcut"));
        });
}

void PortalGlobalShortcut::fail(const QString& reason)
{
    closeSession(m_session);
    m_session.clear();
    Q_EMIT failed(reason);
}

void PortalGlobalShortcut::unregister()
{
    ++m_generation;
    m_pending.cancel();
    m_pending = Cancellation();
    closeSession(m_session);
    m_session.clear();
}

void PortalGlobalShortcut::onActivated(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || m_session.isEmpty()) {
        return;
    }
    const QString session = arguments.at(0).value<QDBusObjectPath>().path();
    if (session == m_session && arguments.at(1).toString() == m_id) {
        Q_EMIT activated();
    }
}

} // namespace quilvant
