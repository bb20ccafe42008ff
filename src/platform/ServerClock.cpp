#include "platform/ServerClock.h"

#include <algorithm>

namespace quilvant {

double ServerClock::toUptime(uint32_t stamp, double receivedAt)
{
    constexpr uint32_t half = 0x8000'0000U;
    uint64_t wraps = m_wraps;
    if (!m_last) {
        m_last = stamp;
    } else if (stamp<*m_last&& * m_last - stamp> half) {
        // Far below the last one: the counter wrapped.
        wraps = ++m_wraps;
        m_last = stamp;
    } else if (stamp > *m_last && stamp - *m_last > half) {
        // Far above: an event from before the wrap, read late.
        wraps = m_wraps > 0 ? m_wraps - 1 : 0;
    } else if (stamp > *m_last) {
        m_last = stamp;
    }
    const double serverSeconds = static_cast<double>((wraps << 32U) + stamp) / 1000.0;
    const double offset = receivedAt - serverSeconds;
    m_offset = m_offset ? std::min(*m_offset, offset) : offset;
    return std::min(serverSeconds + *m_offset, receivedAt);
}

} // namespace quilvant
