#include "service/Server.h"

#include "core/Clock.h"
#include "service/Log.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>

namespace quilvant::service {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace asio::experimental::awaitable_operators;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

awaitable<void> sleepFor(Clock::duration duration)
{
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::as_tuple(use_awaitable));
}

awaitable<void> notice(asio::steady_timer& timer)
{
    co_await timer.async_wait(asio::as_tuple(use_awaitable));
}

// Completes when the peer of `socket` has closed or reset the connection. Bytes that arrive (a pipelined
// request, a TLS alert) end the watch without completing it.
awaitable<void> closedByPeer(tcp::socket& socket)
{
    for (;;) {
        co_await socket.async_wait(tcp::socket::wait_read, use_awaitable);
        char probe = 0;
        const ssize_t n = ::recv(socket.native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            co_return;
        }
        if (n > 0) {
            asio::steady_timer forever(socket.get_executor(), Clock::time_point::max());
            co_await forever.async_wait(use_awaitable);
        }
    }
}

template <typename Stream>
class Channel final : public ClientChannel
{
public:
    Channel(Stream& stream, Clock::duration writeTimeout)
        : m_stream(stream)
        , m_writeTimeout(writeTimeout)
    {}

    awaitable<void> write(Response& response) override
    {
        beast::get_lowest_layer(m_stream).expires_after(m_writeTimeout);
        co_await http::async_write(m_stream, response, use_awaitable);
    }

    awaitable<void> writeStreamHead(StreamHead& head) override
    {
        m_chunked = head.chunked();
        http::response_serializer<http::empty_body> serializer(head);
        beast::get_lowest_layer(m_stream).expires_after(m_writeTimeout);
        co_await http::async_write_header(m_stream, serializer, use_awaitable);
    }

    awaitable<void> writeEvent(std::string_view event) override
    {
        beast::get_lowest_layer(m_stream).expires_after(m_writeTimeout);
        if (m_chunked) {
            const auto chunk = http::make_chunk(asio::buffer(event));
            co_await asio::async_write(m_stream, chunk, use_awaitable);
        } else {
            co_await asio::async_write(m_stream, asio::buffer(event), use_awaitable);
        }
    }

    awaitable<void> endStream() override
    {
        if (m_chunked) {
            beast::get_lowest_layer(m_stream).expires_after(m_writeTimeout);
            const auto last = http::make_chunk_last();
            co_await asio::async_write(m_stream, last, use_awaitable);
        }
    }

    awaitable<void> peerGone() override { co_await closedByPeer(beast::get_lowest_layer(m_stream).socket()); }

private:
    Stream& m_stream;
    Clock::duration m_writeTimeout;
    bool m_chunked = false;
};

// Stops sending, then reads and drops what the client still sends for a moment, so that an answer written
// before its request was read reaches the client instead of being lost to a reset.
awaitable<void> lingeringClose(beast::tcp_stream& stream)
{
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    std::array<char, 4096> sink{};
    std::size_t dropped = 0;
    stream.expires_after(std::chrono::seconds(2));
    while (dropped < (1 << 20)) {
        auto [error, n] = co_await stream.async_read_some(asio::buffer(sink), asio::as_tuple(use_awaitable));
        if (error) {
            break;
        }
        dropped += n;
    }
    stream.socket().close(ignored);
}

awaitable<void> lingeringClose(TlsStream& stream)
{
    co_await lingeringClose(beast::get_lowest_layer(stream));
}

