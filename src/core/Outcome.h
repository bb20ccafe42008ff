#pragma once

#include "core/AppFailure.h"

#include <QString>
#include <utility>
#include <variant>

namespace quilvant {

// Why an operation did not produce its value. An AppFailure carries a user-facing message; a system error
// (transport, parse, platform) carries its own description; cancellation is never shown to anyone.
class Error
{
public:
    enum class Kind
    {
        App,
        System,
        Cancelled
    };

    Error(AppFailure failure) // NOLINT(google-explicit-constructor): an AppFailure is an Error
        : m_kind(Kind::App)
        , m_description(std::move(failure.message))
    {}

    static Error app(QString message) { return Error(AppFailure{std::move(message)}); }
    static Error system(QString description) { return Error(Kind::System, std::move(description)); }
    static Error cancelled() { return Error(Kind::Cancelled, QStringLiteral("cancelled")); }

    Kind kind() const { return m_kind; }
    bool isCancelled() const { return m_kind == Kind::Cancelled; }
    bool isAppFailure() const { return m_kind == Kind::App; }
    // The text to show: the message of an AppFailure, otherwise the error's own description.
    const QString& description() const { return m_description; }

    friend bool operator==(const Error&, const Error&) = default;

private:
    Error(Kind kind, QString description)
        : m_kind(kind)
        , m_description(std::move(description))
    {}

    Kind m_kind;
    QString m_description;
};

// The result of an operation that can fail: a value or an Error.
template <typename T>
class [[nodiscard]] Outcome
{
public:
    Outcome(T value) // NOLINT(google-explicit-constructor)
        : m_state(std::in_place_index<0>, std::move(value))
    {}
    Outcome(Error error) // NOLINT(google-explicit-constructor)
        : m_state(std::in_place_index<1>, std::move(error))
    {}
    Outcome(AppFailure failure) // NOLINT(google-explicit-constructor)
        : m_state(std::in_place_index<1>, Error(std::move(failure)))
    {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<0>(m_state); }
    T& value() & { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    // The error; an empty system error when there is none (so that a failure message can always be built).
    const Error& error() const
    {
        static const Error none = Error::system(QString());
        return ok() ? none : std::get<1>(m_state);
    }

private:
    std::variant<T, Error> m_state;
};

// Outcome of an operation that has no value of its own.
template <>
class [[nodiscard]] Outcome<void>
{
public:
    Outcome() = default;
    Outcome(Error error) // NOLINT(google-explicit-constructor)
        : m_error(std::move(error))
        , m_failed(true)
    {}
    Outcome(AppFailure failure) // NOLINT(google-explicit-constructor)
        : m_error(std::move(failure))
        , m_failed(true)
    {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return m_error; }

private:
    Error m_error = Error::system(QString());
    bool m_failed = false;
};

} // namespace quilvant
