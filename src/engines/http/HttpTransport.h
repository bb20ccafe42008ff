#pragma once

#include "core/Async.h"
#include "core/Outcome.h"
#include "core/Scheduler.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <utility>

namespace quilvant::http {

using HeaderList = QList<std::pair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method = "GET"; // "HEAD" sends no body and expects none
    QUrl url;
    HeaderList headers;
    QByteArray body;
    double timeoutSeconds = 60;        // the whole transfer, streamed body included, however it trickles; 0 = none
    double connectTimeoutSeconds = 30; // TCP and TLS set-up
    double idleTimeoutSeconds = 0;     // ends the transfer when no part of the response arrives for this long; 0 = none
};

// The status line and header fields of the final response (interim 1xx answers are skipped).
struct HttpHead
{
    int status = 0;
    HeaderList headers;

    // The first value of `name`, compared without case; empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;

    bool isRedirect() const { return status >= 300 && status <= 399; }
    // Where a redirect points, as text fit for a message (control characters dropped); empty when not named.
    QString location() const;
};

// What libcurl measured for one finished transfer. The cumulative times count seconds from the start of the
// transfer, as libcurl reports them (0 when a phase did not happen, for example on a reused connection).
struct HttpTimings
{
    bool available = false;
    long newConnections = 0; // connections opened for this transfer; 0 means an existing one was reused
    double nameLookup = 0;
    double connect = 0;
    double tlsDone = 0;
    double requestSent = 0; // ready to send: set-up finished
    double firstByte = 0;   // first byte of the response
    double total = 0;

    bool reused() const { return available && newConnections == 0; }
    // Spans between the phases; 0 when a phase is missing or the difference would be negative.
    double dnsSpan() const;
    double connectSpan() const;
    double tlsSpan() const;
    double requestToHeadersSpan() const;
};

// How a consumer follows one transfer. Everything is called on the thread that started it, in order: `head`
// once, `body` zero or more times, then `done` exactly once (never from inside start() or cancel()). After
// cancel() nothing but `done` arrives, and it carries Error::cancelled() with what was measured until then. A
// transfer that failed on the way carries a short message in the interface language (transportFailure()).
struct HttpHandlers
{
    std::function<void(const HttpHead&)> head;
    std::function<void(const QByteArray&)> body;
    std::function<void(const Outcome<void>&, const HttpTimings&)> done;
};

struct HttpTransportOptions
{
    HttpTransportOptions(QString ca = {}, Scheduler clock = {}) // NOLINT(google-explicit-constructor)
        : caFile(std::move(ca))
        , scheduler(std::move(clock))
    {}

    // Trusted authorities in addition to the environment's choice; SSL_CERT_FILE / SSL_CERT_DIR, when set,
    // are used otherwise. Verification of the peer and its host name is never turned off.
    QString caFile;
    // The clock of the time limits; a QTimer on the transport when empty.
    Scheduler scheduler;
};

// HTTPS client on libcurl's multi interface. Transfers run on one worker thread owned by the transport; their
// events come back queued to the thread that created the transport. All transfers of one transport share one
// connection cache, TLS session cache and DNS cache, so a warm-up's connection serves the next request.
// The standard proxy variables (https_proxy, no_proxy, ...) apply as libcurl reads them. Transfers still running
// when the transport is destroyed are dropped without a completion (it goes with the process or its owner).
class HttpTransport : public QObject
{
public:
    explicit HttpTransport(HttpTransportOptions options = {}, QObject* parent = nullptr);
    ~HttpTransport() override;

    // Starts a transfer. Must be called on the transport's thread.
    Cancellation start(const HttpRequest& request, HttpHandlers handlers);

    // The error of a transfer ended by one of its time limits (`detail` says which, for the diagnostics log).
    static Error timedOut(const QString& detail);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quilvant::http
