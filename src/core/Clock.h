#pragma once

#include <chrono>
#include <cstdint>

namespace quilvant::Clock {

// Seconds on the one monotonic clock the program compares time stamps on (system uptime, not wall time).
inline double uptime()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Whole seconds of wall time since 1970 (what stored records are dated with).
inline std::int64_t unixNow()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace quilvant::Clock
