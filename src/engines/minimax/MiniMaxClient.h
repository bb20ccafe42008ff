#pragma once

#include "core/Async.h"
#include "engines/http/HttpTransport.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>

namespace quilvant {

// One translation request as the settings and the keyring supply it (untrimmed).
struct MiniMaxRequest
{
    QString text;     // the source text
    QString language; // the target language's English name, as the prompt writes it
    QString endpoint; // the full chat-completions URL
    QString model;
    QString key;      // the API key
    QString thinking; // the thinking setting, e.g. "automatic" or "disabled"
};

struct MiniMaxClientOptions
{
    double requestSeconds = 60;  // longest wait for the next byte of a response
    double resourceSeconds = 60; // the whole response, streamed body included
    double warmupSeconds = 10;
    QString caFile;              // an extra trusted authority (tests); the environment's choice otherwise
    std::function<double()> now; // the cache's clock in seconds; Clock::uptime when empty
};

// Translates through the MiniMax chat-completions API with a streamed reply, hides the model's reasoning,
// answers repeated requests from a small memory cache and turns every failure into a user-facing message.
// Lives on the GUI thread; the network runs on the transport's worker thread.
class MiniMaxClient : public QObject
{
public:
    static constexpr qsizetype bodyLimit = 2'000'000;
    static constexpr int cacheCapacity = 32;
    static constexpr double cacheLifetime = 1800;

    explicit MiniMaxClient(MiniMaxClientOptions options = {}, QObject* parent = nullptr);
    ~MiniMaxClient() override;

    // The process-wide instance, created on first use on the GUI thread.
    static MiniMaxClient& shared();

    // `update` gets the whole visible translation so far, only when it changed; `done` the final text or the
    // failure. Cancelling ends the call with Error::cancelled() and leaves the cache untouched.
    Cancellation translate(const MiniMaxRequest& request, TextUpdate update, Completion<QString> done);

    // Opens a connection to `endpoint` ahead of the first translation. Never fails.
    Cancellation warmup(const QString& endpoint, Completion<void> done = {});

    // Lower-case hex SHA-256 of the six parts joined by NUL.
    static QString cacheKey(const QString& endpoint, const QString& model, const QString& language, const QString& key,
                            const QString& thinking, const QString& text);

    // Translations answered from the cache so far.
    int cacheHits() const { return m_cacheHits; }
    int cacheSize() const { return static_cast<int>(m_cache.size()); }

private:
    struct Call;
    using CallPtr = std::shared_ptr<Call>;
    struct Entry
    {
        QString text;
        double date = 0;
    };

    void begin(const CallPtr& call);
    void send(const CallPtr& call, const QUrl& url);
    void onHead(const CallPtr& call, const http::HttpHead& head);
    void onBody(const CallPtr& call, const QByteArray& bytes);
    void onDone(const CallPtr& call, const Outcome<void>& outcome);
    void completeWholeBody(const CallPtr& call);
    void completeStream(const CallPtr& call);
    void succeed(const CallPtr& call, const QString& text);
    void fail(const CallPtr& call, const Error& error);
    void finish(const CallPtr& call, Outcome<QString> outcome);
    void store(const QString& key, const QString& text);
    void purge();
    double now() const;

    MiniMaxClientOptions m_options;
    http::HttpTransport* m_transport;
    QHash<QString, Entry> m_cache;
    QStringList m_order;
    int m_cacheHits = 0;
};

} // namespace quilvant
