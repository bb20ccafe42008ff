#pragma once

#include "service/Api.h"
#include "service/Config.h"
#include "service/Database.h"
#include "service/Metrics.h"
#include "service/Moderation.h"
#include "service/Upstream.h"

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

// What the service does with one request, apart from the connection it came on.
namespace quilvant::service {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using Response = boost::beast::http::response<boost::beast::http::string_body>;
using StreamHead = boost::beast::http::response<boost::beast::http::empty_body>;

// The client's side of one connection, as the handlers write to it. Every write throws system_error when the
// client is gone or does not read within the write time-out.
class ClientChannel
{
public:
    virtual ~ClientChannel() = default;
    virtual boost::asio::awaitable<void> write(Response& response) = 0;
    virtual boost::asio::awaitable<void> writeStreamHead(StreamHead& head) = 0;
    virtual boost::asio::awaitable<void> writeEvent(std::string_view event) = 0;
    virtual boost::asio::awaitable<void> endStream() = 0;
    // Completes when the client has closed its side of the connection (or reset it).
    virtual boost::asio::awaitable<void> peerGone() = 0;
};

// What the provider's last answer says about our credentials, for the health answer.
enum class UpstreamStanding
{
    Unknown,
    Accepted,
    CredentialsRefused, // HTTP 401 or 403
};

// Shared by every I/O thread; fixed after start except the atomics and what guards itself.
struct ServiceState
{
    const ServiceConfig& config;
    Database& database;
    Metrics& metrics;
    const Moderator& moderator;
    std::optional<Endpoint> chat;       // the chat-completions endpoint, when configured
    nlohmann::json requestTemplate;     // upstream.extra with model and stream set
    std::atomic<bool> draining = false; // SIGTERM came: no new work
    std::size_t connectionLimit = 0;    // regular client connections, within the descriptors the process has
    std::atomic<UpstreamStanding> upstream = UpstreamStanding::Unknown;
    std::atomic<bool> lastWriteFailed = false;
    std::atomic<std::int64_t> probedAt = 0; // the second of the health answer's last write probe
    std::atomic<bool> probeOk = false;
    // Reservations whose end could not be written: refunded as soon as the database takes writes again.
    std::mutex unfinishedLock{};
    std::vector<std::string> unfinished{};

    void noteUnfinished(const std::string& reservation);
    std::vector<std::string> takeUnfinished();
};

// One per I/O thread: its context, its upstream pool and the notices that end waits at shutdown.
struct Worker
{
    explicit Worker(boost::asio::ssl::context& upstreamTls)
        : upstream(context.get_executor(), upstreamTls)
    {}

    boost::asio::io_context context{1};
    Upstream upstream;
    // Expire when draining starts (idle connections close) and when open requests must end; a wait that starts
    // after that completes at once.
    boost::asio::steady_timer drainNotice{context, Clock::time_point::max()};
    boost::asio::steady_timer stopNotice{context, Clock::time_point::max()};
};

// What a request came to, for the access log and the connection.
struct Exchange
{
    Route route = Route::Other;
    unsigned status = 200;
    std::string code = "ok";
    std::string tokenId;
    std::string requestId;
    std::int64_t characters = 0;
    bool keepAlive = true;
};

// Answers `request` on `client`. Throws only when the client is gone (a write failed). On a connection of the
// reserve (beyond the regular limit) only health and metrics are served.
boost::asio::awaitable<Exchange> handle(ServiceState& state, Worker& worker, ClientChannel& client,
                                        const Request& request, bool reserve = false);

// Refunds the reservations whose end could not be written before; what is still refused stays for later.
boost::asio::awaitable<void> refundUnfinished(ServiceState& state);

// A complete error response for `code` to `request`.
Response errorResponse(ErrorCode code, const Request& request);

// The route a request target names.
Route routeOf(std::string_view target);

} // namespace quilvant::service
