#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

// The service's counters, gauges and histograms, rendered in the Prometheus text format for GET /metrics.
// Safe to update from every thread.
namespace quilvant::service {

enum class Route
{
    Translate,
    Moderate,
    Health,
    Metrics,
    Other,
};

class Metrics
{
public:
    // A request ended with `code` ("ok" or an error code) after `seconds`.
    void request(Route route, std::string_view code, double seconds);
    // Time from the upstream's first text to the first "delta" written to the client.
    void firstDelta(double seconds);
    void upstreamError(std::string_view kind);
    void streamOpened() { ++m_openStreams; }
    void streamClosed() { --m_openStreams; }
    void charged(std::int64_t characters) { m_charged += characters; }
    void refunded(std::int64_t characters) { m_refunded += characters; }
    void connectionOpened() { ++m_connections; }
    void connectionClosed() { --m_connections; }
    std::int64_t openConnections() const { return m_connections; }

    std::string render() const;

private:
    static constexpr std::array<double, 14> buckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                       0.25,  0.5,    1,     2.5,  5,     10,   30};
    struct Histogram
    {
        std::array<std::uint64_t, buckets.size()> counts{};
        std::uint64_t count = 0;
        double sum = 0;
        void observe(double seconds);
    };

    mutable std::mutex m_lock;
    std::map<std::pair<Route, std::string>, std::uint64_t> m_requests;
    std::array<Histogram, 5> m_latency;
    Histogram m_firstDelta;
    std::map<std::string, std::uint64_t, std::less<>> m_upstreamErrors;
    std::atomic<std::int64_t> m_openStreams = 0;
    std::atomic<std::int64_t> m_connections = 0;
    std::atomic<std::int64_t> m_charged = 0;
    std::atomic<std::int64_t> m_refunded = 0;
};

} // namespace quilvant::service
