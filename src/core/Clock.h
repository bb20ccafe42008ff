#pragma once

#include <chrono>

namespace quilvant::Clock {

// Seconds on the one monotonic clock the program compares time stamps on (system uptime, not wall time).
inline double uptime()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace quilvant::Clock
