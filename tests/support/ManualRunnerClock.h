#pragma once

#include "core/Runner.h"

#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace quilvant::test {

// The runner's watchdog time, moved by the test: waits end at a deadline only once advance() has passed it.
class ManualRunnerClock final : public Runner::Clock
{
public:
    ManualRunnerClock() { [[maybe_unused]] const int made = ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK); }
    ~ManualRunnerClock() override
    {
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }

    Runner::TimePoint now() const override
    {
        const std::lock_guard lock(m_lock);
        return m_now;
    }

    int wait(std::vector<pollfd>& fds, std::optional<Runner::TimePoint> deadline) override
    {
        for (;;) {
            {
                const std::lock_guard lock(m_lock);
                m_deadline = deadline;
                if (deadline && m_now >= *deadline) {
                    return 0;
                }
            }
            std::vector<pollfd> watched = fds;
            watched.push_back({m_wake[0], POLLIN, 0});
            const int ready = ::poll(watched.data(), watched.size(), -1);
            if (ready < 0) {
                return ready;
            }
            char drained[64];
            while (::read(m_wake[0], drained, sizeof drained) > 0) {
            }
            int count = 0;
            for (size_t i = 0; i < fds.size(); ++i) {
                fds[i].revents = watched[i].revents;
                count += fds[i].revents != 0 ? 1 : 0;
            }
            if (count > 0) {
                return count;
            }
        }
    }

    // The deadline the runner waits for now, measured from the clock's start.
    std::optional<std::chrono::milliseconds> deadline() const
    {
        const std::lock_guard lock(m_lock);
        if (!m_deadline) {
            return std::nullopt;
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(*m_deadline - Runner::TimePoint());
    }
    std::chrono::milliseconds elapsed() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now() - Runner::TimePoint());
    }

    void advance(std::chrono::milliseconds step)
    {
        {
            const std::lock_guard lock(m_lock);
            m_now += step;
        }
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &byte, 1);
    }

private:
    mutable std::mutex m_lock;
    Runner::TimePoint m_now{};
    std::optional<Runner::TimePoint> m_deadline;
    int m_wake[2] = {-1, -1};
};

} // namespace quilvant::test
