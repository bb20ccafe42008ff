#include "selftest/MiniMaxChecks.h"

#include "chatstream/MiniMaxStream.h"
#include "core/Clock.h"
#include "core/Console.h"
#include "engines/minimax/MiniMaxClient.h"
#include "engines/minimax/MiniMaxMessages.h"
#include "foundation/Settings.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <mutex>
#include <optional>

namespace quilvant::MiniMaxChecks {

namespace {

AppFailure failure(const char* message)
{
    return AppFailure{QString::fromUtf8(message)};
}

// "data: " + the serialised event.
QString eventLine(const QJsonObject& delta, const QJsonValue& finishReason = QJsonValue::Undefined)
{
    QJsonObject choice{{QStringLiteral("delta"), delta}};
    if (!finishReason.isUndefined()) {
        choice.insert(QStringLiteral("finish_reason"), finishReason);
    }
    const QJsonObject event{{QStringLiteral("choices"), QJsonArray{choice}}};
    return QStringLiteral("data: ") + QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
}

QJsonObject content(const QString& text)
{
    return QJsonObject{{QStringLiteral("content"), text}};
}

Outcome<void> feed(MiniMaxStream& stream, const QString& line)
{
    StreamOutcome<void> fed = stream.line(line);
    if (fed) {
        fed = stream.line(QString());
    }
    if (!fed) {
        return streamError(fed.error());
    }
    return {};
}

bool failsWith(const StreamOutcome<QString>& outcome, const QString& english, const QString& chinese)
{
    if (outcome) {
        return false;
    }
    const QString shown = streamError(outcome.error()).description();
    return shown.contains(english) || shown.contains(chinese);
}

Outcome<void> hiddenReasoning()
{
    MiniMaxStream stream;
    const QStringList chunks = {QStringLiteral("<thi"), QStringLiteral("nk>private"),
                                QStringLiteral(" reasoning</think>"), QStringLiteral("译文"), QStringLiteral("测试")};
    for (const QString& chunk : chunks) {
        if (auto fed = feed(stream, eventLine(content(chunk))); !fed) {
            return fed;
        }
        const QString& visible = stream.visibleText();
        if (visible.contains(QLatin1String("reasoning")) || visible.endsWith(QLatin1String("<thi"))) {
            return failure("Reasoning leaked into visible output");
        }
    }
    if (auto fed = feed(stream, QStringLiteral("data: [DONE]")); !fed) {
        return fed;
    }
    const StreamOutcome<QString> completed = stream.completedText();
    if (!completed || completed.value() != QStringLiteral("译文测试")) {
        return failure("SSE assembly failed");
    }
    return {};
}

} // namespace

Outcome<void> parser()
{
    if (auto checked = hiddenReasoning(); !checked) {
        return checked;
    }

    MiniMaxStream interrupted;
    if (auto fed = feed(interrupted, eventLine(content(QStringLiteral("partial")))); !fed) {
        return fed;
    }
    if (!failsWith(interrupted.completedText(), QStringLiteral("complete translation"),
                   QStringLiteral("未完整返回译文"))) {
        return failure("Incomplete stream accepted");
    }

    MiniMaxStream truncated;
    if (auto fed = feed(truncated, eventLine(content(QStringLiteral("partial")), QStringLiteral("length"))); !fed) {
        return fed;
    }
    if (!failsWith(truncated.completedText(), QStringLiteral("truncated"), QStringLiteral("截断"))) {
        return failure("Truncated stream accepted");
    }

    const auto auth = MiniMaxStream::serverFailure(QByteArray(R"({"error":{"message":"invalid api key"}})"), 401);
    const QString authShown =
        auth ? streamError(StreamFailure(StreamFailure::Kind::Server, *auth, 401)).description() : QString();
    if (!authShown.contains(QLatin1String("endpoint")) &&
        !authShown.contains(QStringLiteral("请检查 Key 与国内站／国际站地址是否匹配"))) {
        return failure("Missing actionable auth error");
    }

    const auto business = MiniMaxStream::serverFailure(
        QByteArray(R"({"base_resp":{"status_code":1008,"status_msg":"balance error"}})"), 200);
    if (!business) {
        return failure("Business error ignored");
    }

    Console::printLine(
        QStringLiteral("PASS: SSE assembly, hidden reasoning, interrupted stream, truncation, auth errors, HTTP-200 "
                       "business errors"));
    return {};
}

namespace {

// What a translation's update callback saw, read by the check afterwards.
struct MiniMaxProbe
{
    double started = Clock::uptime();
    std::mutex lock;
    std::optional<double> first;
    int updates = 0;

