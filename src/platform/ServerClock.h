#pragma once

#include <cstdint>
#include <optional>

namespace quilvant {

// Turns the X server's millisecond time stamps (32 bits, wrapping every 49.7 days, on the server's own clock)
// into seconds on Clock::uptime(), so that an event can be compared with moments we noted ourselves. The
// offset between the clocks is learnt from the events: an event is never received before it happened, so the
// smallest difference between arrival and stamp seen so far is the closest estimate.
class ServerClock
{
public:
    // `stamp` is the event's server time, `receivedAt` the uptime at which we read it.
    double toUptime(uint32_t stamp, double receivedAt);

private:
    std::optional<double> m_offset;
    std::optional<uint32_t> m_last;
    uint64_t m_wraps = 0;
};

} // namespace quilvant
