#include "engines/http/HttpTransport.h"

#include "engines/http/TransportFailure.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <array>
#include <atomic>
#include <cmath>
#include <curl/curl.h>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace quilvant::http {

QByteArray HttpHead::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool HttpHead::hasHeader(const QByteArray& name) const
{
    for (const auto& entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QString HttpHead::location() const
{
    QString text = QString::fromUtf8(header("Location"));
    text.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    return text;
}

namespace {

double span(double start, double end)
{
    if (start < 0 || end <= 0 || end < start) {
        return 0;
    }
    return end - start;
}

} // namespace

// A reused connection has no lookup, connect or handshake of its own, whatever libcurl leaves in those fields.
double HttpTimings::dnsSpan() const
{
    return available && !reused() ? span(0, nameLookup) : 0;
}

double HttpTimings::connectSpan() const
{
    return available && !reused() && nameLookup > 0 ? span(nameLookup, connect) : 0;
}

double HttpTimings::tlsSpan() const
{
    return available && !reused() && connect > 0 ? span(connect, tlsDone) : 0;
}

double HttpTimings::requestToHeadersSpan() const
{
    return available && requestSent > 0 ? span(requestSent, firstByte) : 0;
}

namespace {

// One transfer, shared by the worker thread (the curl side) and the consumer's thread (the handler side).
struct Job
{
    // Worker side.
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    QByteArray body; // libcurl reads the request body from here without copying
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    HttpHead pendingHead;
    bool headSeen = false;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> endedOnWorker{false}; // libcurl is done with it; its end is on its way
    // Body bytes handed over and not yet taken by the consumer; beyond a bound the transfer pauses (a server
    // faster than the consumer would otherwise fill the event queue), and `paused` asks the worker to resume it.
    std::atomic<qsizetype> inFlight{0};
    std::atomic<bool> paused{false};

    // Consumer side (touched only on the transport's thread).
    HttpHandlers handlers;
    bool closed = false;
    bool completed = false;
    std::optional<Error> abortedWith; // why it was stopped, when not by cancel()
    std::chrono::milliseconds idleLimit{0};
    Cancellation idleTimer;
    Cancellation totalTimer;

    ~Job()
    {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        curl_slist_free_all(headerList);
    }
};
using JobPtr = std::shared_ptr<Job>;

double seconds(CURL* easy, CURLINFO info)
{
    curl_off_t micro = 0;
    if (curl_easy_getinfo(easy, info, &micro) != CURLE_OK) {
        return 0;
    }
    return static_cast<double>(micro) / 1e6;
}

HttpTimings timingsOf(CURL* easy)
{
    HttpTimings timings;
    timings.available = true;
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    timings.newConnections = connects;
    timings.nameLookup = seconds(easy, CURLINFO_NAMELOOKUP_TIME_T);
    timings.connect = seconds(easy, CURLINFO_CONNECT_TIME_T);
    timings.tlsDone = seconds(easy, CURLINFO_APPCONNECT_TIME_T);
    timings.requestSent = seconds(easy, CURLINFO_PRETRANSFER_TIME_T);
    timings.firstByte = seconds(easy, CURLINFO_STARTTRANSFER_TIME_T);
    timings.total = seconds(easy, CURLINFO_TOTAL_TIME_T);
    return timings;
}

} // namespace

struct HttpTransport::Private
{
    // What libcurl's callbacks get as their user data.
    struct CallbackData
    {
        Private* transport;
        Job* job;
        std::weak_ptr<Job> weak;
    };

    HttpTransport* q = nullptr;
    HttpTransportOptions options;
    Scheduler scheduler;
    CURLSH* share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;
    CURLM* multi = nullptr;

    std::mutex queueMutex;
    std::vector<JobPtr> toAdd;
    std::vector<JobPtr> toCancel;
    bool stopping = false;
    std::thread worker;

    // Worker-only.
    std::set<JobPtr> active;
    std::vector<JobPtr> abandoned; // handed to the destructor once the worker has stopped
    // Transport's thread only: every job started, to release their easy handles before the share goes.
    std::vector<std::weak_ptr<Job>> registry;

    static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* self)
    {
        static_cast<Private*>(self)->shareLocks.at(static_cast<size_t>(data)).lock();
    }
    static void unlockShare(CURL*, curl_lock_data data, void* self)
    {
        static_cast<Private*>(self)->shareLocks.at(static_cast<size_t>(data)).unlock();
    }

    // libcurl callbacks run on the worker thread; they hand their data over by queued calls, which arrive on
    // the transport's thread in the order they were posted.
    template <typename F>
    void post(F&& function)
    {
        QMetaObject::invokeMethod(q, std::forward<F>(function), Qt::QueuedConnection);
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* userData);
    static size_t onBody(char* data, size_t size, size_t count, void* userData);
    static constexpr qsizetype inFlightLimit = 1 << 20;

    void run();
    void finish(const JobPtr& job, CURLcode code);
    static void complete(const JobPtr& job, const Outcome<void>& outcome, const HttpTimings& timings);
    void wake() { curl_multi_wakeup(multi); }
    CURL* configure(const JobPtr& job, const HttpRequest& request);
    // Stops a transfer on the consumer's side; its end (`error`, or cancellation) comes from the worker with
    // what was measured until then.
    void stop(const JobPtr& job, std::optional<Error> error);
    void armTimers(const JobPtr& job, const HttpRequest& request);
    void restartIdleTimer(const JobPtr& job);
};

size_t HttpTransport::Private::onHeader(char* data, size_t size, size_t count, void* userData)
{
    auto* callback = static_cast<CallbackData*>(userData);
    Job* job = callback->job;
    const size_t length = size * count;
    if (job->headSeen || job->cancelRequested) {
        return length; // trailers, or nobody listening any more
    }
    QByteArray line(data, static_cast<qsizetype>(length));
    if (line.startsWith("HTTP/")) {
        job->pendingHead = HttpHead();
        const QList<QByteArray> parts = line.trimmed().split(' ');
        job->pendingHead.status = parts.value(1).toInt();
        return length;
    }
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty()) {
        if (job->pendingHead.status >= 200) {
            job->headSeen = true;
            Private* transport = callback->transport;
            transport->post([transport, weak = callback->weak, head = job->pendingHead] {
                const JobPtr strong = weak.lock();
                if (strong && !strong->closed) {
                    transport->restartIdleTimer(strong);
                    if (strong->handlers.head) {
                        strong->handlers.head(head);
                    }
                }
            });
        }
        return length; // an interim 1xx head ends here and the final one follows
    }
    const qsizetype colon = trimmed.indexOf(':');
    if (colon > 0) {
        job->pendingHead.headers.append({trimmed.left(colon).trimmed(), trimmed.mid(colon + 1).trimmed()});
    }
    return length;
}