void logAccess(const std::string& remote, const Request& request, const Exchange& exchange, Clock::time_point start)
{
    const Route route = routeOf(request.target());
    static constexpr std::array<std::string_view, 5> paths = {"/v1/translate", "/v1/moderate", "/healthz", "/metrics",
                                                              "other"};
    std::string line = "access remote=" + remote + " method=" + std::string(request.method_string()) +
                       " path=" + std::string(paths.at(static_cast<std::size_t>(route))) +
                       " status=" + std::to_string(exchange.status) + " code=" + exchange.code;
    if (!exchange.tokenId.empty()) {
        line += " token=" + exchange.tokenId;
    }
    if (!exchange.requestId.empty()) {
        line += " request=" + exchange.requestId;
    }
    if (exchange.characters > 0) {
        line += " characters=" + std::to_string(exchange.characters);
    }
    line +=
        " ms=" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    Log::line(line);
}

// Whether a failed read of a request head means the request cannot be framed safely (two lengths, a length
// beside chunks, a malformed line): worth a 400 before the close, unlike a client that left or timed out.
bool unframable(const boost::system::error_code& error)
{
    return error.category() == http::make_error_code(http::error::bad_method).category() &&
           error != http::error::end_of_stream && error != http::error::partial_message &&
           error != http::error::need_more && error != http::error::header_limit && error != http::error::body_limit;
}

// A connection beyond the regular limit must send its request at once: it is kept only for health checks.
constexpr auto reserveFirstByte = std::chrono::seconds(1);
constexpr std::size_t reserveConnections = 16;

template <typename Stream>
awaitable<void> serveConnection(ServiceState& state, Worker& worker, Stream& stream, const std::string& remote,
                                bool reserve)
{
    const Limits& limits = state.config.limits;
    beast::tcp_stream& lowest = beast::get_lowest_layer(stream);
    beast::flat_buffer buffer;
    Channel<Stream> channel(stream, limits.write);
    for (;;) {
        if (state.draining) {
            break;
        }
        // Waiting for the next request, a connection may idle; once its first byte is in, the head has a
        // deadline of its own that trickling bytes do not extend. The first byte is read, not just awaited: over
        // TLS the request may already sit decrypted or buffered above the socket.
        if (buffer.size() == 0) {
            lowest.expires_after(reserve ? Clock::duration(reserveFirstByte) : Clock::duration(limits.idle));
            const auto woke = co_await (stream.async_read_some(buffer.prepare(16384), asio::as_tuple(use_awaitable)) ||
                                        notice(worker.drainNotice));
            if (woke.index() != 0 || std::get<0>(std::get<0>(woke))) {
                break;
            }
            buffer.commit(std::get<1>(std::get<0>(woke)));
        }
        http::request_parser<http::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.headerBytes));
        parser.body_limit(limits.requestBodyBytes());
        lowest.expires_after(limits.header);
        auto [error, ignored] = co_await http::async_read_header(stream, buffer, parser, asio::as_tuple(use_awaitable));
        const auto start = Clock::now();
        if (!error && !parser.is_done()) {
            if (parser.get()[http::field::expect] == "100-continue") {
                http::response<http::empty_body> proceed(http::status::continue_, parser.get().version());
                lowest.expires_after(limits.write);
                co_await http::async_write(stream, proceed, use_awaitable);
            }
            lowest.expires_after(limits.body);
            std::tie(error, ignored) = co_await http::async_read(stream, buffer, parser, asio::as_tuple(use_awaitable));
        }
        if (error == http::error::header_limit || error == http::error::body_limit) {
            Request& partial = parser.get();
            partial.keep_alive(false);
            const Route route = routeOf(partial.target());
            const ErrorCode code = error == http::error::header_limit ? ErrorCode::HeadersTooLarge
                                   : route == Route::Moderate         ? ErrorCode::ModerationTextTooLong
                                                                      : ErrorCode::TextTooLong;
            Response response = errorResponse(code, partial);
            lowest.expires_after(limits.write);
            co_await http::async_write(stream, response, asio::as_tuple(use_awaitable));
            Exchange exchange;
            exchange.route = route;
            exchange.status = response.result_int();
            exchange.code = std::string(errorInfo(code).code);
            state.metrics.request(route, exchange.code, 0);
            if (state.config.accessLog) {
                logAccess(remote, partial, exchange, start);
            }
            co_await lingeringClose(stream);
            co_return;
        }
        if (error && unframable(error)) {
            Request& partial = parser.get();
            partial.keep_alive(false);
            Response response = errorResponse(ErrorCode::InvalidRequest, partial);
            lowest.expires_after(limits.write);
            co_await http::async_write(stream, response, asio::as_tuple(use_awaitable));
            state.metrics.request(routeOf(partial.target()), errorInfo(ErrorCode::InvalidRequest).code, 0);
            co_await lingeringClose(stream);
            co_return;
        }
        if (error) {
            // The client left or timed out: nothing to answer.
            break;
        }
        lowest.expires_never();
        const Request& request = parser.get();
        Exchange exchange = co_await handle(state, worker, channel, request, reserve);
        state.metrics.request(exchange.route, exchange.code,
                              std::chrono::duration<double>(Clock::now() - start).count());
        if (state.config.accessLog) {
            logAccess(remote, request, exchange, start);
        }
        if (!exchange.keepAlive || !request.keep_alive()) {
            break;
        }
    }
    boost::system::error_code ignored;
    lowest.socket().shutdown(tcp::socket::shutdown_send, ignored);
}

