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

// The checks every POST passes first; nothing when the request may go on.
std::optional<ErrorCode> precheck(const ServiceState& state, const Request& request)
{
    if (request.method() != http::verb::post) {
        return ErrorCode::MethodNotAllowed;
    }
    if (request[privacyHeader] != privacyValue) {
        return ErrorCode::PrivacyRequired;
    }
    if (state.draining) {
        return ErrorCode::ServiceUnavailable;
    }
    return std::nullopt;
}

// The token check of a request on the database threads; nothing when the database failed.
template <typename Work>
awaitable<std::optional<AdmitResult>> admit(ServiceState& state, const Work& work)
{
    try {
        co_return co_await state.database.call(work);
    } catch (const StoreError& failure) {
        Log::line("database.failed reason=\"" + Log::redact(failure.what()) + "\"");
    }
    co_return std::nullopt;
}

// How a stream ended, decided by whoever saw it first.
enum class StreamEnd
{
    Finished,
    UpstreamFailed,
    OutputRefused,
    ClientGone,
    Stopped,
};

struct Relay
{
    StreamEnd end = StreamEnd::UpstreamFailed;
    Verdict verdict = Verdict::Allow;
    std::string failure;
    std::string sent; // the last text written as a delta
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
        if (const auto refused = precheck(m_state, m_request)) {
            co_return co_await answer(m_client, m_request, m_exchange, *refused);
        }
        if (!m_state.chat) {
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::NotConfigured);
        }
        const Decoded<TranslateRequest> decoded = decodeTranslate(m_request.body(), m_limits.translateCharacters);
        if (!decoded.request) {
            co_return co_await answer(m_client, m_request, m_exchange, decoded.error);
        }
        const TranslateRequest& translate = *decoded.request;
        m_exchange.characters = translate.characters;
        const std::string token = bearer(m_request);
        if (token.empty()) {
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::InvalidToken);
        }

        const std::int64_t window = m_limits.rateWindowSeconds;
        const auto check = [digest = Tokens::digest(token), characters = translate.characters, window](Store& store) {
            return store.admitTranslation(digest, characters, now(), window);
        };
        const auto admission = co_await admit(m_state, check);
        if (!admission) {
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::ServiceUnavailable);
        }
        const AdmitResult& admitted = *admission;
        m_exchange.tokenId = admitted.tokenId;
        switch (admitted.outcome) {
        case Admission::UnknownToken:
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::InvalidToken);
        case Admission::RateLimited:
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::RateLimit,
                                      m_limits.rateWindowSeconds - now() % m_limits.rateWindowSeconds);
        case Admission::Exhausted:
            co_return co_await answer(m_client, m_request, m_exchange, ErrorCode::AllowanceExhausted);
        case Admission::Admitted:
            break;
        }
        m_reservation = admitted.reservationId;
        m_exchange.requestId = m_reservation;
        m_state.metrics.charged(translate.characters);
        // From here on the reservation is open: every way out settles or refunds it.
        try {
            co_return co_await translateAdmitted(translate, admitted.remaining);
        } catch (const boost::system::system_error&) { // NOLINT(bugprone-empty-catch): settled below
        }
        // Only a client that left can end up here; it keeps what it was sent, and pays when that was text.
        co_await finish(!m_relay.sent.empty());
        m_exchange.keepAlive = false;
        m_exchange.code = "client_closed";
        co_return m_exchange;
    }

