#include "support/PrivateXServer.h"

#include <QByteArray>
#include <QStringList>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quilvant::test {

namespace {

// Runs `arguments` as a child that dies with us; `keepFd` stays open in it. Returns the child's id, or -1.
pid_t spawn(const QStringList& arguments, int keepFd = -1)
{
    QList<QByteArray> storage;
    for (const QString& argument : arguments) {
        storage.append(argument.toLocal8Bit());
    }
    QList<char*> argv;
    for (QByteArray& argument : storage) {
        argv.append(argument.data());
    }
    argv.append(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        if (keepFd >= 0) {
            ::fcntl(keepFd, F_SETFD, 0);
        }
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int runToEnd(const QStringList& arguments)
{
    const pid_t pid = spawn(arguments);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

PrivateXServer::PrivateXServer(const QList<QRect>& monitors)
{
    QRect bounds;
    for (const QRect& monitor : monitors) {
        bounds = bounds.united(monitor);
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = QStringLiteral("cannot make a pipe");
        return;
    }
    m_pid = spawn({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"), QString::number(pipeFds[1]),
                   QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("%1x%2x24").arg(bounds.right() + 1).arg(bounds.bottom() + 1),
                   // Monitors defined by a client vanish when the server resets after that client leaves.
                   QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                  pipeFds[1]);
    ::close(pipeFds[1]);
    QByteArray number;
    pollfd wait{pipeFds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&wait, 1, 10'000) > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        number.append(c);
    }
    ::close(pipeFds[0]);
    if (m_pid < 0 || number.isEmpty()) {
        m_error = QStringLiteral("Xvfb did not start");
        return;
    }
    const QByteArray display = ':' + number;
    ::setenv("DISPLAY", display.constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    for (qsizetype i = 0; i < monitors.size(); ++i) {
        const QRect& m = monitors[i];
        // The first monitor takes over the server's only output, so that no monitor spans the whole screen.
        const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+%6")
                                     .arg(m.width())
                                     .arg(m.width() / 4)
                                     .arg(m.height())
                                     .arg(m.height() / 4)
                                     .arg(m.x())
                                     .arg(m.y());
        const QString output = i == 0 ? QStringLiteral("screen") : QStringLiteral("none");
        if (runToEnd({QStringLiteral("xrandr"), QStringLiteral("--setmonitor"), QStringLiteral("M%1").arg(i), geometry,
                      output}) != 0) {
            m_error = QStringLiteral("xrandr could not define monitor %1").arg(i);
            return;
        }
    }
}

PrivateXServer::~PrivateXServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}

} // namespace quilvant::test
