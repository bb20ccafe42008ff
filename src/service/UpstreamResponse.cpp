#include "service/UpstreamResponse.h"

#include <array>
#include <boost/asio/buffer.hpp>

namespace quilvant::service {

namespace {

namespace http = boost::beast::http;

constexpr std::size_t errorBodyLimit = 16 * 1024;

std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// For the log: what went wrong, and the upstream's own words when it said something.
std::string reason(const StreamFailure& failure)
{
    using Kind = StreamFailure::Kind;
    switch (failure.kind) {
    case Kind::EventTooLarge:
        return "an event is too large";
    case Kind::BodyTooLarge:
        return "the body is too large";
    case Kind::NotJson:
        return utf8(failure.detail);
    case Kind::NotAnObject:
        return "an event is not a JSON object";
    case Kind::Server:
        return utf8(failure.detail);
    case Kind::Truncated:
    case Kind::BodyTruncated:
        return "the translation was cut at the length limit";
    case Kind::Incomplete:
        return "the answer is incomplete";
    case Kind::NoTranslation:
        break;
    }
    return "the answer holds no translation";
}

} // namespace

UpstreamResponse::UpstreamResponse(std::size_t limit)
    : m_reader([this](const QString& visible) {
        m_update = utf8(visible);
        m_anyText = m_anyText || !visible.isEmpty();
    })
    , m_limit(limit)
{
    m_parser.body_limit(boost::none); // the whole answer is bounded here instead
    m_parser.header_limit(64 * 1024);
}

std::optional<std::string> UpstreamResponse::takeUpdate()
{
    return std::exchange(m_update, std::nullopt);
}

bool UpstreamResponse::reusable() const
{
    return m_parser.is_done() && m_parser.keep_alive() && m_pending.empty() && !m_trailingBytes && m_failure.empty();
}

void UpstreamResponse::fail(std::string reason)
{
    if (m_failure.empty() && !m_finished) {
        m_failure = std::move(reason);
    }
    m_finished = true;
}

void UpstreamResponse::feed(std::string_view bytes)
{
    if (m_parser.is_done() || !m_failure.empty()) {
        m_trailingBytes = m_trailingBytes || !bytes.empty(); // the connection cannot be used again
        return;
    }
    m_total += bytes.size();
    if (m_total > m_limit) {
        fail("the upstream's answer exceeds " + std::to_string(m_limit) + " bytes");
        return;
    }
    m_pending.append(bytes);
    std::size_t offset = 0;
    std::array<char, 16384> scratch{};
    while (offset < m_pending.size() && !m_parser.is_done() && m_failure.empty()) {
        boost::system::error_code error;
        const boost::asio::const_buffer input(m_pending.data() + offset, m_pending.size() - offset);
        if (!m_parser.is_header_done()) {
            offset += m_parser.put(input, error);
            if (error == http::error::need_more) {
                break;
            }
            if (error) {
                fail("the upstream's answer is not HTTP: " + error.message());
                break;
            }
            if (m_parser.is_header_done()) {
                onHead();
            }
            continue;
        }
        m_parser.get().body().data = scratch.data();
        m_parser.get().body().size = scratch.size();
        const std::size_t consumed = m_parser.put(input, error);
        const std::size_t produced = scratch.size() - m_parser.get().body().size;
        offset += consumed;
        if (error == http::error::need_buffer || error == http::error::need_more) {
            error = {};
        }
        // What the parser took out before it met an error counts, as it would have in a smaller piece.
        deliver(std::string_view(scratch.data(), produced));
        if (error) {
            fail("the upstream's answer is malformed: " + error.message());
            break;
        }
        if (consumed == 0 && produced == 0) {
            break;
        }
    }
    m_pending.erase(0, offset);
    if (m_parser.is_done()) {
        onMessageEnd();
    }
}

void UpstreamResponse::end()
{
    if (m_parser.is_done() || m_finished) {
        return;
    }
    if (m_parser.is_header_done()) {
        boost::system::error_code error;
        m_parser.put_eof(error);
        if (!error && m_parser.is_done()) {
            onMessageEnd();
            return;
        }
    }
    fail(m_anyText ? "the upstream closed the connection in the middle of its answer"
                   : "the upstream closed the connection before answering");
}

void UpstreamResponse::onHead()
{
    m_status = m_parser.get().result_int();
    // Bodies come as they arrive from now on, not one element per call.
    m_parser.eager(true);
}

void UpstreamResponse::deliver(std::string_view bytes)
{
    if (bytes.empty()) {
        return;
    }
    if (!success()) {
        m_errorBody.append(bytes.substr(0, errorBodyLimit - std::min(errorBodyLimit, m_errorBody.size())));
        return;
    }
    if (m_finished) {
        return; // after "[DONE]": the rest of the body is read only to reach the end of the message
    }
    const auto fed = m_reader.feed(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!fed) {
        fail("the upstream's stream failed: " + reason(fed.error()));
        return;
    }
    if (m_reader.stopped()) {
        onMessageEnd();
    }
}

void UpstreamResponse::onMessageEnd()
{
    if (m_finished) {
        return;
    }
    if (!success()) {
        fail("the upstream answered HTTP " + std::to_string(m_status));
        return;
    }
    const StreamOutcome<QString> completed = m_reader.finish();
    if (!completed) {
        fail("the upstream's stream ended without a translation: " + reason(completed.error()));
        return;
    }
    m_text = utf8(completed.value());
    m_finished = true;
}

} // namespace quilvant::service
