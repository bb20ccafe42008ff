#pragma once

#include "chatstream/MiniMaxEventReader.h"

#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <optional>
#include <string>
#include <string_view>

// Reads one answer of the chat-completions upstream from the raw bytes of its connection, as they arrive:
// the HTTP head, the (chunked or delimited) body, and in a successful answer the event stream, assembled by
// the desktop program's own chat-completions reader into the visible text so far. Holds no socket, so every
// cut point of the network can be tried on it. Bounded: the whole answer may not exceed `limit` bytes.
namespace quilvant::service {

class UpstreamResponse
{
public:
    explicit UpstreamResponse(std::size_t limit);
    UpstreamResponse(const UpstreamResponse&) = delete;
    UpstreamResponse& operator=(const UpstreamResponse&) = delete;

    // Feeds the next bytes read from the connection.
    void feed(std::string_view bytes);
    // The connection ended (or reading stopped); an answer still open fails unless its length was "until close".
    void end();

    // The head has arrived: status() and success() are known.
    bool headed() const { return m_parser.is_header_done(); }
    unsigned status() const { return m_status; }
    bool success() const { return m_status >= 200 && m_status <= 299; }

    // The translation is final (text() holds it) or failed (failure() says why): nothing more to wait for.
    bool finished() const { return m_finished; }
    bool failed() const { return !m_failure.empty(); }
    const std::string& failure() const { return m_failure; }
    const std::string& text() const { return m_text; }
    // Visible text has been published at least once.
    bool anyText() const { return m_anyText; }
    // The visible text when it changed since the last call.
    std::optional<std::string> takeUpdate();

    // The message has been read to its end and the connection may carry another request.
    bool reusable() const;
    // The start of an unsuccessful answer's body, for the log.
    const std::string& errorBody() const { return m_errorBody; }

private:
    void onHead();
    void deliver(std::string_view bytes);
    void onMessageEnd();
    void fail(std::string reason);

    boost::beast::http::response_parser<boost::beast::http::buffer_body> m_parser;
    quilvant::MiniMaxEventReader m_reader;
    std::size_t m_limit;
    std::size_t m_total = 0;
    std::string m_pending;
    unsigned m_status = 0;
    bool m_finished = false;
    bool m_anyText = false;
    bool m_trailingBytes = false;
    std::string m_text;
    std::optional<std::string> m_update;
    std::string m_failure;
    std::string m_errorBody;
};

} // namespace quilvant::service
