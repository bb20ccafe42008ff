#pragma once

// Shared by the agent engine's tests: a client pointed at the app-server stand-in, the stand-in's event log,
// and a recorder for one call's updates and completion.
#include "core/Async.h"
#include "core/Diagnostics.h"
#include "engines/codex/CodexClient.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "support/ChildProcess.h"
#include "support/ManualClock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace quilvant::test {

using Json = nlohmann::json;

// QCOMPARE for JSON values, showing both sides as JSON text.
#define QCOMPARE_JSON(actual, expected)                                                                                \
    QVERIFY2(Json(actual) == Json(expected), (Json(actual).dump() + " != " + Json(expected).dump()).c_str())

// The target language every test asks for, and what the stand-in answers by default.
inline const QString language = QStringLiteral("Simplified Chinese");
inline const QString answer = QStringLiteral("译文：测试");

inline QString standinPath()
{
    return testProgram(QStringLiteral("codex_standin"));
}

inline QString english(const char* key)
{
    return L::text(QString::fromUtf8(key), false);
}

// What the stand-in saw: one JSON object per line (its start, and every message it received).
class StandinLog
{
public:
    StandinLog() { qputenv("CODEX_STANDIN_LOG", path().toUtf8()); }
    ~StandinLog()
    {
        qunsetenv("CODEX_STANDIN_LOG");
        qunsetenv("CODEX_STANDIN_INIT");
    }

    QString path() const { return m_dir.filePath(QStringLiteral("standin.log")); }

    std::vector<Json> events() const
    {
        std::vector<Json> events;
        QFile file(path());
        if (!file.open(QIODevice::ReadOnly)) {
            return events;
        }
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (!line.isEmpty()) {
                events.push_back(Json::parse(line.toStdString()));
            }
        }
        return events;
    }

    std::vector<Json> starts() const { return named("start"); }

    // The events of one kind ("start", "grandchild", …).
    std::vector<Json> named(const char* event) const
    {
        return select([event](const Json& e) { return e["event"] == event; });
    }

    // Messages the client sent, in order.
    std::vector<Json> received() const
    {
        std::vector<Json> messages;
        for (const Json& event : events()) {
            if (event["event"] == "recv") {
                messages.push_back(event["message"]);
            }
        }
        return messages;
    }

    // Whether the client has answered the stand-in's own request `id` (with its refusal): proof that the client
    // has read everything the stand-in wrote before that request.
    bool answered(const std::string& id) const
    {
        for (const Json& message : received()) {
            if (message.value("id", Json()) == id && !message.contains("method")) {
                return true;
            }
        }
        return false;
    }

    std::vector<Json> requests(const std::string& method) const
    {
        std::vector<Json> matching;
        for (const Json& message : received()) {
            if (message.value("method", "") == method) {
                matching.push_back(message);
            }
        }
        return matching;
    }

private:
    template <typename Predicate>
    std::vector<Json> select(Predicate predicate) const
    {
        std::vector<Json> matching;
        for (const Json& event : events()) {
            if (predicate(event)) {
                matching.push_back(event);
            }
        }
        return matching;
    }

    QTemporaryDir m_dir;
};

// One call's updates and its completion, which must arrive exactly once.
template <typename T>
struct Recorder
{
    QStringList updates;
    std::optional<Outcome<T>> outcome;
    int completions = 0;

    TextUpdate update()
    {
        return [this](const QString& text) { updates << text; };
    }
    Completion<T> done()
    {
        return [this](Outcome<T> result) {
            ++completions;
            outcome = std::move(result);
        };
    }
    bool finished() const { return completions > 0; }
    QString error() const { return outcome && !outcome->ok() ? outcome->error().description() : QString(); }
};

inline bool processAlive(long long pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

inline QString diagnostics()
{
    QFile file(Diagnostics::logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace quilvant::test
