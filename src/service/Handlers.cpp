#include "service/Handlers.h"

#include "core/Clock.h"
#include "service/Log.h"
#include "service/Tokens.h"
#include "service/UpstreamResponse.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/status.hpp>

namespace quilvant::service {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using namespace asio::experimental::awaitable_operators;
using asio::awaitable;
using asio::use_awaitable;

std::int64_t now()
{
    return quilvant::Clock::unixNow();
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bearer token of `request`, or empty.
std::string bearer(const Request& request)
{
    const std::string_view value = request[http::field::authorization];
    constexpr std::string_view scheme = "bearer ";
    if (value.size() <= scheme.size()) {
        return {};
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != scheme[i]) {
            return {};
        }
    }
    std::string_view token = value.substr(scheme.size());
    while (!token.empty() && token.front() == ' ') {
        token.remove_prefix(1);
    }
    return std::string(token);
}

Response jsonResponse(unsigned status, std::string body, const Request& request)
{
    Response response(static_cast<http::status>(status), request.version());
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

// (Arguments of co_await expressions are kept free of temporaries that own memory throughout: GCC 12 destroys
// some of those twice.)
awaitable<Exchange> answer(ClientChannel& client, const Request& request, const Exchange& so, ErrorCode code,
                           std::int64_t retryAfter = 0)
{
    Exchange exchange = so;
    Response response = errorResponse(code, request);
    if (retryAfter > 0) {
        response.set(http::field::retry_after, std::to_string(retryAfter));
    }
    exchange.status = response.result_int();
    exchange.code = std::string(errorInfo(code).code);
    co_await client.write(response);
    co_return exchange;
}

ErrorCode verdictCode(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Blocked:
        return ErrorCode::ModerationBlocked;
    case Verdict::Review:
        return ErrorCode::ModerationReview;
    case Verdict::Unavailable:
    case Verdict::Allow:
        break;
    }
    return ErrorCode::ModerationUnavailable;
}

// Marks the outcome of a database write for the health answer; false when it failed (after logging it).
template <typename Work>
auto written(ServiceState& state, const Work& work, const std::string& request)
    -> awaitable<std::optional<std::invoke_result_t<const Work&, Store&>>>
{
    try {
        auto result = co_await state.database.call(work);
        state.lastWriteFailed = false;
        co_return result;
    } catch (const StoreError& failure) {
        state.lastWriteFailed = true;
        Log::line("database.failed" + (request.empty() ? std::string() : " request=" + request) + " reason=\"" +
                  Log::redact(failure.what()) + "\"");
    }
    co_return std::nullopt;
}

const std::string noRequest; // for a write that belongs to no one request

enum class Kind
{
    Translation,
    Moderation,
};

// The one admission step of every POST: method, privacy header, draining, configuration, the decoded body, the
// bearer token, then the token's admission in one database call. The admission when the request may go on;
// nothing when it was answered here (`exchange` says how).
awaitable<std::optional<AdmitResult>> admitRequest(ServiceState& state, ClientChannel& client, const Request& request,
                                                   Exchange& exchange, Kind kind, std::optional<ErrorCode> bodyError,
                                                   std::int64_t characters)
{
    exchange.characters = characters;
    std::optional<ErrorCode> refused;
    if (request.method() != http::verb::post) {
        refused = ErrorCode::MethodNotAllowed;
    } else if (request[privacyHeader] != privacyValue) {
        refused = ErrorCode::PrivacyRequired;
    } else if (state.draining) {
        refused = ErrorCode::ServiceUnavailable;
    } else if (kind == Kind::Translation && !state.chat) {
        refused = ErrorCode::NotConfigured;
    } else if (bodyError) {
        refused = bodyError;
    }
    const std::string token = refused ? std::string() : bearer(request);
    if (!refused && token.empty()) {
        refused = ErrorCode::InvalidToken;
    }
    if (refused) {
        exchange = co_await answer(client, request, exchange, *refused);
        co_return std::nullopt;
    }
    const std::int64_t window = state.config.limits.rateWindowSeconds;
    const auto check = [digest = Tokens::digest(token), characters, window, kind](Store& store) {
        return kind == Kind::Translation ? store.admitTranslation(digest, characters, now(), window)
                                         : store.admitModeration(digest, now(), window);
    };
    const std::optional<AdmitResult> admission = co_await written(state, check, noRequest);
    if (!admission) {
        exchange = co_await answer(client, request, exchange, ErrorCode::ServiceUnavailable);
        co_return std::nullopt;
    }
    exchange.tokenId = admission->tokenId;
    switch (admission->outcome) {
    case Admission::Admitted:
        co_return admission;
    case Admission::UnknownToken:
        exchange = co_await answer(client, request, exchange, ErrorCode::InvalidToken);
        break;
    case Admission::RateLimited:
        exchange = co_await answer(client, request, exchange,
                                   kind == Kind::Translation ? ErrorCode::RateLimit : ErrorCode::ModerationRateLimit,
                                   window - now() % window);
        break;
    case Admission::Exhausted:
        exchange = co_await answer(client, request, exchange, ErrorCode::AllowanceExhausted);
        break;
    }
    co_return std::nullopt;
}

// What a log line may say about the provider's words: how long they were and a digest to match them by,
// never the words (they often quote the text being translated).
std::string describedBody(std::string_view body)
{
    return "body_bytes=" + std::to_string(body.size()) +
           (body.empty() ? std::string() : " body_digest=" + Tokens::digest(body).substr(0, 16));
}

// The number of code points in UTF-8 `text`.
std::int64_t codePoints(std::string_view text)
{
    std::int64_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// A client that reads more slowly than the provider writes gets the newest text rather than every step to it:
// a delta goes out while all sent so far stays within a few times the text (plus a start for short texts).
bool deltaAffordable(std::size_t sentBytes, std::size_t textBytes)
{
    constexpr std::size_t allowance = 128 * 1024;
    return sentBytes + textBytes <= 3 * textBytes + allowance;
}

// How a stream ended, decided by whoever saw it first.
enum class StreamEnd
{
    Finished,
    UpstreamFailed,
    OutputRefused,
    TooLong,
    ClientGone,
    Stopped,
};

struct Relay
{
    StreamEnd end = StreamEnd::UpstreamFailed;
    Verdict verdict = Verdict::Allow;
    std::string failure;
    std::string sent;          // the last text written as a delta
    std::size_t sentBytes = 0; // all deltas written so far
    bool writing = false;
    std::optional<Clock::time_point> textArrived; // when the upstream bytes with the first text came in
};

class Translation
{
public:
    Translation(ServiceState& state, Worker& worker, ClientChannel& client, const Request& request)
        : m_state(state)
        , m_worker(worker)
        , m_client(client)
        , m_request(request)
        , m_limits(state.config.limits)
        , m_deadline(Clock::now() + m_limits.upstreamTotal)
    {
        m_exchange.route = Route::Translate;
    }

    awaitable<Exchange> run()
    {
        const Decoded<TranslateRequest> decoded = decodeTranslate(m_request.body(), m_limits.translateCharacters);
        const std::optional<ErrorCode> bodyError =
            decoded.request ? std::nullopt : std::optional<ErrorCode>(decoded.error);
        const std::int64_t characters = decoded.request ? decoded.request->characters : 0;
        const auto admitted =
            co_await admitRequest(m_state, m_client, m_request, m_exchange, Kind::Translation, bodyError, characters);
        if (!admitted) {
            co_return m_exchange;
        }
        const TranslateRequest& translate = *decoded.request;
        m_reservation = admitted->reservationId;
        m_exchange.requestId = m_reservation;
        m_state.metrics.charged(translate.characters);
        // From here on the reservation is open: every way out settles or refunds it.
        try {
            co_return co_await translateAdmitted(translate, admitted->remaining);
        } catch (const boost::system::system_error&) { // NOLINT(bugprone-empty-catch): settled below
        }
        // Only a client that left can end up here; it keeps what it was sent, and pays when that was text.
        co_await finish(!m_relay.sent.empty());
        m_exchange.keepAlive = false;
        m_exchange.code = "client_closed";
        co_return m_exchange;
    }

private:
    // Input moderation, then the request to the provider up to the head of its answer.
    awaitable<std::unique_ptr<UpstreamCall>> begin(const TranslateRequest& translate,
                                                   std::unique_ptr<UpstreamResponse>& response)
    {
        m_input = co_await m_state.moderator.check(m_worker.upstream, translate.source);
        if (m_input != Verdict::Allow) {
            co_return nullptr;
        }
        co_return co_await open(translate, response);
    }

    void logUpstreamFailure(const UpstreamResponse& response, std::string_view reason)
    {
        const char* code = !response.headed() ? "no_answer" : !response.success() ? "status" : "stream";
        std::string line = "upstream.failed request=" + m_reservation + " status=" + std::to_string(response.status()) +
                           " code=" + code;
        if (!reason.empty()) {
            // Our own words for what the connection did; the provider's words go by size and digest only.
            line += " reason=\"" + Log::redact(reason) + "\"";
        }
        Log::line(line + " " + describedBody(response.errorBody()) +
                  (response.failed() && response.headed() && response.success()
                       ? " reason_bytes=" + std::to_string(response.failure().size())
                       : std::string()));
    }

    void noteStanding(const UpstreamResponse& response)
    {
        if (!response.headed()) {
            return;
        }
        const bool refused = response.status() == 401 || response.status() == 403;
        const UpstreamStanding standing = refused ? UpstreamStanding::CredentialsRefused : UpstreamStanding::Accepted;
        if (m_state.upstream.exchange(standing) != standing && refused) {
            Log::line("upstream.refused status=" + std::to_string(response.status()) +
                      " reason=\"the provider refuses the configured key\"");
        }
    }

    awaitable<Exchange> translateAdmitted(const TranslateRequest& translate, std::int64_t remaining)
    {
        auto response = std::make_unique<UpstreamResponse>(m_limits.upstreamBytes);
        // The client may leave and the service may stop while the provider has not answered yet.
        auto started = co_await (begin(translate, response) || m_client.peerGone() || stopNotice());
        if (started.index() == 1) {
            co_await finish(false);
            m_exchange.code = "client_closed";
            m_exchange.keepAlive = false;
            co_return m_exchange;
        }
        if (started.index() == 2) {
            co_await finish(false);
            m_exchange.keepAlive = false;
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::ServiceUnavailable);
        }
        std::unique_ptr<UpstreamCall> call = std::move(std::get<0>(started));
        if (m_input != Verdict::Allow) {
            co_await finish(false);
            co_return co_await answer(m_client, m_request, m_exchange, verdictCode(m_input));
        }
        noteStanding(*response);
        if (!call) {
            m_state.metrics.upstreamError(response->headed() ? "status" : "connect");
            logUpstreamFailure(*response, response->headed() ? std::string() : m_openFailure);
            co_await finish(false);
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::ProviderUnavailable);
        }

        StreamHead head(http::status::ok, m_request.version());
        head.set(http::field::content_type, "text/event-stream; charset=utf-8");
        head.set(http::field::cache_control, "no-cache");
        head.set("X-Accel-Buffering", "no");
        // An HTTP/1.0 client cannot read chunks: its stream ends with the connection.
        const bool chunked = m_request.version() >= 11;
        head.chunked(chunked);
        head.keep_alive(chunked && m_request.keep_alive());
        m_exchange.keepAlive = chunked;
        m_state.metrics.streamOpened();
        struct Closed
        {
            Metrics& metrics;
            ~Closed() { metrics.streamClosed(); }
        } closed{m_state.metrics};
        m_relay.writing = true;
        co_await m_client.writeStreamHead(head);
        m_relay.writing = false;

        const auto first = co_await (relay(*call, *response) || m_client.peerGone() || stopNotice());
        if (first.index() == 1) {
            m_relay.end = StreamEnd::ClientGone;
        } else if (first.index() == 2) {
            m_relay.end = StreamEnd::Stopped;
        }

        switch (m_relay.end) {
        case StreamEnd::Finished: {
            if (!co_await finish(true)) {
                co_await endWith(ErrorCode::ServiceUnavailable);
                co_return m_exchange;
            }
            const std::string done = doneEvent(response->text(), remaining, m_reservation);
            co_await m_client.writeEvent(done);
            co_await m_client.endStream();
            if (response->reusable()) {
                call->release();
            } else if (!response->failed()) {
                asio::co_spawn(m_worker.context, recycle(std::move(call), std::move(response)), asio::detached);
            }
            co_return m_exchange;
        }
        case StreamEnd::ClientGone:
            co_await finish(!m_relay.sent.empty());
            m_exchange.code = "client_closed";
            m_exchange.keepAlive = false;
            co_return m_exchange;
        case StreamEnd::UpstreamFailed:
            m_state.metrics.upstreamError("stream");
            logUpstreamFailure(*response, m_relay.failure);
            co_await finish(false);
            co_await endWith(response->anyText() ? ErrorCode::TranslationFailed : ErrorCode::ProviderUnavailable);
            co_return m_exchange;
        case StreamEnd::TooLong:
            m_state.metrics.upstreamError("length");
            Log::line("upstream.failed request=" + m_reservation +
                      " code=too_long limit=" + std::to_string(m_limits.translationCharacters));
            co_await finish(false);
            co_await endWith(ErrorCode::TranslationFailed);
            co_return m_exchange;
        case StreamEnd::OutputRefused:
            co_await finish(false);
            co_await endWith(verdictCode(m_relay.verdict));
            co_return m_exchange;
        case StreamEnd::Stopped:
            co_await finish(false);
            m_exchange.keepAlive = false;
            co_await endWith(ErrorCode::ServiceUnavailable);
            co_return m_exchange;
        }
        co_return m_exchange;
    }

