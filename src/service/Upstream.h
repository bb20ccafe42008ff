#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

// Requests to the upstream providers (chat completions, moderation) over HTTP or HTTPS, with the connections
// kept alive and reused. One Upstream per I/O thread: its pool is touched by that thread's coroutines only.
namespace quilvant::service {

struct Endpoint
{
    bool tls = false;
    std::string host;
    std::string port;
    std::string target; // path and query

    // An http or https URL without user information; nothing for anything else.
    static std::optional<Endpoint> parse(const std::string& url);
    std::string poolKey() const { return (tls ? "https://" : "http://") + host + ":" + port; }
};

using Clock = std::chrono::steady_clock;

// One request on one connection: its answer is read with readSome() until the caller has what it needs, then
// the connection goes back to the pool (release) or is closed (when dropped unreleased).
class UpstreamCall
{
public:
    struct Connection;
    UpstreamCall(class Upstream& owner, std::unique_ptr<Connection> connection, bool reused);
    ~UpstreamCall();
    UpstreamCall(const UpstreamCall&) = delete;
    UpstreamCall& operator=(const UpstreamCall&) = delete;

    // Reads what has arrived (at least one byte) into `out`, replacing its contents; empty at the end of the
    // connection. Waits no longer than `idle`, nor past `deadline`. Throws boost::system::system_error.
    boost::asio::awaitable<void> readSome(std::string& out, Clock::duration idle, Clock::time_point deadline);
    // The answer was read to its end and the connection may serve another request.
    void release();
    bool reused() const { return m_reused; }

private:
    Upstream& m_owner;
    std::unique_ptr<Connection> m_connection;
    bool m_reused;
};

class Upstream
{
public:
    Upstream(boost::asio::any_io_executor executor, boost::asio::ssl::context& tls);
    ~Upstream();
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;

    // Sends a POST of the JSON `body` to `endpoint` (with "Authorization: Bearer <key>" unless `key` is empty)
    // on a pooled connection or a new one, connecting within `connectTimeout`. Throws system_error.
    boost::asio::awaitable<std::unique_ptr<UpstreamCall>> post(const Endpoint& endpoint, const std::string& body,
                                                               const std::string& key, const char* accept,
                                                               Clock::duration connectTimeout);

    // Pooled connections idle for longer are closed rather than reused.
    static constexpr auto idleLifetime = std::chrono::seconds(30);
    static constexpr std::size_t idlePerHost = 128;

private:
    friend class UpstreamCall;
    void recycle(std::unique_ptr<UpstreamCall::Connection> connection);
    // Writes the request; the error and how many bytes of it went out.
    boost::asio::awaitable<std::tuple<boost::system::error_code, std::size_t>>
    send(UpstreamCall::Connection& connection, const Endpoint& endpoint, const std::string& body,
         const std::string& key, const char* accept, Clock::duration timeout);
    std::unique_ptr<UpstreamCall::Connection> pooled(const std::string& key);

    boost::asio::any_io_executor m_executor;
    boost::asio::ssl::context& m_tls;
    std::map<std::string, std::vector<std::unique_ptr<UpstreamCall::Connection>>> m_idle;
};

} // namespace quilvant::service
