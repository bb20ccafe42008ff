#include "support/ChildProcess.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <optional>
#include <utility>

namespace quilvant::test {

Sandbox::Sandbox()
{
    const QProcessEnvironment parent = QProcessEnvironment::systemEnvironment();
    for (const QString& name :
         {QStringLiteral("PATH"), QStringLiteral("DISPLAY"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
          QStringLiteral("ASAN_OPTIONS"), QStringLiteral("LSAN_OPTIONS"), QStringLiteral("UBSAN_OPTIONS"),
          QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("TESSDATA_PREFIX")}) {
        if (parent.contains(name)) {
            m_environment.insert(name, parent.value(name));
        }
    }
    m_environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    m_environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    const QDir root(m_root.path());
    for (const char* sub : {"home", "config", "data", "cache", "runtime", "tmp"}) {
        root.mkpath(QString::fromLatin1(sub));
    }
    QFile::setPermissions(root.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_environment.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    m_environment.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
    m_environment.insert(QStringLiteral("XDG_CACHE_HOME"), root.filePath(QStringLiteral("cache")));
    m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.filePath(QStringLiteral("runtime")));
    m_environment.insert(QStringLiteral("TMPDIR"), root.filePath(QStringLiteral("tmp")));
}

QString Sandbox::configHome() const
{
    return m_environment.value(QStringLiteral("XDG_CONFIG_HOME"));
}

QString Sandbox::runtimeDir() const
{
    return m_environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
}

QString Sandbox::settingsFile() const
{
    return configHome() + QStringLiteral("/quilvant/quilvant.conf");
}

QString Sandbox::privateTempDir() const
{
    return runtimeDir() + QStringLiteral("/quilvant");
}

void Sandbox::writeSetting(const QString& key, const QVariant& value) const
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
}

RunResult runProgram(const QString& program, const QStringList& arguments, const Sandbox& sandbox,
                     const RunOptions& options)
{
    RunResult result;
    QProcess process;
    process.setProcessEnvironment(sandbox.environment());
    process.setWorkingDirectory(sandbox.root());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            loop.quit();
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        result.timedOut = true;
        process.kill();
    });
    process.start(program, arguments);
    if (!process.waitForStarted(30'000)) {
        result.err = process.errorString().toUtf8();
        return result;
    }
    process.write(options.input);
    process.closeWriteChannel();
    deadline.start(options.timeoutMs);
    if (process.state() != QProcess::NotRunning) {
        loop.exec();
    }
    if (process.state() != QProcess::NotRunning) {
        process.waitForFinished(10'000);
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    return result;
}

QString quilvantBinary()
{
    return QStringLiteral(QUILVANT_BINARY);
}

QString testProgram(const QString& name)
{
    return QStringLiteral(QUILVANT_TEST_PROGRAMS_DIR) + QLatin1Char('/') + name;
}

namespace {

// The state and process group of a process, from "pid (comm) state ppid pgrp …" (comm may hold spaces and
// parentheses); nullopt when it is gone.
std::optional<std::pair<char, qint64>> stateAndGroup(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 3 || fields[0].isEmpty()) {
        return std::nullopt;
    }
    return std::pair{fields[0].at(0), fields[2].toLongLong()};
}

} // namespace

QList<qint64> runningMembersOf(qint64 group)
{
    QList<qint64> members;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isProcess = false;
        const qint64 pid = entry.toLongLong(&isProcess);
        const auto process = isProcess ? stateAndGroup(pid) : std::nullopt;
        if (process && process->first != 'Z' && process->second == group) {
            members.append(pid);
        }
    }
    return members;
}

QList<qint64> stillRunning(const QList<qint64>& pids)
{
    QList<qint64> running;
    for (const qint64 pid : pids) {
        const auto process = stateAndGroup(pid);
        if (process && process->first != 'Z') {
            running.append(pid);
        }
    }
    return running;
}

void killAfterFailure(const QList<qint64>& pids)
{
    if (!QTest::currentTestFailed()) {
        return;
    }
    for (const qint64 pid : stillRunning(pids)) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

RunResult runQuilvant(const QStringList& arguments, const Sandbox& sandbox, const RunOptions& options)
{
    return runProgram(quilvantBinary(), arguments, sandbox, options);
}

} // namespace quilvant::test