    // Sends the request upstream and reads up to the head of its answer. Nothing when there is no successful
    // answer. Never sent twice: once a request may have reached the provider, a second one could be charged
    // and answered too (Upstream::post itself replaces a pooled connection found dead before anything went out).
    awaitable<std::unique_ptr<UpstreamCall>> open(const TranslateRequest& translate,
                                                  std::unique_ptr<UpstreamResponse>& response)
    {
        nlohmann::json body = m_state.requestTemplate;
        std::string prompt = m_state.config.upstream.prompt;
        if (const std::size_t at = prompt.find("{language}"); at != std::string::npos) {
            prompt.replace(at, 10, translate.languageName);
        }
        body["messages"] = nlohmann::json::array(
            {{{"role", "system"}, {"content", prompt}}, {{"role", "user"}, {"content", translate.source}}});
        const std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::unique_ptr<UpstreamCall> call;
        try {
            call = co_await m_worker.upstream.post(*m_state.chat, text, m_state.config.upstream.key,
                                                   "text/event-stream", m_limits.upstreamIdle);
            std::string bytes;
            // An unsuccessful answer is read to its end (it is bounded), so that the log can give its size.
            while (!response->finished() && (!response->headed() || !response->success())) {
                co_await call->readSome(bytes, m_limits.upstreamIdle, m_deadline);
                if (bytes.empty()) {
                    response->end();
                } else {
                    noteText(*response, bytes);
                }
            }
        } catch (const boost::system::system_error& failure) {
            m_openFailure =
                failure.code() == boost::beast::error::timeout ? "the upstream timed out" : failure.code().message();
        }
        if (response->headed() && response->success()) {
            co_return call;
        }
        if (m_openFailure.empty()) {
            m_openFailure = response->headed()   ? std::string()
                            : response->failed() ? response->failure()
                                                 : "the upstream closed the connection";
        }
        co_return nullptr;
    }