private:
    awaitable<Exchange> translateAdmitted(const TranslateRequest& translate, std::int64_t remaining)
    {
        const Verdict input = co_await m_state.moderator.check(m_worker.upstream, translate.source);
        if (input != Verdict::Allow) {
            co_await finish(false);
            co_return co_await answer(m_client, m_request, m_exchange, verdictCode(input));
        }

        auto response = std::make_unique<UpstreamResponse>(m_limits.upstreamBytes);
        std::unique_ptr<UpstreamCall> call = co_await open(translate, response);
        if (!call) {
            m_state.metrics.upstreamError(response->headed() ? "status" : "connect");
            Log::line("upstream.failed request=" + m_reservation + " status=" + std::to_string(response->status()) +
                      " reason=\"" + Log::redact(m_openFailure.empty() ? response->failure() : m_openFailure) +
                      "\" body=\"" + Log::redact(response->errorBody(), 300) + "\"");
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
            Log::line("upstream.failed request=" + m_reservation + " reason=\"" + Log::redact(m_relay.failure) + "\"");
            co_await finish(false);
            co_await endWith(response->anyText() ? ErrorCode::TranslationFailed : ErrorCode::ProviderUnavailable);
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

    // Sends the request upstream and reads up to the head of its answer. A pooled connection that turns out to
    // be closed is replaced once. Nothing when no connection could be made.
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
        for (bool retried = false;; retried = true) {
            std::unique_ptr<UpstreamCall> call;
            bool received = false;
            try {
                call = co_await m_worker.upstream.post(*m_state.chat, text, m_state.config.upstream.key,
                                                       "text/event-stream", m_limits.upstreamIdle);
                std::string bytes;
                // An unsuccessful answer is read to its end (it is bounded), so that the log can say why.
                while (!response->finished() && (!response->headed() || !response->success())) {
                    co_await call->readSome(bytes, m_limits.upstreamIdle, m_deadline);
                    if (bytes.empty()) {
                        response->end();
                    } else {
                        received = true;
                        noteText(*response, bytes);
                    }
                }
            } catch (const boost::system::system_error& failure) {
                m_openFailure = failure.code().message();
            }
            if (response->headed() && response->success()) {
                co_return call;
            }
            if (response->headed()) {
                co_return nullptr;
            }
            if (retried || !call || !call->reused() || received) {
                if (m_openFailure.empty()) {
                    m_openFailure = response->failure();
                }
                co_return nullptr;
            }
            response = std::make_unique<UpstreamResponse>(m_limits.upstreamBytes);
            m_openFailure.clear();
        }
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
                    if (const Verdict verdict = m_state.moderator.local(*update); verdict != Verdict::Allow) {
                        m_relay.end = StreamEnd::OutputRefused;
                        m_relay.verdict = verdict;
                        co_return;
                    }
                    m_relay.writing = true;
                    const std::string delta = deltaEvent(*update);
                    co_await m_client.writeEvent(delta);
                    m_relay.writing = false;
                    if (m_relay.sent.empty() && m_relay.textArrived) {
                        m_state.metrics.firstDelta(secondsSince(*m_relay.textArrived));
                    }
                    m_relay.sent = std::move(*update);
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
                m_relay.failure = response.failure();
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
        try {
            const auto end = [id = m_reservation, keep](Store& store) {
                return keep ? store.settle(id, now()) : store.refund(id, now());
            };
            const bool changed = co_await m_state.database.call(end);
            if (changed && !keep) {
                m_state.metrics.refunded(m_exchange.characters);
            }
            co_return true;
        } catch (const StoreError& failure) {
            Log::line("database.failed request=" + m_reservation + " reason=\"" + Log::redact(failure.what()) + "\"");
            co_return false;
        }
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
    Relay m_relay;
    bool m_finished = false;
};

awaitable<Exchange> moderate(ServiceState& state, Worker& worker, ClientChannel& client, const Request& request)
{
    Exchange exchange;
    exchange.route = Route::Moderate;
    if (const auto refused = precheck(state, request)) {
        co_return co_await answer(client, request, exchange, *refused);
    }
    const Decoded<ModerateRequest> decoded = decodeModerate(request.body(), state.config.limits.moderateCharacters);
    if (!decoded.request) {
        co_return co_await answer(client, request, exchange, decoded.error);
    }
    exchange.characters = decoded.request->characters;
    const std::string token = bearer(request);
    if (token.empty()) {
        co_return co_await answer(client, request, exchange, ErrorCode::InvalidToken);
    }
    const std::int64_t window = state.config.limits.rateWindowSeconds;
    const auto check = [digest = Tokens::digest(token), window](Store& store) {
        return store.admitModeration(digest, now(), window);
    };
    const auto admission = co_await admit(state, check);
    if (!admission) {
        co_return co_await answer(client, request, exchange, ErrorCode::ServiceUnavailable);
    }
    const AdmitResult& admitted = *admission;
    exchange.tokenId = admitted.tokenId;
    if (admitted.outcome == Admission::UnknownToken) {
        co_return co_await answer(client, request, exchange, ErrorCode::InvalidToken);
    }
    if (admitted.outcome == Admission::RateLimited) {
        co_return co_await answer(client, request, exchange, ErrorCode::ModerationRateLimit, window - now() % window);
    }
    const Verdict verdict = co_await state.moderator.check(worker.upstream, decoded.request->text);
    if (verdict != Verdict::Allow) {
        co_return co_await answer(client, request, exchange, verdictCode(verdict));
    }
    Response response = jsonResponse(200, R"({"action":"allow"})", request);
    co_await client.write(response);
    co_return exchange;
}

awaitable<Exchange> health(ServiceState& state, ClientChannel& client, const Request& request)
{
    Exchange exchange;
    exchange.route = Route::Health;
    if (request.method() != http::verb::get) {
        co_return co_await answer(client, request, exchange, ErrorCode::MethodNotAllowed);
    }
    bool databaseOk = false;
    try {
        databaseOk = co_await state.database.call([](Store& store) { return store.storedSchemaVersion() > 0; });
    } catch (const StoreError&) { // NOLINT(bugprone-empty-catch): reported as the status
    }
    const char* status = state.draining ? "draining" : databaseOk ? "ok" : "database_unavailable";
    const bool ok = !state.draining && databaseOk;
    Response response = jsonResponse(ok ? 200 : 503, nlohmann::json({{"status", status}}).dump(), request);
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

awaitable<Exchange> handle(ServiceState& state, Worker& worker, ClientChannel& client, const Request& request)
{
    switch (routeOf(request.target())) {
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
