#include "support/ServiceProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <sys/resource.h>

namespace quilvant::test {

ServiceProcess::ServiceProcess(const QJsonObject& config)
    : m_ownSandbox(std::make_unique<Sandbox>())
    , m_sandbox(m_ownSandbox.get())
    , m_configPath(m_sandbox->root() + QStringLiteral("/service.json"))
{
    const QString database = QStringLiteral("sqlite:") + m_sandbox->root() + QStringLiteral("/service.db");
    QJsonObject merged{{QStringLiteral("listen"), QStringLiteral("127.0.0.1:0")},
                       {QStringLiteral("database"), database},
                       {QStringLiteral("ioThreads"), 2}};
    for (auto it = config.begin(); it != config.end(); ++it) {
        merged.insert(it.key(), it.value());
    }
    QFile file(m_configPath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(merged).toJson());
    }
}

ServiceProcess::ServiceProcess(Sandbox& sandbox, const QString& configPath)
    : m_sandbox(&sandbox)
    , m_configPath(configPath)
{}

ServiceProcess::~ServiceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10'000);
    }
}

QString serviceBinary()
{
    // Another build of the service (an older one, to reproduce a fault) may stand in for this one.
    const QString other = qEnvironmentVariable("QUILVANT_TEST_SERVICE_BINARY");
    return other.isEmpty() ? QStringLiteral(QUILVANT_SERVICE_BINARY) : other;
}

bool ServiceProcess::start()
{
    m_logPath = m_sandbox->root() + QStringLiteral("/service-%1.log").arg(QDateTime::currentMSecsSinceEpoch());
    m_process.setProcessEnvironment(m_sandbox->environment());
    m_process.setWorkingDirectory(m_sandbox->root());
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(m_logPath);
    m_process.setChildProcessModifier([limits = m_limits] {
        for (const auto& [resource, soft, hard] : limits) {
            const rlimit limit{static_cast<rlim_t>(soft), static_cast<rlim_t>(hard)};
            ::setrlimit(static_cast<int>(resource), &limit);
        }
    });
    m_process.start(serviceBinary(), {QStringLiteral("--config"), m_configPath, QStringLiteral("serve")});
    if (!m_process.waitForStarted(30'000)) {
        m_error = m_process.errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on [^ ]*:(\\d+)"));
    QDeadlineTimer deadline(60'000);
    while (!deadline.hasExpired()) {
        const auto match = listening.match(log());
        if (match.hasMatch()) {
            m_port = static_cast<quint16>(match.captured(1).toUInt());
            return true;
        }
        if (m_process.state() == QProcess::NotRunning || m_process.waitForFinished(20)) {
            m_error = QStringLiteral("the service ended: ") + log();
            return false;
        }
    }
    m_error = QStringLiteral("the service did not start listening: ") + log();
    return false;
}

QString ServiceProcess::log() const
{
    QFile file(m_logPath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void ServiceProcess::terminate()
{
    m_process.terminate();
}

void ServiceProcess::signal(int signal)
{
    if (m_process.processId() > 0) {
        ::kill(static_cast<pid_t>(m_process.processId()), signal);
    }
}

void ServiceProcess::setLimit(int resource, quint64 soft, quint64 hard)
{
    m_limits.append({static_cast<quint64>(resource), soft, hard});
}

int ServiceProcess::waitForExit(int timeoutMs)
{
    if (!m_process.waitForFinished(timeoutMs) && m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10'000);
        return -1;
    }
    return m_process.exitStatus() == QProcess::CrashExit ? -2 : m_process.exitCode();
}

RunResult ServiceProcess::command(const QStringList& arguments, const QByteArray& input) const
{
    return runProgram(serviceBinary(), QStringList{QStringLiteral("--config"), m_configPath} + arguments, *m_sandbox,
                      {input, 120'000});
}

QByteArray ServiceProcess::createToken(const QString& label, qint64 characters, qint64 perMinute, QString* error) const
{
    const RunResult result = command({QStringLiteral("token"), QStringLiteral("create"), QStringLiteral("--label"),
                                      label, QStringLiteral("--characters"), QString::number(characters),
                                      QStringLiteral("--per-minute"), QString::number(perMinute)});
    if (result.exitCode != 0 && error != nullptr) {
        *error = result.errText();
    }
    return result.exitCode == 0 ? result.out.trimmed() : QByteArray();
}

QJsonArray ServiceProcess::tokens() const
{
    const RunResult result = command({QStringLiteral("token"), QStringLiteral("list"), QStringLiteral("--json")});
    return QJsonDocument::fromJson(result.out).array();
}

QJsonObject ServiceProcess::token(const QString& label) const
{
    for (const QJsonValue& token : tokens()) {
        if (token.toObject().value(QStringLiteral("label")).toString() == label) {
            return token.toObject();
        }
    }
    return {};
}

HeaderList clientHeaders(const QByteArray& token)
{
    return {{"Content-Type", "application/json"},
            {"X-Quilvant-Privacy", "norvel-sift-1"},
            {"Accept", "text/event-stream"},
            {"Authorization", "Bearer " + token}};
}

QByteArray chatEvent(const QString& content, bool last)
{
    QJsonObject choice{{QStringLiteral("index"), 0},
                       {QStringLiteral("delta"), QJsonObject{{QStringLiteral("content"), content}}}};
    if (last) {
        choice.insert(QStringLiteral("finish_reason"), QStringLiteral("stop"));
    }
    const QJsonObject event{{QStringLiteral("choices"), QJsonArray{choice}}};
    return "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

ServerResponse chatStream(const QStringList& pieces, int delayMs)
{
    QList<QByteArray> chunks;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        chunks.append(chatEvent(pieces.at(i), i + 1 == pieces.size()));
    }
    chunks.append("data: [DONE]\n\n");
    return ServerResponse::eventStream(chunks, delayMs);
}

} // namespace quilvant::test