    void noteText(UpstreamResponse& response, std::string_view bytes)
    {
        const bool before = response.anyText();
        response.feed(bytes);
        if (!before && response.anyText()) {
            m_relay.textArrived = Clock::now();
        }
    }

    // Streams the upstream's text to the client as cumulative deltas, each checked against the lists first;
    // at the end the whole text passes the full moderation chain.
    awaitable<void> relay(UpstreamCall& call, UpstreamResponse& response)
    {
        try {
            std::string bytes;
            for (;;) {
                if (auto update = response.takeUpdate(); update && !update->empty() && *update != m_relay.sent) {
                    if (codePoints(*update) > m_limits.translationCharacters) {
                        m_relay.end = StreamEnd::TooLong;
                        co_return;
                    }
                    if (const Verdict verdict = m_state.moderator.local(*update); verdict != Verdict::Allow) {
                        m_relay.end = StreamEnd::OutputRefused;
                        m_relay.verdict = verdict;
                        co_return;
                    }
                    if (deltaAffordable(m_relay.sentBytes, update->size())) {
                        m_relay.writing = true;
                        const std::string delta = deltaEvent(*update);
                        co_await m_client.writeEvent(delta);
                        m_relay.writing = false;
                        m_relay.sentBytes += delta.size();
                        if (m_relay.sent.empty() && m_relay.textArrived) {
                            m_state.metrics.firstDelta(secondsSince(*m_relay.textArrived));
                        }
                        m_relay.sent = std::move(*update);
                    }
                }
                if (response.finished()) {
                    break;
                }
                co_await call.readSome(bytes, m_limits.upstreamIdle, m_deadline);
                if (bytes.empty()) {
                    response.end();
                } else {
                    noteText(response, bytes);
                }
            }
            if (response.failed()) {
                m_relay.end = StreamEnd::UpstreamFailed;
                co_return;
            }
            if (codePoints(response.text()) > m_limits.translationCharacters) {
                m_relay.end = StreamEnd::TooLong;
                co_return;
            }
            const Verdict output = co_await m_state.moderator.check(m_worker.upstream, response.text());
            if (output != Verdict::Allow) {
                m_relay.end = StreamEnd::OutputRefused;
                m_relay.verdict = output;
                co_return;
            }
            m_relay.end = StreamEnd::Finished;
        } catch (const boost::system::system_error& failure) {
            m_relay.end = m_relay.writing ? StreamEnd::ClientGone : StreamEnd::UpstreamFailed;
            m_relay.failure =
                failure.code() == boost::beast::error::timeout ? "the upstream timed out" : failure.code().message();
        }
    }