awaitable<void> session(ServiceState& state, Worker& worker, asio::ssl::context* tls, tcp::socket socket, bool reserve)
{
    state.metrics.connectionOpened();
    struct Closed
    {
        Metrics& metrics;
        ~Closed() { metrics.connectionClosed(); }
    } closed{state.metrics};
    boost::system::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    const std::string remote = error ? "unknown" : peer.address().to_string();
    socket.set_option(tcp::no_delay(true), error);
    try {
        beast::tcp_stream tcpStream(std::move(socket));
        if (tls == nullptr) {
            co_await serveConnection(state, worker, tcpStream, remote, reserve);
            co_return;
        }
        TlsStream stream(std::move(tcpStream), *tls);
        beast::get_lowest_layer(stream).expires_after(state.config.limits.header);
        co_await stream.async_handshake(asio::ssl::stream_base::server, use_awaitable);
        co_await serveConnection(state, worker, stream, remote, reserve);
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(2));
        co_await stream.async_shutdown(asio::as_tuple(use_awaitable));
    } catch (const boost::system::system_error&) { // NOLINT(bugprone-empty-catch): a client that left
    }
}

using quilvant::Clock::unixNow;

// How many client connections the descriptors left to the process carry: each may hold one to the provider
// too, and a reserve stays for the database, the log and the health checks beyond the limit.
std::size_t descriptorBudget()
{
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<std::size_t>::max();
    }
    std::size_t open = 0;
    if (DIR* directory = ::opendir("/proc/self/fd"); directory != nullptr) {
        while (::readdir(directory) != nullptr) {
            ++open;
        }
        ::closedir(directory);
    }
    const std::size_t reserve = open + 64 + reserveConnections;
    return files.rlim_cur > reserve + 2 ? (files.rlim_cur - reserve) / 2 : 1;
}

} // namespace

Server::Server(const ServiceConfig& config, Database& database, const Moderator& moderator)
    : m_config(config)
{
    m_state.reset(new ServiceState{config, database, m_metrics, moderator, Endpoint::parse(config.upstream.url), {}});
    if (!config.upstreamConfigured()) {
        m_state->chat.reset();
    }
    m_state->requestTemplate = nlohmann::json::parse(config.upstream.extra, nullptr, false);
    if (!m_state->requestTemplate.is_object()) {
        m_state->requestTemplate = nlohmann::json::object();
    }
    m_state->requestTemplate["model"] = config.upstream.model;
    m_state->requestTemplate["stream"] = true;
    m_upstreamTls.set_default_verify_paths();
    const unsigned threads =
        config.ioThreads > 0 ? config.ioThreads : std::max(1U, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < threads; ++i) {
        m_workers.push_back(std::make_unique<Worker>(m_upstreamTls));
    }
}

