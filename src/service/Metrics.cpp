#include "service/Metrics.h"

#include <sstream>

namespace quilvant::service {

namespace {

std::string_view routeName(Route route)
{
    switch (route) {
    case Route::Translate:
        return "translate";
    case Route::Moderate:
        return "moderate";
    case Route::Health:
        return "healthz";
    case Route::Metrics:
        return "metrics";
    case Route::Other:
        break;
    }
    return "other";
}

} // namespace

void Metrics::Histogram::observe(double seconds)
{
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        if (seconds <= buckets[i]) {
            ++counts[i];
        }
    }
    ++count;
    sum += seconds;
}

void Metrics::request(Route route, std::string_view code, double seconds)
{
    const std::lock_guard guard(m_lock);
    ++m_requests[{route, std::string(code)}];
    m_latency.at(static_cast<std::size_t>(route)).observe(seconds);
}

void Metrics::firstDelta(double seconds)
{
    const std::lock_guard guard(m_lock);
    m_firstDelta.observe(seconds);
}

void Metrics::upstreamError(std::string_view kind)
{
    const std::lock_guard guard(m_lock);
    const auto it = m_upstreamErrors.find(kind);
    if (it == m_upstreamErrors.end()) {
        m_upstreamErrors.emplace(std::string(kind), 1);
    } else {
        ++it->second;
    }
}

std::string Metrics::render() const
{
    std::ostringstream out;
    const auto histogram = [&out](std::string_view name, std::string_view labels, const Histogram& h) {
        const std::string prefix = labels.empty() ? "{" : "{" + std::string(labels) + ",";
        for (std::size_t i = 0; i < buckets.size(); ++i) {
            out << name << "_bucket" << prefix << "le=\"" << buckets[i] << "\"} " << h.counts[i] << '\n';
        }
        out << name << "_bucket" << prefix << "le=\"+Inf\"} " << h.count << '\n';
        const std::string plain = labels.empty() ? "" : "{" + std::string(labels) + "}";
        out << name << "_sum" << plain << ' ' << h.sum << '\n' << name << "_count" << plain << ' ' << h.count << '\n';
    };
    const std::lock_guard guard(m_lock);
    out << "# HELP quilvant_requests_total Requests by route and outcome code.\n"
           "# TYPE quilvant_requests_total counter\n";
    for (const auto& [key, count] : m_requests) {
        out << "quilvant_requests_total{route=\"" << routeName(key.first) << "\",code=\"" << key.second << "\"} "
            << count << '\n';
    }
    out << "# HELP quilvant_request_duration_seconds Time from a request's head to its end.\n"
           "# TYPE quilvant_request_duration_seconds histogram\n";
    for (std::size_t route = 0; route < m_latency.size(); ++route) {
        if (m_latency[route].count > 0) {
            histogram("quilvant_request_duration_seconds",
                      "route=\"" + std::string(routeName(static_cast<Route>(route))) + "\"", m_latency[route]);
        }
    }
    out << "# HELP quilvant_first_delta_seconds Time from the upstream's first text to the client's first delta.\n"
           "# TYPE quilvant_first_delta_seconds histogram\n";
    histogram("quilvant_first_delta_seconds", "", m_firstDelta);
    out << "# HELP quilvant_upstream_errors_total Failed upstream calls by kind.\n"
           "# TYPE quilvant_upstream_errors_total counter\n";
    for (const auto& [kind, count] : m_upstreamErrors) {
        out << "quilvant_upstream_errors_total{kind=\"" << kind << "\"} " << count << '\n';
    }
    out << "# HELP quilvant_open_streams Translations streaming now.\n# TYPE quilvant_open_streams gauge\n"
        << "quilvant_open_streams " << m_openStreams.load() << '\n'
        << "# HELP quilvant_open_connections Client connections open now.\n"
           "# TYPE quilvant_open_connections gauge\n"
        << "quilvant_open_connections " << m_connections.load() << '\n'
        << "# HELP quilvant_allowance_charged_characters_total Characters charged to tokens.\n"
           "# TYPE quilvant_allowance_charged_characters_total counter\n"
        << "quilvant_allowance_charged_characters_total " << m_charged.load() << '\n'
        << "# HELP quilvant_allowance_refunded_characters_total Characters reserved and given back.\n"
           "# TYPE quilvant_allowance_refunded_characters_total counter\n"
        << "quilvant_allowance_refunded_characters_total " << m_refunded.load() << '\n';
    return out.str();
}

} // namespace quilvant::service