    awaitable<void> stopNotice() { co_await m_worker.stopNotice.async_wait(asio::as_tuple(use_awaitable)); }

    // Reads the rest of a finished answer (what follows "[DONE]"), briefly and apart from the client's
    // connection, so that the upstream connection can serve the next translation.
    static awaitable<void> recycle(std::unique_ptr<UpstreamCall> call, std::unique_ptr<UpstreamResponse> response)
    {
        try {
            const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
            std::string bytes;
            while (!response->reusable() && !response->failed() && Clock::now() < deadline) {
                co_await call->readSome(bytes, std::chrono::seconds(2), deadline);
                if (bytes.empty()) {
                    co_return;
                }
                response->feed(bytes);
            }
            if (response->reusable()) {
                call->release();
            }
        } catch (const boost::system::system_error&) { // NOLINT(bugprone-empty-catch): the connection is dropped
        }
    }

    // Ends the stream with an error event.
    awaitable<void> endWith(ErrorCode code)
    {
        m_exchange.code = std::string(errorInfo(code).code);
        const std::string event = errorEvent(code);
        co_await m_client.writeEvent(event);
        co_await m_client.endStream();
    }

    // Settles (keep) or refunds the reservation, once. False when the database could not record it: a
    // settlement left open is refunded by the expiry sweep later, never charged twice.
    awaitable<bool> finish(bool keep)
    {
        if (m_finished) {
            co_return true;
        }
        m_finished = true;
        const auto end = [id = m_reservation, keep](Store& store) {
            return keep ? store.settle(id, now()) : store.refund(id, now());
        };
        const std::optional<bool> changed = co_await written(m_state, end, m_reservation);
        if (!changed) {
            // Whatever the client is told, it is not charged: the refund is retried until it is written.
            m_state.noteUnfinished(m_reservation);
            co_return false;
        }
        if (*changed && !keep) {
            m_state.metrics.refunded(m_exchange.characters);
        }
        co_return true;
    }