Server::~Server() = default;

std::string Server::prepare()
{
    if (!m_config.upstream.url.empty() && !Endpoint::parse(m_config.upstream.url)) {
        return "upstream.url must be an http or https URL";
    }
    if (!m_config.tlsCertificate.empty()) {
        try {
            m_serverTls.emplace(asio::ssl::context::tls_server);
            m_serverTls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                                     asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                                     asio::ssl::context::no_tlsv1_1);
            m_serverTls->use_certificate_chain_file(m_config.tlsCertificate);
            m_serverTls->use_private_key_file(m_config.tlsKey, asio::ssl::context::pem);
        } catch (const boost::system::system_error& failure) {
            return "TLS certificate or key: " + failure.code().message();
        }
    }
    const std::size_t colon = m_config.listen.rfind(':');
    if (colon == std::string::npos) {
        return "listen must be ADDRESS:PORT";
    }
    std::string host = m_config.listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    boost::system::error_code error;
    const auto address = asio::ip::make_address(host, error);
    const std::string portText = m_config.listen.substr(colon + 1);
    if (error || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || std::stoi(portText) > 65535) {
        return "listen must be ADDRESS:PORT with a numeric address, not \"" + m_config.listen + "\"";
    }
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(std::stoi(portText)));
    m_acceptor.emplace(m_workers.front()->context);
    m_acceptor->open(endpoint.protocol(), error);
    if (!error) {
        m_acceptor->set_option(asio::socket_base::reuse_address(true), error);
        m_acceptor->bind(endpoint, error);
    }
    if (!error) {
        m_acceptor->listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return "cannot listen on " + m_config.listen + ": " + error.message();
    }
    const std::size_t budget = descriptorBudget();
    m_state->connectionLimit = std::min(m_config.limits.connections, budget);
    if (m_state->connectionLimit < m_config.limits.connections) {
        Log::line("connections limit=" + std::to_string(m_state->connectionLimit) +
                  " reason=\"the descriptor limit (RLIMIT_NOFILE) allows no more than limits.connections\"");
    }
    return {};
}

unsigned short Server::port() const
{
    return m_acceptor ? m_acceptor->local_endpoint().port() : 0;
}

awaitable<void> Server::accept()
{
    for (;;) {
        Worker& worker = *m_workers[m_next++ % m_workers.size()];
        auto [error, socket] = co_await m_acceptor->async_accept(worker.context, asio::as_tuple(use_awaitable));
        if (!m_acceptor->is_open() || error == asio::error::operation_aborted) {
            co_return;
        }
        if (error) {
            // Out of descriptors and the like: wait a moment rather than spin, and say so once a minute.
            ++m_acceptFailures;
            if (!m_acceptLogged || Clock::now() - *m_acceptLogged >= std::chrono::minutes(1)) {
                m_acceptLogged = Clock::now();
                Log::line("accept.failed count=" + std::to_string(m_acceptFailures) + " reason=\"" + error.message() +
                          "\"");
                m_acceptFailures = 0;
            }
            co_await sleepFor(std::chrono::milliseconds(100));
            continue;
        }
        const auto open = static_cast<std::size_t>(m_metrics.openConnections());
        if (open >= m_state->connectionLimit + reserveConnections) {
            continue; // the socket closes here
        }
        asio::co_spawn(worker.context,
                       session(*m_state, worker, m_serverTls ? &*m_serverTls : nullptr, std::move(socket),
                               open >= m_state->connectionLimit),
                       asio::detached);
    }
}