size_t HttpTransport::Private::onBody(char* data, size_t size, size_t count, void* userData)
{
    auto* callback = static_cast<CallbackData*>(userData);
    Job* job = callback->job;
    const size_t length = size * count;
    if (job->cancelRequested) {
        return length;
    }
    if (job->inFlight >= inFlightLimit) {
        job->paused = true;
        return CURL_WRITEFUNC_PAUSE; // libcurl keeps these bytes and offers them again after resuming
    }
    job->inFlight += static_cast<qsizetype>(length);
    Private* transport = callback->transport;
    transport->post([transport, weak = callback->weak, bytes = QByteArray(data, static_cast<qsizetype>(length))] {
        const JobPtr strong = weak.lock();
        if (!strong) {
            return;
        }
        if (!strong->closed) {
            transport->restartIdleTimer(strong);
            if (strong->handlers.body) {
                strong->handlers.body(bytes);
            }
        }
        strong->inFlight -= bytes.size();
        if (strong->paused) {
            transport->wake();
        }
    });
    return length;
}

void HttpTransport::Private::complete(const JobPtr& job, const Outcome<void>& outcome, const HttpTimings& timings)
{
    if (job->completed) {
        return;
    }
    job->completed = true;
    job->closed = true;
    job->idleTimer.cancel();
    job->totalTimer.cancel();
    // Dropping the handlers breaks any cycle through the consumer's own state.
    auto done = std::move(job->handlers.done);
    job->handlers = {};
    if (done) {
        done(outcome, timings);
    }
}

void HttpTransport::Private::finish(const JobPtr& job, CURLcode code)
{
    const HttpTimings timings = timingsOf(job->easy);
    const QString detail = code != CURLE_OK ? QString::fromUtf8(job->errorBuffer.data()) : QString();
    job->endedOnWorker = true;
    post([job, code, detail, timings] {
        // A cancel that came after the transfer ended but before this arrived still wins.
        if (job->cancelRequested) {
            complete(job, job->abortedWith.value_or(Error::cancelled()), timings);
        } else if (code != CURLE_OK) {
            // Worded here, on the transport's own thread, where the interface language is read.
            complete(job, transportFailure(code, detail), timings);
        } else {
            complete(job, Outcome<void>(), timings);
        }
    });
}