    ServiceState& m_state;
    Worker& m_worker;
    ClientChannel& m_client;
    const Request& m_request;
    const Limits& m_limits;
    Clock::time_point m_deadline;
    Exchange m_exchange;
    std::string m_reservation;
    std::string m_openFailure;
    Verdict m_input = Verdict::Allow;
    Relay m_relay;
    bool m_finished = false;
};

awaitable<void> waitForStop(Worker& worker)
{
    co_await worker.stopNotice.async_wait(asio::as_tuple(use_awaitable));
}

awaitable<Exchange> moderate(ServiceState& state, Worker& worker, ClientChannel& client, const Request& request)
{
    Exchange exchange;
    exchange.route = Route::Moderate;
    const Decoded<ModerateRequest> decoded = decodeModerate(request.body(), state.config.limits.moderateCharacters);
    const auto admitted = co_await admitRequest(state, client, request, exchange, Kind::Moderation,
                                                decoded.request ? std::nullopt : std::optional(decoded.error),
                                                decoded.request ? decoded.request->characters : 0);
    if (!admitted) {
        co_return exchange;
    }
    const auto checked =
        co_await (state.moderator.check(worker.upstream, decoded.request->text) || waitForStop(worker));
    if (checked.index() == 1) {
        exchange.keepAlive = false;
        co_return co_await answer(client, request, exchange, ErrorCode::ServiceUnavailable);
    }
    if (const Verdict verdict = std::get<0>(checked); verdict != Verdict::Allow) {
        co_return co_await answer(client, request, exchange, verdictCode(verdict));
    }
    Response response = jsonResponse(200, R"({"action":"allow"})", request);
    co_await client.write(response);
    co_return exchange;
}

// Whether the database takes writes: the outcome of the last write when one was recent, else a write of its
// own (at most one a second, so that frequent health checks stay cheap).
awaitable<bool> writable(ServiceState& state)
{
    const std::int64_t at = now();
    if (state.probedAt.exchange(at) == at) {
        co_return state.probeOk && !state.lastWriteFailed;
    }
    const auto probe = [at](Store& store) {
        store.probeWrite(at);
        return true;
    };
    state.probeOk = (co_await written(state, probe, noRequest)).has_value();
    co_return state.probeOk.load();
}

