#include "engines/codex/CodexConnection.h"

#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "core/GroupedProcess.h"
#include "foundation/L.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

namespace quilvant {

namespace {

using Json = Codex::Json;

AppFailure failure(const char* key)
{
    return AppFailure{L::t(QString::fromUtf8(key))};
}

// How long a child that was asked to stop may take before its whole process group is killed.
constexpr std::chrono::milliseconds stopGrace{3000};

} // namespace

CodexConnection::CodexConnection(QObject* parent)
    : QObject(parent)
    , m_scheduler(timerScheduler(this))
{}

CodexConnection::~CodexConnection()
{
    // Waiters must still hear of the end; the hooks belong to an owner that may be going away too.
    onNotification = nullptr;
    onReset = nullptr;
    reset(Error::cancelled());
    // Children still on their way out go with this object: deleting one kills what is left of its group.
}

void CodexConnection::ensureStarted(const Outcome<QString>& path, std::function<void(Outcome<void>)> done)
{
    if (!path) {
        done(path.error());
        return;
    }
    const QString& executable = path.value();
    if (executable != m_configuredPath) {
        reset(Error::cancelled());
        m_configuredPath = executable;
    }
    if (m_startup) {
        if (m_startup->finished) {
            done({}); // a failed start-up is never kept: it resets, which clears it
        } else {
            m_startup->waiters.push_back(std::move(done));
        }
        return;
    }
    auto startup = std::make_shared<Startup>();
    startup->waiters.push_back(std::move(done));
    m_startup = startup;
    start(executable, startup);
}

void CodexConnection::start(const QString& path, const std::shared_ptr<Startup>& startup)
{
    const Outcome<QString> directory = Codex::workingDirectory();
    if (!directory) {
        finishStartup(startup, directory.error());
        return;
    }

    auto* process = new GroupedProcess(this);
    process->setProgram(path);
    process->setArguments(Codex::arguments());
    process->setProcessEnvironment(Codex::environment(path));
    process->setWorkingDirectory(directory.value());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setReadChannel(QProcess::StandardOutput);

    // Everything the child reports carries the generation it was started on; a reset makes it stale.
    const QUuid generation = m_connection;
    connect(process, &QProcess::started, this, [this, startup, generation] {
        if (generation == m_connection) {
            handshake(startup);
        }
    });
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process, generation] { ingest(process->readAllStandardOutput(), generation); });
    connect(process, &QProcess::readChannelFinished, this, [this, generation] { disconnected(generation); });
    connect(process, &QProcess::finished, this, [this, generation] { disconnected(generation); });
    connect(process, &QProcess::errorOccurred, this,
            [this, process, startup, generation](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart && generation == m_connection) {
                    finishStartup(startup, Error::system(process->errorString()));
                }
            });
    m_process = process;
    process->startGroup();
}

void CodexConnection::handshake(const std::shared_ptr<Startup>& startup)
{
    const double begun = Clock::uptime();
    Json params = {{"clientInfo", {{"name", "kestu"}, {"title", "Sorn"}, {"version", "0.4.0"}}}};
    rpc(QStringLiteral("initialize"), std::move(params), [this, startup, begun](Outcome<Json> response) {
        if (!response) {
            finishStartup(startup, response.error());
            return;
        }
        if (startup->finished) {
            return;
        }
        const Outcome<void> sent = send({{"method", "initialized"}, {"params", Json::object()}});
        if (!sent) {
            finishStartup(startup, sent.error());
            return;
        }
        Diagnostics::record(QStringLiteral("codex.ready seconds=") + Diagnostics::seconds(Clock::uptime() - begun));
        finishStartup(startup, {});
    });
}

void CodexConnection::finishStartup(const std::shared_ptr<Startup>& startup, const Outcome<void>& outcome)
{
    if (startup->finished) {
        return;
    }
    startup->finished = true;
    // Only the start-up of the current connection may tear it down: one that was already replaced must not
    // end its successor.
    if (!outcome.ok() && m_startup == startup) {
        reset(outcome.error());
    }
    const auto waiters = std::move(startup->waiters);
    startup->waiters.clear();
    for (const auto& waiter : waiters) {
        waiter(outcome);
    }
}