void HttpTransport::Private::run()
{
    std::vector<std::unique_ptr<CallbackData>> callbackData;
    for (;;) {
        std::vector<JobPtr> adding;
        std::vector<JobPtr> cancelling;
        {
            std::lock_guard lock(queueMutex);
            if (stopping) {
                break;
            }
            adding.swap(toAdd);
            cancelling.swap(toCancel);
        }
        for (const JobPtr& job : adding) {
            if (job->cancelRequested) {
                continue;
            }
            auto data = std::make_unique<CallbackData>(CallbackData{this, job.get(), job});
            curl_easy_setopt(job->easy, CURLOPT_HEADERDATA, data.get());
            curl_easy_setopt(job->easy, CURLOPT_WRITEDATA, data.get());
            curl_easy_setopt(job->easy, CURLOPT_PRIVATE, data.get());
            callbackData.push_back(std::move(data));
            curl_multi_add_handle(multi, job->easy);
            active.insert(job);
        }
        for (const JobPtr& job : cancelling) {
            HttpTimings timings;
            if (active.erase(job) > 0) {
                timings = timingsOf(job->easy);
                // Removing an unfinished transfer closes its connection; a finished one went back to the cache.
                curl_multi_remove_handle(multi, job->easy);
            }
            post([job, timings] { complete(job, job->abortedWith.value_or(Error::cancelled()), timings); });
        }
        // Resumed once the consumer has caught up; checked after every round, so a pause decided while the last
        // bytes were being taken is never missed.
        const auto resume = [this] {
            for (const JobPtr& job : active) {
                if (job->paused && job->inFlight < inFlightLimit / 2) {
                    job->paused = false;
                    curl_easy_pause(job->easy, CURLPAUSE_CONT);
                }
            }
        };
        resume();
        int running = 0;
        curl_multi_perform(multi, &running);
        resume();
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CallbackData* data = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &data);
            const CURLcode code = message->data.result;
            JobPtr job = data->weak.lock();
            curl_multi_remove_handle(multi, message->easy_handle);
            if (job) {
                active.erase(job);
                if (!job->cancelRequested) {
                    finish(job, code);
                }
            }
        }
        // Callback records of transfers no longer in the multi handle can go.
        std::erase_if(callbackData, [this](const std::unique_ptr<CallbackData>& data) {
            const JobPtr job = data->weak.lock();
            return !job || active.count(job) == 0;
        });
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    for (const JobPtr& job : active) {
        curl_multi_remove_handle(multi, job->easy);
    }
    // Released by the destructor on the transport's thread, where their handlers belong.
    abandoned.assign(active.begin(), active.end());
    active.clear();
}

CURL* HttpTransport::Private::configure(const JobPtr& job, const HttpRequest& request)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return nullptr;
    }
    job->easy = easy;
    const QByteArray url = request.url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, job->errorBuffer.data());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Quilvant/" QUILVANT_VERSION);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Private::onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Private::onBody);

    const QByteArray caFile = options.caFile.isEmpty() ? qgetenv("SSL_CERT_FILE") : options.caFile.toLocal8Bit();
    const QByteArray caDir = qgetenv("SSL_CERT_DIR");
    if (!caFile.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData()); // libcurl copies option strings
    }
    if (!caDir.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_CAPATH, caDir.constData());
    }

    // The idle and whole-transfer limits are the transport's own (armTimers); libcurl only bounds the set-up.
    if (request.connectTimeoutSeconds > 0) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::llround(request.connectTimeoutSeconds * 1000)));
    }

    if (request.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST") {
        job->body = request.body;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, job->body.constData());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(job->body.size()));
    } else if (request.method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    }

    // No "Expect: 100-continue" round trip before a larger body: it costs a wait on servers that never answer it.
    job->headerList = curl_slist_append(job->headerList, "Expect:");
    for (const auto& [name, value] : request.headers) {
        const QByteArray line = name + ": " + value;
        job->headerList = curl_slist_append(job->headerList, line.constData());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, job->headerList);
    return easy;
}