awaitable<Exchange> health(ServiceState& state, ClientChannel& client, const Request& request)
{
    Exchange exchange;
    exchange.route = Route::Health;
    const bool head = request.method() == http::verb::head;
    if (request.method() != http::verb::get && !head) {
        co_return co_await answer(client, request, exchange, ErrorCode::MethodNotAllowed);
    }
    bool readable = false;
    try {
        readable = co_await state.database.call([](Store& store) { return store.storedSchemaVersion() > 0; });
    } catch (const StoreError&) { // NOLINT(bugprone-empty-catch): reported as the status
    }
    const bool databaseOk = readable && co_await writable(state);
    const char* status = state.draining ? "draining" : databaseOk ? "ok" : "database_unavailable";
    const bool ok = !state.draining && databaseOk;
    const UpstreamStanding standing = state.upstream;
    const char* upstream = standing == UpstreamStanding::CredentialsRefused ? "credentials_refused"
                           : standing == UpstreamStanding::Accepted         ? "ok"
                                                                            : "unknown";
    Response response =
        jsonResponse(ok ? 200 : 503, nlohmann::json({{"status", status}, {"upstream", upstream}}).dump(), request);
    if (head) {
        // The same head as GET would have, and no body.
        const std::size_t length = response.body().size();
        response.body().clear();
        response.content_length(length);
    }
    exchange.status = response.result_int();
    exchange.code = ok ? "ok" : status;
    co_await client.write(response);
    co_return exchange;
}

awaitable<Exchange> metrics(ServiceState& state, ClientChannel& client, const Request& request)
{
    Exchange exchange;
    exchange.route = Route::Metrics;
    if (request.method() != http::verb::get) {
        co_return co_await answer(client, request, exchange, ErrorCode::MethodNotAllowed);
    }
    Response response(http::status::ok, request.version());
    response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
    response.keep_alive(request.keep_alive());
    response.body() = state.metrics.render();
    response.prepare_payload();
    co_await client.write(response);
    co_return exchange;
}

} // namespace

Route routeOf(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    if (target == "/v1/translate") {
        return Route::Translate;
    }
    if (target == "/v1/moderate") {
        return Route::Moderate;
    }
    if (target == "/healthz") {
        return Route::Health;
    }
    if (target == "/metrics") {
        return Route::Metrics;
    }
    return Route::Other;
}

Response errorResponse(ErrorCode code, const Request& request)
{
    return jsonResponse(errorInfo(code).status, errorBody(code), request);
}

void ServiceState::noteUnfinished(const std::string& reservation)
{
    const std::lock_guard guard(unfinishedLock);
    unfinished.push_back(reservation);
}

std::vector<std::string> ServiceState::takeUnfinished()
{
    const std::lock_guard guard(unfinishedLock);
    return std::exchange(unfinished, {});
}

awaitable<void> refundUnfinished(ServiceState& state)
{
    std::vector<std::string> pending = state.takeUnfinished();
    for (const std::string& reservation : pending) {
        const auto refund = [reservation](Store& store) { return store.refund(reservation, now()); };
        const std::optional<bool> changed = co_await written(state, refund, reservation);
        if (!changed) {
            state.noteUnfinished(reservation);
        } else if (*changed) {
            Log::line("reservation.refunded request=" + reservation +
                      " reason=\"its end could not be written before\"");
        }
    }
}

awaitable<Exchange> handle(ServiceState& state, Worker& worker, ClientChannel& client, const Request& request,
                           bool reserve)
{
    const Route route = routeOf(request.target());
    if (reserve && route != Route::Health && route != Route::Metrics) {
        Exchange busy;
        busy.route = route;
        busy.keepAlive = false;
        co_return co_await answer(client, request, busy, ErrorCode::ServiceUnavailable);
    }
    switch (route) {
    case Route::Translate: {
        Translation translation(state, worker, client, request);
        co_return co_await translation.run();
    }
    case Route::Moderate:
        co_return co_await moderate(state, worker, client, request);
    case Route::Health:
        co_return co_await health(state, client, request);
    case Route::Metrics:
        if (state.config.metrics) {
            co_return co_await metrics(state, client, request);
        }
        break;
    case Route::Other:
        break;
    }
    const Exchange unknown;
    co_return co_await answer(client, request, unknown, ErrorCode::NotFound);
}

} // namespace quilvant::service
