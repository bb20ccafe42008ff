#pragma once

#include <QString>
#include <optional>
#include <utility>
#include <variant>

namespace quilvant {

// Why a chat-completions answer gave no translation, as the parser saw it. The parser words nothing itself: the
// desktop program turns a failure into its interface's message, the service into its own error code and log line.
struct StreamFailure
{
    enum class Kind
    {
        EventTooLarge, // one line, or the data lines of one event, reached their limit
        BodyTooLarge,  // the whole body went past its limit
        NotJson,       // an event that is not JSON; `detail` says where it stopped being JSON
        NotAnObject,   // an event that is JSON but not an object
        Server,        // the server reported a failure; `detail` is its wording, `http` the status
        Truncated,     // a streamed answer that the length limit cut off
        Incomplete,    // a stream that ended before its answer was complete
        BodyTruncated, // a whole (not streamed) answer that the length limit cut off
        NoTranslation  // a whole answer without visible text
    };

    StreamFailure(Kind what, QString words = {}, int status = 0) // NOLINT(google-explicit-constructor)
        : kind(what)
        , detail(std::move(words))
        , http(status)
    {}

    Kind kind;
    QString detail;
    int http;

    friend bool operator==(const StreamFailure&, const StreamFailure&) = default;
};

// A value, or the failure that took its place.
template <typename T>
class [[nodiscard]] StreamOutcome
{
public:
    StreamOutcome(T value) // NOLINT(google-explicit-constructor)
        : m_state(std::in_place_index<0>, std::move(value))
    {}
    StreamOutcome(StreamFailure failure) // NOLINT(google-explicit-constructor)
        : m_state(std::in_place_index<1>, std::move(failure))
    {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(m_state); }
    // Only for a failed outcome.
    const StreamFailure& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, StreamFailure> m_state;
};

template <>
class [[nodiscard]] StreamOutcome<void>
{
public:
    StreamOutcome() = default;
    StreamOutcome(StreamFailure failure) // NOLINT(google-explicit-constructor)
        : m_failure(std::move(failure))
    {}

    bool ok() const { return !m_failure; }
    explicit operator bool() const { return ok(); }
    // Only for a failed outcome.
    const StreamFailure& error() const { return *m_failure; }

private:
    std::optional<StreamFailure> m_failure;
};

} // namespace quilvant
