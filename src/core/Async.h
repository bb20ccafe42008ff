#pragma once

#include "core/Outcome.h"

#include <QString>
#include <functional>
#include <memory>

namespace quilvant {

// Receives the whole visible text so far (never a fragment) of a streaming operation.
using TextUpdate = std::function<void(const QString&)>;

// Receives the end of an asynchronous operation: exactly once, on the thread that started it, and never from
// inside the call that started it. After cancel() the operation ends with Error::cancelled() unless it had
// already ended.
template <typename T>
using Completion = std::function<void(Outcome<T>)>;

// The caller's handle on a running asynchronous operation. Copies share one state; an empty handle does
// nothing. cancel() is idempotent and must be called on the thread that started the operation.
class Cancellation
{
public:
    Cancellation() = default;
    explicit Cancellation(std::function<void()> onCancel)
        : m_state(std::make_shared<State>(State{std::move(onCancel), false}))
    {}

    void cancel()
    {
        if (!m_state || m_state->cancelled) {
            return;
        }
        m_state->cancelled = true;
        // Move the hook out first: it may drop the last reference to whatever owns this handle.
        auto hook = std::move(m_state->onCancel);
        m_state->onCancel = nullptr;
        if (hook) {
            hook();
        }
    }

    bool isCancelled() const { return m_state && m_state->cancelled; }
    bool isValid() const { return m_state != nullptr; }

private:
    struct State
    {
        std::function<void()> onCancel;
        bool cancelled;
    };
    std::shared_ptr<State> m_state;
};

} // namespace quilvant
