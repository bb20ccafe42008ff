#pragma once

#include "core/GroupedProcess.h"
#include "core/Outcome.h"
#include "core/Scheduler.h"
#include "engines/codex/CodexFraming.h"
#include "engines/codex/CodexProtocol.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace quilvant {

// The line-framed JSON-RPC link to one app-server child at a time: start-up and handshake, requests with their
// time limit, refusal of the server's own requests, and the tear-down that every failure funnels into.
// Confined to the GUI thread; every reply callback is called exactly once, on that thread.
class CodexConnection : public QObject
{
    Q_OBJECT

public:
    using Json = Codex::Json;
    using Reply = std::function<void(Outcome<Json>)>;

    static constexpr std::chrono::milliseconds requestLimit{15'000};

    explicit CodexConnection(QObject* parent = nullptr);
    ~CodexConnection() override;

    // Called with every incoming message that is neither the response to a waiting request nor a request.
    std::function<void(const Json&)> onNotification;
    // Called at the end of every reset, with its error (the running turn fails with it).
    std::function<void(const Error&)> onReset;

    // Makes sure a child runs for `path` (a failure: why no executable could be used, reported to `done`). A
    // different path than the current connection's tears that connection down first.
    void ensureStarted(const Outcome<QString>& path, std::function<void(Outcome<void>)> done);

    // Sends a request and hands back the "result" object of its response.
    void rpc(const QString& method, Json params, Reply reply);
    Outcome<void> send(const Json& message);

    void reset(const Error& error);

    // The clock of the request limit (15 seconds); a QTimer when not set.
    void setScheduler(Scheduler scheduler) { m_scheduler = std::move(scheduler); }
    // The executable path the current connection was started for, and the id of the last request sent.
    const QString& configuredPath() const { return m_configuredPath; }
    qint64 lastRequestId() const { return m_nextID; }

private:
    struct Startup
    {
        bool finished = false;
        std::vector<std::function<void(Outcome<void>)>> waiters;
    };

    void start(const QString& path, const std::shared_ptr<Startup>& startup);
    void handshake(const std::shared_ptr<Startup>& startup);
    void finishStartup(const std::shared_ptr<Startup>& startup, const Outcome<void>& outcome);
    void ingest(const QByteArray& data, const QUuid& generation);
    void receive(const Json& message);
    void expire(qint64 id, const QUuid& generation);
    void disconnected(const QUuid& generation);
    static void stopChild(GroupedProcess* process);

    QPointer<GroupedProcess> m_process;
    std::shared_ptr<Startup> m_startup;
    QUuid m_connection = QUuid::createUuid();
    QString m_configuredPath;
    qint64 m_nextID = 0;
    CodexFraming m_framing;
    std::map<qint64, Reply> m_pending;
    Scheduler m_scheduler;
};

} // namespace quilvant