namespace {

std::chrono::milliseconds milliseconds(double seconds)
{
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

QString secondsText(std::chrono::milliseconds limit)
{
    return QString::number(static_cast<double>(limit.count()) / 1000, 'g', 6);
}

// A header that would end early (a line break) or be cut (NUL) in the request as sent.
bool breaksHeader(const QByteArray& text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

} // namespace

void HttpTransport::Private::stop(const JobPtr& job, std::optional<Error> error)
{
    if (job->completed || job->cancelRequested) {
        return;
    }
    job->closed = true;
    job->abortedWith = std::move(error);
    job->cancelRequested = true;
    job->idleTimer.cancel();
    job->totalTimer.cancel();
    {
        std::lock_guard lock(queueMutex);
        toCancel.push_back(job);
    }
    wake();
}

// The limits run on the consumer's thread, on the transport's scheduler, so that a response trickling in byte by
// byte ends on time too, and a test can let the time pass.
void HttpTransport::Private::armTimers(const JobPtr& job, const HttpRequest& request)
{
    if (request.timeoutSeconds > 0) {
        const std::chrono::milliseconds limit = milliseconds(request.timeoutSeconds);
        job->totalTimer = scheduler(limit, [self = QPointer<HttpTransport>(q), weak = std::weak_ptr<Job>(job), limit] {
            const JobPtr strong = weak.lock();
            if (strong && !self.isNull() && !strong->endedOnWorker) {
                self->d->stop(
                    strong,
                    timedOut(QStringLiteral("the response took longer than %1 seconds").arg(secondsText(limit))));
            }
        });
    }
    if (request.idleTimeoutSeconds > 0) {
        job->idleLimit = milliseconds(request.idleTimeoutSeconds);
        restartIdleTimer(job);
    }
}

void HttpTransport::Private::restartIdleTimer(const JobPtr& job)
{
    if (job->idleLimit.count() <= 0 || job->completed) {
        return;
    }
    job->idleTimer.cancel();
    const std::chrono::milliseconds limit = job->idleLimit;
    job->idleTimer = scheduler(limit, [self = QPointer<HttpTransport>(q), weak = std::weak_ptr<Job>(job), limit] {
        const JobPtr strong = weak.lock();
        if (strong && !self.isNull() && !strong->endedOnWorker) {
            self->d->stop(strong, timedOut(QStringLiteral("nothing arrived for %1 seconds").arg(secondsText(limit))));
        }
    });
}

HttpTransport::HttpTransport(HttpTransportOptions options, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialised;
    d->q = this;
    d->options = std::move(options);
    d->scheduler = d->options.scheduler ? d->options.scheduler : timerScheduler(this);
    d->share = curl_share_init();
    curl_share_setopt(d->share, CURLSHOPT_LOCKFUNC, &Private::lockShare);
    curl_share_setopt(d->share, CURLSHOPT_UNLOCKFUNC, &Private::unlockShare);
    curl_share_setopt(d->share, CURLSHOPT_USERDATA, d.get());
    curl_share_setopt(d->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(d->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(d->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    d->multi = curl_multi_init();
    d->worker = std::thread([this] { d->run(); });
}

HttpTransport::~HttpTransport()
{
    {
        std::lock_guard lock(d->queueMutex);
        d->stopping = true;
    }
    d->wake();
    d->worker.join();
    // Transfers still queued never reach libcurl; their handlers go with them.
    for (const JobPtr& job : d->toAdd) {
        job->handlers = {};
    }
    d->toAdd.clear();
    d->toCancel.clear();
    d->abandoned.clear();
    curl_multi_cleanup(d->multi);
    // Queued events and timers may still hold jobs; their easy handles must let go of the share first.
    for (const auto& weak : d->registry) {
        if (const JobPtr job = weak.lock()) {
            if (job->easy != nullptr) {
                curl_easy_cleanup(job->easy);
                job->easy = nullptr;
            }
            job->handlers = {};
        }
    }
    curl_share_cleanup(d->share);
}

Cancellation HttpTransport::start(const HttpRequest& request, HttpHandlers handlers)
{
    auto job = std::make_shared<Job>();
    job->handlers = std::move(handlers);
    std::erase_if(d->registry, [](const std::weak_ptr<Job>& weak) { return weak.expired(); });
    d->registry.push_back(job);
    const auto refuse = [this, job](const QString& reason) {
        QTimer::singleShot(0, this, [job, reason] { Private::complete(job, Error::system(reason), {}); });
        return Cancellation([job] { job->closed = true; });
    };
    for (const auto& [name, value] : request.headers) {
        if (breaksHeader(name) || breaksHeader(value)) {
            return refuse(QStringLiteral("A request header holds a line break or NUL; the request was not sent."));
        }
    }
    if (d->configure(job, request) == nullptr) {
        return refuse(QStringLiteral("libcurl could not create a transfer"));
    }
    {
        std::lock_guard lock(d->queueMutex);
        d->toAdd.push_back(job);
    }
    d->wake();
    d->armTimers(job, request);

    QPointer<HttpTransport> self(this);
    return Cancellation([self, weak = std::weak_ptr<Job>(job)] {
        const JobPtr strong = weak.lock();
        if (strong && !self.isNull()) {
            self->d->stop(strong, std::nullopt);
        }
    });
}

Error HttpTransport::timedOut(const QString& detail)
{
    return transportFailure(CURLE_OPERATION_TIMEDOUT, detail);
}

} // namespace quilvant::http