    TextUpdate callback()
    {
        return [this](const QString&) {
            std::lock_guard guard(lock);
            if (!first) {
                first = Clock::uptime() - started;
            }
            ++updates;
        };
    }
};

const QString shortSample =
    QStringLiteral("Your changes have been saved. Restart the application to apply the new settings.");
const QString privacySample = QStringLiteral(
    "Privacy settings help you control which applications can access your screen. The translator only reads the "
    "region you select, keeps every captured image on this computer, and sends nothing but the recognised text to "
    "be translated. Close the card as soon as you have finished reading it in full, or pin the window while "
    "continuing your work.");

// The timed runs, one after another, each started when the previous one ended.
class SpeedRun : public std::enable_shared_from_this<SpeedRun>
{
public:
    SpeedRun(QString key, bool compare, Completion<void> done)
        : m_key(std::move(key))
        , m_done(std::move(done))
        , m_client(new MiniMaxClient({}, QCoreApplication::instance()))
    {
        if (compare) {
            m_modes = {QStringLiteral("automatic"), QStringLiteral("disabled")};
        } else {
            m_modes = {QStringLiteral("disabled")};
        }
    }

    void start()
    {
        auto self = shared_from_this();
        m_client->warmup(Settings::chinaEndpoint, [self](const Outcome<void>&) { self->next(); });
    }

private:
    MiniMaxRequest request(const QString& text, const QString& mode) const
    {
        return MiniMaxRequest{
            text, QStringLiteral("Simplified Chinese"), Settings::chinaEndpoint, QStringLiteral("MiniMax-M3"), m_key,
            mode};
    }

    void next()
    {
        const QStringList samples = {shortSample, privacySample};
        const qsizetype total = samples.size() * m_modes.size();
        if (m_step == total) {
            return cacheRun();
        }
        const qsizetype sample = m_step / m_modes.size();
        const QString mode = m_modes.at(m_step % m_modes.size());
        ++m_step;
        auto probe = std::make_shared<MiniMaxProbe>();
        auto self = shared_from_this();
        m_client->translate(
            request(samples.at(sample), mode), probe->callback(), [self, probe, sample, mode](Outcome<QString> result) {
                if (!result) {
                    return self->end(result.error());
                }
                if (result.value().isEmpty()) {
                    return self->end(failure("Empty translation"));
                }
                std::lock_guard guard(probe->lock);
                Console::printLine(QString::asprintf(
                    "sample=%d mode=%s first=%.3fs total=%.3fs updates=%d", static_cast<int>(sample),
                    qUtf8Printable(mode), probe->first.value_or(-1), Clock::uptime() - probe->started, probe->updates));
                Console::printLine(QStringLiteral("Translation: ") + result.value());
                self->next();
            });
    }

    void cacheRun()
    {
        const int hitsBefore = m_client->cacheHits();
        const double started = Clock::uptime();
        auto self = shared_from_this();
        m_client->translate(request(shortSample, QStringLiteral("disabled")), {},
                            [self, hitsBefore, started](Outcome<QString> result) {
                                if (!result) {
                                    return self->end(result.error());
                                }
                                Console::printLine(QString::asprintf("cache total=%.4fs", Clock::uptime() - started));
                                if (self->m_client->cacheHits() == hitsBefore) {
                                    return self->end(failure("Memory cache missed identical request"));
                                }
                                self->end({});
                            });
    }

    // Once the client's transfers have read to the end (and written what they measured).
    void end(Outcome<void> outcome)
    {
        auto self = shared_from_this();
        m_client->whenIdle([self, outcome = std::move(outcome)] {
            self->m_client->deleteLater();
            auto done = std::move(self->m_done);
            done(outcome);
        });
    }

    QString m_key;
    Completion<void> m_done;
    MiniMaxClient* m_client;
    QStringList m_modes;
    qsizetype m_step = 0;
};

} // namespace

void speed(const QString& key, bool compare, Completion<void> done)
{
    if (key.isEmpty()) {
        // Through the event loop: a completion never runs inside the call that started it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done] { done(failure("Test key not supplied on stdin")); },
            Qt::QueuedConnection);
        return;
    }
    std::make_shared<SpeedRun>(key, compare, std::move(done))->start();
}

} // namespace quilvant::MiniMaxChecks