void CodexConnection::rpc(const QString& method, Json params, Reply reply)
{
    const qint64 id = ++m_nextID;
    const QUuid generation = m_connection;
    m_pending.emplace(id, std::move(reply));
    const Outcome<void> sent = send({{"method", Codex::utf8(method)}, {"params", std::move(params)}, {"id", id}});
    if (!sent) {
        const auto it = m_pending.find(id);
        if (it != m_pending.end()) {
            const Reply waiting = std::move(it->second);
            m_pending.erase(it);
            waiting(sent.error());
        }
        return;
    }
    // Never cancelled: expire() does nothing once the response has come or the connection was reset.
    m_scheduler(requestLimit, [self = QPointer<CodexConnection>(this), id, generation] {
        if (self) {
            self->expire(id, generation);
        }
    });
}

Outcome<void> CodexConnection::send(const Json& message)
{
    if (m_process.isNull() || m_process->state() != QProcess::Running) {
        return failure("Codex 未连接，请重试。");
    }
    std::string line;
    try {
        line = message.dump();
    } catch (const Json::exception& error) {
        return Error::system(QString::fromUtf8(error.what()));
    }
    line.push_back('\n');
    const qint64 size = static_cast<qint64>(line.size());
    if (m_process->write(line.data(), size) != size) {
        return Error::system(m_process->errorString());
    }
    return {};
}

void CodexConnection::ingest(const QByteArray& data, const QUuid& generation)
{
    if (generation != m_connection) {
        return;
    }
    m_framing.append(data);
    while (const auto message = m_framing.next()) {
        receive(*message);
        if (generation != m_connection) {
            return; // that message reset the connection, and the rest of the buffer with it
        }
    }
    if (m_framing.overflowed()) {
        reset(failure("Codex 返回的消息过大，已停止读取。"));
    }
}

void CodexConnection::receive(const Json& message)
{
    if (const auto id = Codex::responseId(message)) {
        const auto waiting = m_pending.find(*id);
        if (waiting != m_pending.end()) {
            const Reply reply = std::move(waiting->second);
            m_pending.erase(waiting);
            if (const Json* error = Codex::objectMember(message, "error")) {
                reply(AppFailure{Codex::errorText(*error)});
            } else if (const Json* result = Codex::objectMember(message, "result")) {
                reply(*result);
            } else {
                reply(Json::object());
            }
            return;
        }
    }

    if (Codex::isRequest(message)) {
        // No tools and no approvals: whatever the server asks, the answer is no, under the id it used.
        (void)send({{"id", message.at("id")},
                    {"error",
                     {{"code", -32601}, {"message", "Translation client does not allow tools or approval requests"}}}});
        return;
    }

    if (onNotification) {
        onNotification(message);
    }
}

void CodexConnection::expire(qint64 id, const QUuid& generation)
{
    if (generation == m_connection && m_pending.count(id) != 0) {
        reset(failure("Codex 连接准备超时，请检查网络和登录状态后重试。"));
    }
}

void CodexConnection::disconnected(const QUuid& generation)
{
    if (generation == m_connection) {
        reset(failure("Codex 连接中断，请重新翻译。"));
    }
}

void CodexConnection::reset(const Error& error)
{
    m_connection = QUuid::createUuid();
    GroupedProcess* process = m_process.data();
    m_process.clear();
    const std::shared_ptr<Startup> startup = std::move(m_startup);
    m_startup.reset();
    m_framing.clear();

    if (process != nullptr) {
        stopChild(process);
    }

    auto pending = std::move(m_pending);
    m_pending.clear();
    for (auto& [id, reply] : pending) {
        reply(error);
    }
    // A start-up still waiting for its child to launch has no request to fail; end it here.
    if (startup) {
        finishStartup(startup, error);
    }
    if (onReset) {
        onReset(error);
    }
}

void CodexConnection::stopChild(GroupedProcess* process)
{
    // The whole group: a child that exited may have left a grandchild behind that still holds its output.
    process->stopGroup(stopGrace);
}

} // namespace quilvant
