#pragma once

#include "support/ChildProcess.h"
#include "support/HttpsTestServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <array>
#include <memory>

namespace quilvant::test {

// A quilvant-service child process for tests: its configuration (merged over loopback defaults on a port of
// its own and an SQLite file in its own directory), its log in a file, and its command line for tokens.
class ServiceProcess
{
public:
    // A service with its own sandbox and the given configuration.
    explicit ServiceProcess(const QJsonObject& config = {});
    // A service run in `sandbox` with the configuration file already at `configPath` (as `init` writes it).
    ServiceProcess(Sandbox& sandbox, const QString& configPath);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    Sandbox& sandbox() { return *m_sandbox; }
    QString configPath() const { return m_configPath; }

    // Starts `serve` and waits until it listens. False (see errorString) when it did not.
    bool start();
    QString errorString() const { return m_error; }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    // Everything the service has written to standard error so far.
    QString log() const;

    void terminate();
    // Sends `signal` to the running service.
    void signal(int signal);
    // Resource limits (setrlimit) the next start() applies to the child before it runs.
    void setLimit(int resource, quint64 soft, quint64 hard);
    // The SQLite file of the default configuration.
    QString databaseFile() const { return m_sandbox->root() + QStringLiteral("/service.db"); }
    // Waits for the process to end and returns its exit code (-1 when it had to be killed, -2 on a crash).
    int waitForExit(int timeoutMs = 60'000);

    // Runs `quilvant-service --config FILE ARGUMENTS...` in the service's sandbox.
    RunResult command(const QStringList& arguments, const QByteArray& input = {}) const;
    // Creates a token and returns its secret (empty on failure, with the failure in `error`).
    QByteArray createToken(const QString& label, qint64 characters, qint64 perMinute = 0,
                           QString* error = nullptr) const;
    // The token list as `token list --json` prints it.
    QJsonArray tokens() const;
    // The listed token labelled `label`.
    QJsonObject token(const QString& label) const;

private:
    std::unique_ptr<Sandbox> m_ownSandbox;
    Sandbox* m_sandbox;
    QString m_configPath;
    QString m_logPath;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
    QList<std::array<quint64, 3>> m_limits;
};

QString serviceBinary();

// The headers of a request as the desktop client sends it, with `token` as its bearer token.
HeaderList clientHeaders(const QByteArray& token);

// One chat-completions event carrying `content` (and the finish reason "stop" when `last`).
QByteArray chatEvent(const QString& content, bool last = false);
// A provider's whole streamed answer: one event per piece, the last with "stop", then "[DONE]".
ServerResponse chatStream(const QStringList& pieces, int delayMs = 0);

} // namespace quilvant::test
