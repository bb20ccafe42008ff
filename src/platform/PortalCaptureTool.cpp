#include "platform/PortalCaptureTool.h"

#include "platform/PortalRequest.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace quilvant {

PortalCaptureTool::PortalCaptureTool(std::chrono::milliseconds limit, QObject* parent)
    : QObject(parent)
    , m_limit(limit)
{}

bool PortalCaptureTool::available() const
{
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    if (bus == nullptr) {
        return false;
    }
    return bus->isServiceRegistered(Portal::service).value() ||
           bus->activatableServiceNames().value().contains(Portal::service);
}

bool PortalCaptureTool::adopt(const QUrl& uri, const QString& path)
{
    if (!uri.isLocalFile()) {
        return false;
    }
    const QString source = uri.toLocalFile();
    QFile::remove(path);
    if (QFile::rename(source, path)) {
        return true;
    }
    if (!QFile::copy(source, path)) {
        return false;
    }
    QFile::remove(source);
    return true;
}

namespace {

struct PortalCapture
{
    Completion<int> done;
    Cancellation request;
    QPointer<QTimer> timer;

    void finish(Outcome<int> outcome)
    {
        if (!done) {
            return;
        }
        if (timer) {
            timer->stop();
            timer->deleteLater();
        }
        auto ending = std::move(done);
        done = nullptr;
        ending(std::move(outcome));
    }
};

} // namespace

Cancellation PortalCaptureTool::capture(const QString& path, Completion<int> done)
{
    auto state = std::make_shared<PortalCapture>();
    state->done = std::move(done);
    state->request = Portal::request(
        QStringLiteral("org.freedesktop.portal.Screenshot"), QStringLiteral("Screenshot"),
        {QString(), QVariantMap{{QStringLiteral("interactive"), true}, {QStringLiteral("modal"), true}}}, this,
        [state, path](Outcome<PortalResponse> outcome) {
            if (!outcome) {
                state->finish(outcome.error());
                return;
            }
            const PortalResponse& response = outcome.value();
            if (response.code != 0) {
                state->finish(response.code == 1 ? 1 : 2);
                return;
            }
            const QUrl uri(response.results.value(QStringLiteral("uri")).toString());
            state->finish(adopt(uri, path) ? 0 : 2);
        });

    state->timer = new QTimer(this);
    state->timer->setSingleShot(true);
    std::weak_ptr<PortalCapture> weak = state;
    QObject::connect(state->timer, &QTimer::timeout, this, [weak] {
        if (const auto capture = weak.lock()) {
            capture->request.cancel();
            capture->finish(128 + 15);
        }
    });
    state->timer->start(m_limit);
    return Cancellation([weak] {
        if (const auto capture = weak.lock()) {
            capture->request.cancel();
            capture->finish(Error::cancelled());
        }
    });
}

} // namespace quilvant