awaitable<void> Server::maintain()
{
    const std::int64_t window = m_config.limits.rateWindowSeconds;
    std::optional<Clock::time_point> sweptAt;
    while (!m_state->draining) {
        // Storage that failed is tried again every few seconds, and so are the refunds it kept back.
        try {
            if (!co_await m_state->database.call([](Store& store) { return store.recover(); })) {
                co_await (sleepFor(std::chrono::seconds(2)) || notice(m_workers.front()->drainNotice));
                continue;
            }
        } catch (const StoreError&) { // NOLINT(bugprone-empty-catch): tried again below
        }
        co_await refundUnfinished(*m_state);
        if (sweptAt && Clock::now() - *sweptAt < std::chrono::minutes(1)) {
            co_await (sleepFor(std::chrono::seconds(2)) || notice(m_workers.front()->drainNotice));
            continue;
        }
        sweptAt = Clock::now();
        try {
            // A reservation is older than any stream can be only when the process that opened it died.
            const std::int64_t stale = std::max<std::int64_t>(3600, 2 * m_config.limits.upstreamTotal.count());
            const std::int64_t refunded = co_await m_state->database.call([stale, window](Store& store) {
                const std::int64_t now = unixNow();
                return store.expire(now - stale, now - now % window - window, now);
            });
            if (refunded > 0) {
                Log::line("reservations.expired refunded=" + std::to_string(refunded));
            }
        } catch (const StoreError& failure) {
            Log::line("database.failed reason=\"" + Log::redact(failure.what()) + "\"");
        }
        co_await (sleepFor(std::chrono::seconds(2)) || notice(m_workers.front()->drainNotice));
    }
}

void Server::startDrain()
{
    if (m_state->draining.exchange(true)) {
        return;
    }
    Log::line("draining open=" + std::to_string(m_metrics.openConnections()));
    boost::system::error_code ignored;
    m_acceptor->close(ignored);
    for (auto& worker : m_workers) {
        asio::post(worker->context, [&timer = worker->drainNotice] { timer.expires_at(Clock::time_point::min()); });
    }
    asio::co_spawn(m_workers.front()->context, drain(), asio::detached);
}

awaitable<void> Server::drain()
{
    const auto graceEnd = Clock::now() + m_config.limits.shutdown;
    // Open streams finish on their own until the grace time ends; then they are told to stop, and get a moment
    // to refund and say so.
    bool stopped = false;
    const auto stopEnd = graceEnd + std::chrono::seconds(5);
    while (m_metrics.openConnections() > 0 && Clock::now() < stopEnd) {
        if (!stopped && Clock::now() >= graceEnd) {
            stopped = true;
            Log::line("draining.stop open=" + std::to_string(m_metrics.openConnections()));
            for (auto& worker : m_workers) {
                asio::post(worker->context,
                           [&timer = worker->stopNotice] { timer.expires_at(Clock::time_point::min()); });
            }
        }
        co_await sleepFor(std::chrono::milliseconds(20));
    }
    co_await refundUnfinished(*m_state);
    for (auto& worker : m_workers) {
        worker->context.stop();
    }
}

int Server::run()
{
    // SIGHUP too: there is no log file to reopen (the log is standard error), and a hang-up that ended the
    // process would leave its reservations charged.
    asio::signal_set signals(m_workers.front()->context, SIGTERM, SIGINT, SIGHUP);
    signals.async_wait([this](const boost::system::error_code& error, int) {
        if (!error) {
            startDrain();
        }
    });
    asio::co_spawn(m_workers.front()->context, accept(), asio::detached);
    asio::co_spawn(m_workers.front()->context, maintain(), asio::detached);
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < m_workers.size(); ++i) {
        threads.emplace_back([&context = m_workers[i]->context] {
            auto guard = asio::make_work_guard(context);
            context.run();
        });
    }
    {
        auto guard = asio::make_work_guard(m_workers.front()->context);
        m_workers.front()->context.run();
    }
    for (auto& worker : m_workers) {
        worker->context.stop();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Settlements already handed to the database finish before the process ends.
    m_state->database.stop();
    Log::line("stopped");
    return 0;
}

} // namespace quilvant::service
