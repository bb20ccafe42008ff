#pragma once

#include "core/Outcome.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <functional>
#include <memory>
#include <utility>

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

// The end of one operation, delivered exactly once: the first outcome decided wins and later ones are dropped.
// finishLater() delivers from the event loop (so never inside the caller's own call); a cancel() before that
// delivery turns the end into cancellation. Shared by the operation and the caller's handle.
template <typename T>
class Once
{
public:
    explicit Once(Completion<T> done)
        : m_done(std::move(done))
    {}

    // An end was decided: delivered, or on its way from the event loop.
    bool decided() const { return m_decided; }
    bool cancelled() const { return m_cancelled; }

    void finish(Outcome<T> outcome)
    {
        if (!std::exchange(m_decided, true)) {
            deliver(std::move(outcome));
        }
    }

    static void finishLater(const std::shared_ptr<Once>& once, Outcome<T> outcome)
    {
        QCoreApplication* application = QCoreApplication::instance();
        if (std::exchange(once->m_decided, true) || application == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            application, [once, outcome = std::move(outcome)]() mutable { once->deliver(std::move(outcome)); },
            Qt::QueuedConnection);
    }

    // The caller gave up: whatever was decided and not yet delivered ends as cancellation.
    static void cancel(const std::shared_ptr<Once>& once)
    {
        once->m_cancelled = true;
        finishLater(once, Error::cancelled());
    }

private:
    void deliver(Outcome<T> outcome)
    {
        if (Completion<T> done = std::exchange(m_done, nullptr)) {
            done(m_cancelled ? Outcome<T>(Error::cancelled()) : std::move(outcome));
        }
    }

    Completion<T> m_done;
    bool m_decided = false;
    bool m_cancelled = false;
};

} // namespace quilvant
