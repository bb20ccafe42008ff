#include "core/ChildGroups.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace quilvant::ChildGroups {

namespace {

// Plain atomics in static storage: the signal handler reads them, so no lock and no allocation.
std::array<std::atomic<pid_t>, 64> groups{};
std::atomic<int> received{0};
std::atomic<int> wakeWriter{-1};
std::atomic<bool> installed{false};
std::atomic<bool> gentle{false};

// Touched on the GUI thread only, never by the handler.
std::function<void()>& gentleQuit()
{
    static std::function<void()> quit;
    return quit;
}

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

bool anyTracked()
{
    for (const auto& group : groups) {
        if (group.load() != 0) {
            return true;
        }
    }
    return false;
}

void onSignal(int number)
{
    const int saved = errno;
    int none = 0;
    const int writer = wakeWriter.load();
    if (writer >= 0 && (gentle.load() || anyTracked()) && received.compare_exchange_strong(none, number)) {
        const char byte = 1;
        if (::write(writer, &byte, 1) == 1) {
            errno = saved;
            return;
        }
    }
    // Nothing to stop gently, a second signal, or no way to reach the event loop: end everything now. The
    // signal is blocked while its handler runs, so the raised one ends the program as soon as this returns.
    signalAll(SIGKILL);
    ::signal(number, SIG_DFL);
    ::raise(number);
    errno = saved;
}

} // namespace

void track(pid_t leader)
{
    if (leader <= 0) {
        return;
    }
    for (auto& group : groups) {
        pid_t empty = 0;
        if (group.compare_exchange_strong(empty, leader)) {
            return;
        }
    }
}

void untrack(pid_t leader)
{
    for (auto& group : groups) {
        pid_t expected = leader;
        if (group.compare_exchange_strong(expected, 0)) {
            return;
        }
    }
}

void signalAll(int number)
{
    for (const auto& group : groups) {
        if (const pid_t leader = group.load(); leader > 0) {
            ::kill(-leader, number);
        }
    }
}

void installSignalHandlers()
{
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || installed.exchange(true)) {
        return;
    }
    int wake[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(wake[0], QSocketNotifier::Read, application);
        QObject::connect(notifier, &QSocketNotifier::activated, application, [reader = wake[0]] {
            char drained[16];
            while (::read(reader, drained, sizeof drained) > 0) {
            }
            if (const std::function<void()> quit = gentleQuit()) {
                quit();
            } else {
                QCoreApplication::exit(128 + received.load());
            }
        });
        wakeWriter.store(wake[1]);
    }
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction previous
        {
        };
        // A signal the program was started with ignored (nohup, a background job) stays ignored.
        if (::sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            ::sigaction(number, &action, nullptr);
        }
    }
    // exit() from anywhere, not only a return from main(), leaves no group behind.
    std::atexit([] { signalAll(SIGKILL); });
}

void setGentleQuit(std::function<void()> quit)
{
    gentle.store(static_cast<bool>(quit));
    gentleQuit() = std::move(quit);
}

int receivedSignal()
{
    return received.load();
}

void finish()
{
    signalAll(SIGKILL);
    if (const int number = received.load(); number != 0) {
        ::signal(number, SIG_DFL);
        ::raise(number);
    }
}

} // namespace quilvant::ChildGroups
