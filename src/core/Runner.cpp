#include "core/Runner.h"

#include "core/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quilvant {

namespace {

using namespace std::chrono;

class RealClock final : public Runner::Clock
{
public:
    Runner::TimePoint now() const override { return steady_clock::now(); }
    int wait(std::vector<pollfd>& fds, std::optional<Runner::TimePoint> deadline) override
    {
        if (!deadline) {
            return ::poll(fds.data(), fds.size(), -1);
        }
        // Waited for in slices of at most a minute: poll's timeout is an int of milliseconds.
        for (;;) {
            const auto left = ceil<milliseconds>(*deadline - now()).count();
            const int ready =
                ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000)));
            if (ready != 0 || left <= 60'000) {
                return ready;
            }
        }
    }
};

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Error launchError(const QString& program, const QString& why)
{
    return Error::system(QStringLiteral("Cannot start %1: %2").arg(program, why));
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Owns the descriptors of one run, so that every return path closes them.
struct Descriptors
{
    int out[2] = {-1, -1};
    int report[2] = {-1, -1};
    int null = -1;
    int pidFd = -1; // readable once the child has ended

    ~Descriptors()
    {
        for (int* fd : {&out[0], &out[1], &report[0], &report[1], &null, &pidFd}) {
            closeFd(*fd);
        }
    }
};

int statusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return 255;
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 255;
        }
    }
    return statusOf(status);
}

} // namespace

std::shared_ptr<Runner::Clock> Runner::realClock()
{
    static const auto clock = std::make_shared<RealClock>();
    return clock;
}

Runner::Runner(std::shared_ptr<Clock> clock)
    : m_clock(std::move(clock))
{
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = m_wake[1] = -1;
    }
}

Runner::~Runner()
{
    closeFd(m_wake[0]);
    closeFd(m_wake[1]);
}

QString Runner::searchPath()
{
    return QDir::homePath() +
           QStringLiteral("/.local/bin:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin");
}

std::optional<QString> Runner::locate(const QString& name)
{
    if (name.isEmpty()) {
        return std::nullopt;
    }
    if (name.contains(QLatin1Char('/'))) {
        return name;
    }
    for (const QString& dir : searchPath().split(QLatin1Char(':'))) {
        const QFileInfo candidate(dir + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable()) {
            return candidate.filePath();
        }
    }
    return std::nullopt;
}

void Runner::terminate()
{
    const std::lock_guard lock(m_lock);
    m_terminateRequested = true;
    if (m_wake[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
    }
}

Outcome<Runner::Result> Runner::run(const QString& program, const QStringList& arguments, milliseconds timeout)
{
    const std::optional<QString> executable = locate(program);
    if (!executable) {
        return launchError(program, QStringLiteral("not found in %1").arg(searchPath()));
    }

    // Everything the child needs is made before the fork: after it, only async-signal-safe calls are allowed.
    QList<QByteArray> argumentBytes{QFile::encodeName(*executable)};
    for (const QString& argument : arguments) {
        argumentBytes.append(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& bytes : argumentBytes) {
        argv.push_back(bytes.data());
    }
    argv.push_back(nullptr);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), searchPath());
    QList<QByteArray> environmentBytes;
    for (const QString& entry : environment.toStringList()) {
        environmentBytes.append(entry.toLocal8Bit());
    }
    std::vector<char*> envp;
    for (QByteArray& bytes : environmentBytes) {
        envp.push_back(bytes.data());
    }
    envp.push_back(nullptr);

    Descriptors fds;
    fds.null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fds.null < 0 || ::pipe2(fds.out, O_CLOEXEC) != 0 || ::pipe2(fds.report, O_CLOEXEC) != 0) {
        return launchError(program, errnoText(errno));
    }

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        return launchError(program, errnoText(errno));
    }
    if (pid == 0) {
        ChildProcess::detach(parent);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL); // an ignored signal stays ignored across exec
        ::dup2(fds.null, STDIN_FILENO);
        ::dup2(fds.out[1], STDOUT_FILENO);
        ::dup2(fds.null, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(fds.report[1], &error, sizeof error);
        ::_exit(127);
    }

    closeFd(fds.out[1]);
    closeFd(fds.report[1]);
    // The report pipe closes on a successful exec and carries errno when exec failed.
    int execError = 0;
    ssize_t got = 0;
    while ((got = ::read(fds.report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    if (got == sizeof execError) {
        waitFor(pid);
        return launchError(program, errnoText(execError));
    }

    fds.pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fds.pidFd < 0) {
        const int error = errno;
        ChildProcess::signalGroup(pid, SIGKILL);
        waitFor(pid);
        return launchError(program, QStringLiteral("cannot watch it: %1").arg(errnoText(error)));
    }

    Result result;
    auto take = [&result](const char* bytes, ssize_t count) {
        const qsizetype room = outputLimit - result.output.size();
        if (count > room) {
            result.outputCut = true;
        }
        result.output.append(bytes, std::min<qsizetype>(count, room));
    };

    enum class Phase
    {
        Running,
        Terminating,
        Killed
    };
    Phase phase = Phase::Running;
    std::optional<TimePoint> deadline = m_clock->now() + timeout;
    auto escalate = [&] {
        if (phase == Phase::Running) {
            ChildProcess::signalGroup(pid, SIGTERM);
            phase = Phase::Terminating;
            deadline = m_clock->now() + terminationGrace;
        } else if (phase == Phase::Terminating) {
            ChildProcess::signalGroup(pid, SIGKILL);
            phase = Phase::Killed;
            deadline.reset();
        }
    };
    {
        const std::lock_guard lock(m_lock);
        if (m_terminateRequested) {
            escalate();
        }
    }

    char buffer[16384];
    bool exited = false;
    while (!exited) {
        std::vector<pollfd> watched{{fds.pidFd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (fds.out[0] >= 0) {
            watched.push_back({fds.out[0], POLLIN, 0});
        }
        const int ready = m_clock->wait(watched, phase == Phase::Killed ? std::nullopt : deadline);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            ChildProcess::signalGroup(pid, SIGKILL);
            break;
        }
        if (ready == 0) {
            escalate();
            continue;
        }
        if (watched[1].revents != 0) {
            while (::read(m_wake[0], buffer, sizeof buffer) > 0) {
            }
            const std::lock_guard lock(m_lock);
            if (m_terminateRequested && phase == Phase::Running) {
                escalate();
            }
        }
        if (watched.size() > 2 && watched[2].revents != 0) {
            const ssize_t count = ::read(fds.out[0], buffer, sizeof buffer);
            if (count > 0) {
                take(buffer, count);
            } else if (count == 0 || errno != EINTR) {
                closeFd(fds.out[0]);
            }
        }
        exited = watched[0].revents != 0;
    }

    // Whatever the program wrote before it ended is still in the pipe; a descendant that keeps the pipe open
    // is not waited for.
    if (fds.out[0] >= 0 && ::fcntl(fds.out[0], F_SETFL, O_NONBLOCK) == 0) {
        ssize_t count = 0;
        while ((count = ::read(fds.out[0], buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
            if (count > 0) {
                take(buffer, count);
            }
        }
    }
    result.status = waitFor(pid);
    return result;
}

} // namespace quilvant
