#include "core/Scheduler.h"

#include <QPointer>
#include <QTimer>

namespace quilvant {

Scheduler timerScheduler(QObject* context)
{
    QPointer<QObject> owner(context);
    return [owner](std::chrono::milliseconds delay, std::function<void()> action) {
        if (owner.isNull()) {
            return Cancellation();
        }
        auto* timer = new QTimer(owner.data());
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, action = std::move(action)] {
            timer->deleteLater();
            action();
        });
        timer->start(delay);
        QPointer<QTimer> guard(timer);
        return Cancellation([guard] {
            if (guard) {
                guard->stop();
                guard->deleteLater();
            }
        });
    };
}

} // namespace quilvant
