#pragma once

#include "core/Async.h"
#include "core/Scheduler.h"
#include "engines/common/TranslationCache.h"
#include "engines/http/HttpTransport.h"
#include "engines/minimax/MiniMaxRequest.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quilvant {

struct MiniMaxClientOptions
{
    double requestSeconds = 60;  // longest wait for the next part of a response
    double resourceSeconds = 60; // the whole response, streamed body included
    double warmupSeconds = 10;
    // After "[DONE]" the answer is delivered at once; the rest of the body may take this long to arrive, so that
    // the connection goes back to the pool for the next request instead of being closed.
    std::chrono::milliseconds drainGrace{2000};
    QString caFile;              // an extra trusted authority (tests); the environment's choice otherwise
    std::function<double()> now; // the cache's clock in seconds; Clock::uptime when empty
    Scheduler scheduler;         // the clock of the time limits and the grace; QTimer when empty
};

// Translates through the MiniMax chat-completions API with a streamed reply, hides the model's reasoning,
// answers repeated requests from a small memory cache and turns every failure into a user-facing message, with
// the API key hidden in it. Lives on the GUI thread; the network runs on the transport's worker thread.
class MiniMaxClient : public QObject
{
public:
    static constexpr qsizetype bodyLimit = 2'000'000;
    static constexpr int cacheCapacity = TranslationCache::capacity;
    static constexpr double cacheLifetime = TranslationCache::lifetimeSeconds;

    explicit MiniMaxClient(MiniMaxClientOptions options = {}, QObject* parent = nullptr);
    ~MiniMaxClient() override;

    // The process-wide instance, created on first use on the GUI thread.
    static MiniMaxClient& shared();
    // The process-wide instance if it was made; nullptr otherwise.
    static MiniMaxClient* sharedIfMade();

    // `update` gets the whole visible translation so far, only when it changed; `done` the final text or the
    // failure. Cancelling ends the call with Error::cancelled() and leaves the cache untouched.
    Cancellation translate(const MiniMaxRequest& request, TextUpdate update, Completion<QString> done);

    // Opens a connection to `endpoint` ahead of the first translation. Never fails.
    Cancellation warmup(const QString& endpoint, Completion<void> done = {});

    // Calls `done` from the event loop once no transfer of this client runs any more, one reading the rest of an
    // answer already delivered included (so that its connection timings are written).
    void whenIdle(std::function<void()> done);

    static QString cacheKey(const QString& endpoint, const QString& model, const QString& language, const QString& key,
                            const QString& thinking, const QString& text)
    {
        return MiniMaxRequests::cacheKey(endpoint, model, language, key, thinking, text);
    }

    // Translations answered from the cache so far.
    int cacheHits() const { return m_cacheHits; }
    int cacheSize() const { return m_cache.size(); }

private:
    struct Call;
    using CallPtr = std::shared_ptr<Call>;

    void begin(const CallPtr& call);
    void send(const CallPtr& call);
    Cancellation startTransfer(const http::HttpRequest& request, http::HttpHandlers handlers);
    void onHead(const CallPtr& call, const http::HttpHead& head);
    void onBody(const CallPtr& call, const QByteArray& bytes);
    void onDone(const CallPtr& call, const Outcome<void>& outcome);
    void completeStream(const CallPtr& call);
    void drain(const CallPtr& call);
    void succeed(const CallPtr& call, const QString& text);
    void fail(const CallPtr& call, const Error& error);
    void transferEnded(bool drained);

    MiniMaxClientOptions m_options;
    Scheduler m_scheduler;
    http::HttpTransport* m_transport;
    TranslationCache m_cache;
    int m_cacheHits = 0;
    int m_transfers = 0; // running, draining ones included
    int m_draining = 0;
    std::vector<std::function<void()>> m_afterDrain; // requests held back until the connection is free
    std::vector<std::function<void()>> m_whenIdle;
};

} // namespace quilvant
