#pragma once

#include "core/Outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/types.h>
#include <vector>

namespace quilvant {

// Runs one outside program to completion and hands back its exit status and what it wrote to standard output.
// run() blocks its thread (never the GUI thread). The program gets no input (/dev/null), its standard error
// goes to /dev/null, and PATH is replaced by searchPath(). It leads a process group of its own and dies with
// the thread that started it. A watchdog asks the group to end when the time limit has passed, and kills it
// when it is still there after terminationGrace; terminate() does the same at once from any thread.
class Runner
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    struct Result
    {
        int status = 0;         // the exit status, or 128 + the signal that ended the program
        QByteArray output;      // standard output, at most outputLimit bytes
        bool outputCut = false; // more was written and dropped
    };

    // The time the watchdog goes by: the real monotonic clock unless a test moves one by hand.
    class Clock
    {
    public:
        virtual ~Clock() = default;
        virtual TimePoint now() const = 0;
        // poll(2) on `fds` until one is ready or, when given, `deadline` on this clock has come (then 0).
        virtual int wait(std::vector<pollfd>& fds, std::optional<TimePoint> deadline) = 0;
    };
    static std::shared_ptr<Clock> realClock();

    static constexpr std::chrono::seconds terminationGrace{3};
    static constexpr qsizetype outputLimit = 1 << 20;

    explicit Runner(std::shared_ptr<Clock> clock = realClock());
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Runs `program` (a path, or a name looked up in searchPath()) with `arguments` unchanged. Fails only when
    // the program cannot be started, with a description that names it.
    Outcome<Result> run(const QString& program, const QStringList& arguments, std::chrono::milliseconds timeout);

    // Ends the running program (or the next one, as soon as it starts) as the watchdog would. Idempotent.
    void terminate();

    // The PATH children get: ~/.local/bin:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin.
    static QString searchPath();
    // The executable `name` stands for: itself when it holds a slash, else the first match in searchPath().
    static std::optional<QString> locate(const QString& name);

private:
    std::shared_ptr<Clock> m_clock;
    std::mutex m_lock;
    bool m_terminateRequested = false; // guarded by m_lock
    int m_wake[2] = {-1, -1};          // terminate() writes a byte so that the waiting loop looks again
};

} // namespace quilvant
