#include "core/EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace quilvant::EventLoop {

void turn(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool turnUntil(const std::function<bool()>& condition, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= milliseconds) {
            return false;
        }
        turn(10);
    }
    return true;
}

} // namespace quilvant::EventLoop
