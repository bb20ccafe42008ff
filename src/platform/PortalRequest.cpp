#include "platform/PortalRequest.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QUuid>

namespace quilvant {

namespace {

const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

// Listens for the Response of one request object and ends the request once.
class RequestWatcher final : public QObject
{
    Q_OBJECT

public:
    RequestWatcher(QObject* context, Completion<PortalResponse> done)
        : QObject(context)
        , m_done(std::move(done))
    {}

    void listen(const QString& path)
    {
        if (path == m_path) {
            return;
        }
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!m_path.isEmpty()) {
            bus.disconnect(Portal::service, m_path, requestInterface, QStringLiteral("Response"), this,
                           SLOT(onResponse(uint, QVariantMap)));
        }
        m_path = path;
        if (m_path.isEmpty()) {
            return;
        }
        bus.connect(Portal::service, m_path, requestInterface, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));
    }

    void finish(Outcome<PortalResponse> outcome)
    {
        if (!m_done) {
            return;
        }
        listen(QString()); // stop listening
        auto done = std::move(m_done);
        m_done = nullptr;
        deleteLater();
        done(std::move(outcome));
    }

    void close()
    {
        if (!m_done || m_path.isEmpty()) {
            return;
        }
        QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(Portal::service, m_path, requestInterface, QStringLiteral("Close")),
            QDBus::NoBlock);
    }

public Q_SLOTS:
    void onResponse(uint code, const QVariantMap& results) { finish(PortalResponse{code, results}); }

private:
    QString m_path;
    Completion<PortalResponse> m_done;
};

QString senderPart()
{
    QString sender = QDBusConnection::sessionBus().baseService();
    sender.remove(0, sender.startsWith(QLatin1Char(':')) ? 1 : 0);
    return sender.replace(QLatin1Char('.'), QLatin1Char('_'));
}

} // namespace

namespace Portal {

QString token()
{
    return QStringLiteral("quilvant_") + QUuid::createUuid().toString(QUuid::Id128);
}

Cancellation request(const QString& interface, const QString& method, QVariantList arguments, QObject* context,
                     Completion<PortalResponse> done)
{
    const QString handleToken = token();
    QVariantMap options = arguments.isEmpty() ? QVariantMap() : arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), handleToken);
    arguments.append(options);

    auto* watcher = new RequestWatcher(context, std::move(done));
    // Listen before calling: the portal may answer before its reply to the call arrives.
    watcher->listen(QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(senderPart(), handleToken));

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), watcher);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, watcher, [watcher](QDBusPendingCallWatcher* self) {
        self->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *self;
        if (reply.isError()) {
            watcher->finish(Error::system(QStringLiteral("The desktop portal refused the request: %1 (%2)")
                                              .arg(reply.error().message(), reply.error().name())));
            return;
        }
        // Portals older than the handle_token convention answer on a path of their choosing.
        watcher->listen(reply.value().path());
    });

    QPointer<RequestWatcher> guard(watcher);
    return Cancellation([guard] {
        if (guard) {
            guard->close();
            QMetaObject::invokeMethod(
                guard.data(),
                [guard] {
                    if (guard) {
                        guard->finish(Error::cancelled());
                    }
                },
                Qt::QueuedConnection);
        }
    });
}

} // namespace Portal
} // namespace quilvant

#include "PortalRequest.moc"
