#include "engines/minimax/MiniMaxClient.h"

#include "chatstream/MiniMaxEventReader.h"
#include "chatstream/MiniMaxStream.h"
#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "core/Redaction.h"
#include "engines/minimax/MiniMaxMessages.h"
#include "engines/minimax/MiniMaxNetworkMetrics.h"
#include "foundation/L.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <optional>

namespace quilvant {

// One translation from its start to its end; the transfer may read on after the end (see drain()).
struct MiniMaxClient::Call
{
    MiniMaxRequest request;
    MiniMaxPlan plan;
    TextUpdate update;
    std::shared_ptr<Once<QString>> end;
    Cancellation transfer;
    double start = 0;
    std::optional<http::HttpHead> head;
    bool streamed = false;
    QByteArray whole;
    std::unique_ptr<MiniMaxEventReader> reader;
    bool firstText = true;
    bool draining = false;

    bool ended() const { return end->decided(); }
};

MiniMaxClient::MiniMaxClient(MiniMaxClientOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_scheduler(m_options.scheduler ? m_options.scheduler : timerScheduler(this))
    , m_transport(new http::HttpTransport(http::HttpTransportOptions{m_options.caFile, m_scheduler}, this))
    , m_cache(m_options.now)
{}

MiniMaxClient::~MiniMaxClient() = default;

namespace {

QPointer<MiniMaxClient>& sharedInstance()
{
    static QPointer<MiniMaxClient> instance;
    return instance;
}

} // namespace

MiniMaxClient& MiniMaxClient::shared()
{
    QPointer<MiniMaxClient>& instance = sharedInstance();
    if (instance.isNull()) {
        instance = new MiniMaxClient({}, QCoreApplication::instance());
    }
    return *instance;
}

MiniMaxClient* MiniMaxClient::sharedIfMade()
{
    return sharedInstance().data();
}

Cancellation MiniMaxClient::translate(const MiniMaxRequest& request, TextUpdate update, Completion<QString> done)
{
    auto call = std::make_shared<Call>();
    call->request = request;
    call->update = std::move(update);
    call->end = std::make_shared<Once<QString>>(std::move(done));
    // Nothing happens inside this call: the caller gets its handle before any update or completion.
    QTimer::singleShot(0, this, [this, call] { begin(call); });
    return Cancellation([weak = std::weak_ptr<Call>(call)] {
        const CallPtr strong = weak.lock();
        if (!strong || strong->ended()) {
            return; // a delivered answer whose transfer still drains is left to drain
        }
        Once<QString>::cancel(strong->end);
        strong->transfer.cancel();
    });
}

void MiniMaxClient::begin(const CallPtr& call)
{
    if (call->ended()) {
        return;
    }
    Outcome<MiniMaxPlan> plan = MiniMaxRequests::check(call->request);
    if (!plan) {
        return call->end->finish(plan.error());
    }
    call->plan = std::move(plan).value();
    m_cache.purgeExpired();
    if (const std::optional<QString> cached = m_cache.lookup(call->plan.cacheKey)) {
        ++m_cacheHits;
        Diagnostics::record(QStringLiteral("minimax.cache-hit"));
        if (call->update) {
            call->update(*cached);
        }
        return call->end->finish(*cached);
    }
    send(call);
}

void MiniMaxClient::send(const CallPtr& call)
{
    if (call->ended()) {
        return;
    }
    // One keep-alive connection serves one request at a time: a request made while the previous answer's body
    // is still arriving waits for that connection (at most the grace) rather than opening another.
    if (m_draining > 0) {
        m_afterDrain.push_back([this, call] { send(call); });
        return;
    }
    Outcome<http::HttpRequest> built = MiniMaxRequests::build(call->request, call->plan);
    if (!built) {
        return fail(call, built.error());
    }
    http::HttpRequest request = std::move(built).value();
    request.timeoutSeconds = m_options.resourceSeconds;
    request.idleTimeoutSeconds = m_options.requestSeconds;
    request.connectTimeoutSeconds = m_options.requestSeconds;

    call->start = Clock::uptime();
    call->transfer = startTransfer(request, http::HttpHandlers{
                                                [this, call](const http::HttpHead& head) { onHead(call, head); },
                                                [this, call](const QByteArray& bytes) { onBody(call, bytes); },
                                                [this, call](const Outcome<void>& outcome, const http::HttpTimings&) {
                                                    const bool drained = std::exchange(call->draining, false);
                                                    onDone(call, outcome);
                                                    transferEnded(drained);
                                                },
                                            });
}

// Every transfer writes its connection timings when it ends, and counts towards whenIdle().
Cancellation MiniMaxClient::startTransfer(const http::HttpRequest& request, http::HttpHandlers handlers)
{
    ++m_transfers;
    auto done = std::move(handlers.done);
    handlers.done = [done](const Outcome<void>& outcome, const http::HttpTimings& timings) {
        MiniMaxNetworkMetrics::record(timings);
        done(outcome, timings);
    };
    return m_transport->start(request, std::move(handlers));
}

void MiniMaxClient::transferEnded(bool drained)
{
    --m_transfers;
    if (drained && --m_draining == 0) {
        for (const auto& held : std::exchange(m_afterDrain, {})) {
            held();
        }
    }
    if (m_transfers == 0) {
        for (auto& waiter : std::exchange(m_whenIdle, {})) {
            QTimer::singleShot(0, this, std::move(waiter));
        }
    }
}

void MiniMaxClient::whenIdle(std::function<void()> done)
{
    if (m_transfers == 0) {
        QTimer::singleShot(0, this, std::move(done));
    } else {
        m_whenIdle.push_back(std::move(done));
    }
}

void MiniMaxClient::onHead(const CallPtr& call, const http::HttpHead& head)
{
    if (call->ended()) {
        return;
    }
    call->head = head;
    Diagnostics::record(QStringLiteral("minimax.headers seconds=%1 status=%2")
                            .arg(Diagnostics::seconds(Clock::uptime() - call->start))
                            .arg(head.status));
    if (head.isRedirect()) {
        const QString target = Redaction::firstCharacters(head.location());
        return fail(call, AppFailure{target.isEmpty() ? L::t(MiniMaxMessage::redirectedNowhere).arg(head.status)
                                                      : L::t(MiniMaxMessage::redirected).arg(head.status).arg(target)});
    }
    const bool success = head.status >= 200 && head.status <= 299;
    const bool eventStream =
        head.hasHeader("Content-Type") && head.header("Content-Type").toLower().contains("text/event-stream");
    call->streamed = success && eventStream;
    if (call->streamed) {
        call->reader = std::make_unique<MiniMaxEventReader>(
            [weak = std::weak_ptr<Call>(call)](const QString& visible) {
                const CallPtr strong = weak.lock();
                if (!strong) {
                    return;
                }
                if (strong->firstText) {
                    strong->firstText = false;
                    Diagnostics::record(QStringLiteral("minimax.first-text seconds=%1")
                                            .arg(Diagnostics::seconds(Clock::uptime() - strong->start)));
                }
                if (strong->update && !strong->ended()) {
                    strong->update(visible);
                }
            },
            call->plan.key);
    }
}

void MiniMaxClient::onBody(const CallPtr& call, const QByteArray& bytes)
{
    if (call->ended() || !call->head) {
        return; // a draining body is read and dropped
    }
    if (!call->streamed) {
        if (call->whole.size() + bytes.size() > bodyLimit) {
            return fail(call, AppFailure{L::t(MiniMaxMessage::bodyTooLarge)});
        }
        call->whole += bytes;
        return;
    }
    if (auto fed = call->reader->feed(bytes); !fed) {
        return fail(call, streamError(fed.error()));
    }
    // The update may have cancelled this call.
    if (!call->ended() && call->reader->stopped()) {
        drain(call);
        completeStream(call);
    }
}

void MiniMaxClient::onDone(const CallPtr& call, const Outcome<void>& outcome)
{
    if (call->ended()) {
        return;
    }
    if (!outcome) {
        return fail(call, outcome.error());
    }
    if (!call->head) {
        return fail(call, AppFailure{L::t(MiniMaxMessage::notHttp)});
    }
    if (call->streamed) {
        return completeStream(call);
    }
    StreamOutcome<QString> answer = MiniMaxStream::wholeBody(call->whole, call->head->status, call->plan.key);
    if (!answer) {
        return fail(call, streamError(answer.error()));
    }
    if (call->update) {
        call->update(answer.value());
    }
    succeed(call, answer.value());
}

void MiniMaxClient::completeStream(const CallPtr& call)
{
    StreamOutcome<QString> completed = call->reader->finish();
    if (!completed) {
        return fail(call, streamError(completed.error()));
    }
    Diagnostics::record(QStringLiteral("minimax.reasoning-characters count=") +
                        QString::number(call->reader->stream().reasoningCharacters()));
    succeed(call, completed.value());
}

// The answer is complete at "[DONE]", but the body has not ended yet: read the rest (and drop it) for a short
// while, so that the connection is returned to the pool, warm for the next request.
void MiniMaxClient::drain(const CallPtr& call)
{
    call->draining = true;
    ++m_draining;
    m_scheduler(m_options.drainGrace, [weak = std::weak_ptr<Call>(call)] {
        if (const CallPtr strong = weak.lock(); strong && strong->draining) {
            strong->transfer.cancel();
        }
    });
}

void MiniMaxClient::succeed(const CallPtr& call, const QString& text)
{
    // An update may have cancelled the call: then nothing is stored.
    if (call->ended()) {
        return;
    }
    m_cache.store(call->plan.cacheKey, text);
    Diagnostics::record(
        QStringLiteral("minimax.completed seconds=%1").arg(Diagnostics::seconds(Clock::uptime() - call->start)));
    call->reader.reset();
    call->update = nullptr;
    call->end->finish(text);
}

void MiniMaxClient::fail(const CallPtr& call, const Error& error)
{
    if (call->ended()) {
        return;
    }
    if (!call->draining) {
        call->transfer.cancel();
    }
    call->reader.reset();
    call->update = nullptr;
    // A server that echoes the key must not make it visible.
    call->end->finish(Redaction::redacted(error, {call->plan.key}));
}

Cancellation MiniMaxClient::warmup(const QString& endpoint, Completion<void> done)
{
    const std::optional<QUrl> url = MiniMaxRequests::parseEndpoint(endpoint);
    if (!url) {
        QTimer::singleShot(0, this, [done] {
            if (done) {
                done({});
            }
        });
        return Cancellation();
    }
    http::HttpRequest request;
    request.method = "HEAD";
    request.url = *url;
    request.timeoutSeconds = m_options.warmupSeconds;
    request.connectTimeoutSeconds = m_options.warmupSeconds;
    const double start = Clock::uptime();
    auto responded = std::make_shared<bool>(false);
    return startTransfer(
        request, http::HttpHandlers{
                     [responded](const http::HttpHead&) { *responded = true; },
                     {},
                     [this, responded, start, done](const Outcome<void>& outcome, const http::HttpTimings&) {
                         transferEnded(false);
                         if (!outcome && outcome.error().isCancelled()) {
                             if (done) {
                                 done(Error::cancelled());
                             }
                             return;
                         }
                         Diagnostics::record(*responded ? QStringLiteral("minimax.preconnect seconds=%1")
                                                              .arg(Diagnostics::seconds(Clock::uptime() - start))
                                                        : QStringLiteral("minimax.preconnect-unavailable"));
                         if (done) {
                             done({});
                         }
                     },
                 });
}

} // namespace quilvant
