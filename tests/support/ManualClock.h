#pragma once

#include "core/Scheduler.h"

#include <QList>
#include <algorithm>
#include <chrono>
#include <memory>

namespace quilvant::test {

// Time that passes only when a test says so: a Scheduler whose actions run from advance(), in the order they
// fall due. Lets a test prove that a limit holds (and that it does not end things early) without waiting.
class ManualClock
{
public:
    Scheduler scheduler()
    {
        return [state = m_state](std::chrono::milliseconds delay, std::function<void()> action) {
            auto entry = std::make_shared<Entry>(Entry{state->now + delay, state->sequence++, std::move(action)});
            state->entries.append(entry);
            return Cancellation([entry] { entry->action = nullptr; });
        };
    }

    // Moves time on by `step`, running every action that falls due on the way (also ones scheduled meanwhile).
    void advance(std::chrono::milliseconds step)
    {
        const std::chrono::milliseconds target = m_state->now + step;
        for (;;) {
            m_state->entries.removeIf([](const auto& entry) { return !entry->action; });
            const auto due =
                std::min_element(m_state->entries.begin(), m_state->entries.end(), [](const auto& a, const auto& b) {
                    return a->due != b->due ? a->due < b->due : a->order < b->order;
                });
            if (due == m_state->entries.end() || (*due)->due > target) {
                break;
            }
            const std::shared_ptr<Entry> entry = *due;
            m_state->entries.erase(due);
            m_state->now = std::max(m_state->now, entry->due);
            std::exchange(entry->action, nullptr)();
        }
        m_state->now = target;
    }

    // Actions scheduled and neither run nor cancelled, and how far ahead each falls due.
    QList<std::chrono::milliseconds> pending() const
    {
        QList<std::chrono::milliseconds> delays;
        for (const auto& entry : m_state->entries) {
            if (entry->action) {
                delays.append(entry->due - m_state->now);
            }
        }
        return delays;
    }

private:
    struct Entry
    {
        std::chrono::milliseconds due;
        long long order;
        std::function<void()> action;
    };
    struct State
    {
        std::chrono::milliseconds now{0};
        long long sequence = 0;
        QList<std::shared_ptr<Entry>> entries;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace quilvant::test
