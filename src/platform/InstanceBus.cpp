#include "platform/InstanceBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace quilvant {

namespace {

constexpr int askTimeoutMs = 5000;

} // namespace

InstanceBus::InstanceBus(QObject* parent)
    : QObject(parent)
{}

InstanceBus::~InstanceBus()
{
    if (m_owner) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(serviceName);
        bus.unregisterObject(objectPath);
    }
}

InstanceBus::Claim InstanceBus::claim()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return Claim::Unavailable;
    }
    // The object is there before the name, so that a caller who sees the name can reach it.
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportAllSlots)) {
        return Claim::Unavailable;
    }
    const auto reply = bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_owner = true;
        return Claim::Owner;
    }
    bus.unregisterObject(objectPath);
    return reply.isValid() ? Claim::Taken : Claim::Unavailable;
}

Outcome<void> InstanceBus::ask(const QString& method)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, method);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, askTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return Error::system(QStringLiteral("The running Quilvant did not answer: %1 (%2)")
                                 .arg(reply.errorMessage(), reply.errorName()));
    }
    return {};
}

} // namespace quilvant
