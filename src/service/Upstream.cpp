#include "service/Upstream.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/version.hpp>
#include <sys/socket.h>

namespace quilvant::service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::use_awaitable;

struct UpstreamCall::Connection
{
    std::string key;
    std::variant<beast::tcp_stream, beast::ssl_stream<beast::tcp_stream>> stream;
    Clock::time_point idleSince;

    beast::tcp_stream& tcp()
    {
        return std::visit([](auto& s) -> beast::tcp_stream& { return beast::get_lowest_layer(s); }, stream);
    }

    // Whether a pooled connection still looks open: not closed by the server, and no stray bytes waiting (over
    // TLS bytes may wait legitimately: session tickets, or an alert the next read reports).
    bool stillOpen()
    {
        char probe = 0;
        const ssize_t n = ::recv(tcp().socket().native_handle(), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            return std::holds_alternative<beast::ssl_stream<beast::tcp_stream>>(stream);
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
};

std::optional<Endpoint> Endpoint::parse(const std::string& url)
{
    Endpoint endpoint;
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        endpoint.tls = true;
        rest = url.substr(8);
    } else if (url.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else {
        return std::nullopt;
    }
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    endpoint.target = slash == std::string::npos ? "/" : rest.substr(slash);
    if (authority.empty() || authority.find('@') != std::string::npos ||
        endpoint.target.find_first_of(" \r\n#") != std::string::npos) {
        return std::nullopt;
    }
    endpoint.port = endpoint.tls ? "443" : "80";
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        endpoint.host = authority.substr(1, close - 1);
        authority = authority.substr(close + 1);
        if (!authority.empty() && authority.front() != ':') {
            return std::nullopt;
        }
        if (!authority.empty()) {
            endpoint.port = authority.substr(1);
        }
    } else {
        const std::size_t colon = authority.rfind(':');
        endpoint.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            endpoint.port = authority.substr(colon + 1);
        }
    }
    if (endpoint.host.empty() || endpoint.port.empty() ||
        endpoint.port.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return endpoint;
}

UpstreamCall::UpstreamCall(Upstream& owner, std::unique_ptr<Connection> connection, bool reused)
    : m_owner(owner)
    , m_connection(std::move(connection))
    , m_reused(reused)
{}

UpstreamCall::~UpstreamCall() = default;

asio::awaitable<void> UpstreamCall::readSome(std::string& out, Clock::duration idle, Clock::time_point deadline)
{
    out.resize(16384);
    m_connection->tcp().expires_at(std::min(Clock::now() + idle, deadline));
    std::size_t n = 0;
    boost::system::error_code error;
    std::tie(error, n) = co_await std::visit(
        [&out](auto& stream) { return stream.async_read_some(asio::buffer(out), asio::as_tuple(use_awaitable)); },
        m_connection->stream);
    out.resize(n);
    if (error == asio::error::eof || error == asio::ssl::error::stream_truncated) {
        // The end of the connection: an answer delimited by it ends here, any other one was cut.
        out.clear();
        co_return;
    }
    if (error) {
        throw boost::system::system_error(error);
    }
}

void UpstreamCall::release()
{
    if (m_connection) {
        m_owner.recycle(std::move(m_connection));
    }
}

Upstream::Upstream(asio::any_io_executor executor, asio::ssl::context& tls)
    : m_executor(std::move(executor))
    , m_tls(tls)
{}

Upstream::~Upstream() = default;

void Upstream::recycle(std::unique_ptr<UpstreamCall::Connection> connection)
{
    auto& idle = m_idle[connection->key];
    if (idle.size() >= idlePerHost) {
        return;
    }
    connection->idleSince = Clock::now();
    idle.push_back(std::move(connection));
}

std::unique_ptr<UpstreamCall::Connection> Upstream::pooled(const std::string& key)
{
    const auto it = m_idle.find(key);
    if (it == m_idle.end()) {
        return nullptr;
    }
    auto& idle = it->second;
    // The most recently used first: the likeliest to be open still.
    while (!idle.empty()) {
        std::unique_ptr<UpstreamCall::Connection> connection = std::move(idle.back());
        idle.pop_back();
        if (Clock::now() - connection->idleSince < idleLifetime && connection->stillOpen()) {
            return connection;
        }
    }
    return nullptr;
}

asio::awaitable<std::unique_ptr<UpstreamCall>> Upstream::post(const Endpoint& endpoint, const std::string& body,
                                                              const std::string& key, const char* accept,
                                                              Clock::duration connectTimeout)
{
    // A pooled connection that the server closed meanwhile fails the write before any byte goes out: only
    // then is the request sent again, on a new connection (nothing can have reached the provider).
    if (std::unique_ptr<UpstreamCall::Connection> connection = pooled(endpoint.poolKey())) {
        auto [error, written] = co_await send(*connection, endpoint, body, key, accept, connectTimeout);
        if (!error) {
            co_return std::make_unique<UpstreamCall>(*this, std::move(connection), true);
        }
        if (written > 0) {
            throw boost::system::system_error(error);
        }
    }
    std::unique_ptr<UpstreamCall::Connection> connection;
    {
        asio::ip::tcp::resolver resolver(m_executor);
        const auto addresses = co_await resolver.async_resolve(endpoint.host, endpoint.port, use_awaitable);
        beast::tcp_stream tcp(m_executor);
        tcp.expires_after(connectTimeout);
        co_await tcp.async_connect(addresses, use_awaitable);
        tcp.socket().set_option(asio::ip::tcp::no_delay(true));
        if (endpoint.tls) {
            beast::ssl_stream<beast::tcp_stream> tls(std::move(tcp), m_tls);
            // The server name for hosts that serve several certificates (what SSL_set_tlsext_host_name expands to).
            if (SSL_ctrl(tls.native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                         const_cast<char*>(endpoint.host.c_str())) != 1) {
                throw boost::system::system_error(asio::error::invalid_argument, "server name");
            }
            tls.set_verify_mode(asio::ssl::verify_peer);
            tls.set_verify_callback(asio::ssl::host_name_verification(endpoint.host));
            co_await tls.async_handshake(asio::ssl::stream_base::client, use_awaitable);
            connection.reset(new UpstreamCall::Connection{endpoint.poolKey(), std::move(tls), {}});
        } else {
            connection.reset(new UpstreamCall::Connection{endpoint.poolKey(), std::move(tcp), {}});
        }
    }
    auto [error, written] = co_await send(*connection, endpoint, body, key, accept, connectTimeout);
    if (error) {
        throw boost::system::system_error(error);
    }
    co_return std::make_unique<UpstreamCall>(*this, std::move(connection), false);
}

asio::awaitable<std::tuple<boost::system::error_code, std::size_t>>
Upstream::send(UpstreamCall::Connection& connection, const Endpoint& endpoint, const std::string& body,
               const std::string& key, const char* accept, Clock::duration timeout)
{
    http::request<http::string_body> request(http::verb::post, endpoint.target, 11);
    const bool defaultPort = endpoint.port == (endpoint.tls ? "443" : "80");
    const std::string host = endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host;
    request.set(http::field::host, defaultPort ? host : host + ":" + endpoint.port);
    request.set(http::field::user_agent, "quilvant-service/" QUILVANT_VERSION);
    request.set(http::field::content_type, "application/json");
    request.set(http::field::accept, accept);
    if (!key.empty()) {
        request.set(http::field::authorization, "Bearer " + key);
    }
    request.keep_alive(true);
    request.body() = body;
    request.prepare_payload();
    connection.tcp().expires_after(timeout);
    co_return co_await std::visit(
        [&request](auto& stream) { return http::async_write(stream, request, asio::as_tuple(use_awaitable)); },
        connection.stream);
}

} // namespace quilvant::service
