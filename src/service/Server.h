#pragma once

#include "service/Handlers.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The HTTP server: one io_context per I/O thread, connections handed out among them in turn, every read and
// write under a time limit, and a graceful stop on SIGTERM, SIGINT or SIGHUP (no new connections; open requests
// may finish for the configured time, then end with "service_unavailable" and a refund).
namespace quilvant::service {

class Server
{
public:
    Server(const ServiceConfig& config, Database& database, const Moderator& moderator);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Loads the TLS material and binds the listening address. Returns an error message, empty on success.
    std::string prepare();
    unsigned short port() const;
    // Serves until SIGTERM or SIGINT and the drain after it. Returns the process's exit status.
    int run();

    Metrics& metrics() { return m_metrics; }

private:
    void startDrain();
    boost::asio::awaitable<void> accept();
    boost::asio::awaitable<void> maintain();
    boost::asio::awaitable<void> drain();

    const ServiceConfig& m_config;
    Metrics m_metrics;
    boost::asio::ssl::context m_upstreamTls{boost::asio::ssl::context::tls_client};
    std::optional<boost::asio::ssl::context> m_serverTls;
    std::unique_ptr<ServiceState> m_state;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::optional<boost::asio::ip::tcp::acceptor> m_acceptor;
    std::size_t m_next = 0;
    std::size_t m_acceptFailures = 0;
    std::optional<Clock::time_point> m_acceptLogged;
};

} // namespace quilvant::service
