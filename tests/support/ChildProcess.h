#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

namespace quilvant::test {

// A throwaway home for a child process: its own HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and
// XDG_RUNTIME_DIR, removed with the object. DISPLAY, the session bus and the sanitizer settings of the test's
// own environment are passed on.
class Sandbox
{
public:
    Sandbox();

    QString root() const { return m_root.path(); }
    QString configHome() const;
    QString runtimeDir() const;
    // The settings file the program reads in this sandbox.
    QString settingsFile() const;
    // The program's private temporary directory in this sandbox.
    QString privateTempDir() const;

    void writeSetting(const QString& key, const QVariant& value) const;
    QProcessEnvironment environment() const { return m_environment; }
    void setEnv(const QString& name, const QString& value) { m_environment.insert(name, value); }
    void unsetEnv(const QString& name) { m_environment.remove(name); }

private:
    QTemporaryDir m_root;
    QProcessEnvironment m_environment;
};

struct RunResult
{
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QByteArray out;
    QByteArray err;

    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
};

struct RunOptions
{
    QByteArray input;        // written to standard input, which is then closed
    int timeoutMs = 120'000; // killed after this
};

// Runs `program` with `arguments` in `sandbox` and waits for it (serving this thread's event loop meanwhile,
// so that servers living on it keep answering).
RunResult runProgram(const QString& program, const QStringList& arguments, const Sandbox& sandbox,
                     const RunOptions& options = {});

// The built quilvant executable.
QString quilvantBinary();
// A helper program built under tests/support/programs.
QString testProgram(const QString& name);

RunResult runQuilvant(const QStringList& arguments, const Sandbox& sandbox, const RunOptions& options = {});

// The processes of the process group `group` that still run (zombies left out), as /proc lists them.
QList<qint64> runningMembersOf(qint64 group);
// Those of `pids` that still run (zombies left out).
QList<qint64> stillRunning(const QList<qint64>& pids);
// Kills those of `pids` that still run, once the current test has failed: what a regression left behind.
void killAfterFailure(const QList<qint64>& pids);

} // namespace quilvant::test
