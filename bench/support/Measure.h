#pragma once

// What the benchmarks measure with: CPU time of this process, its resident memory, percentiles of samples and
// one report line per measure (wall time beside CPU time, so a cost the clock does not see cannot hide).

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace quilvant::bench {

inline double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Resident memory of this process in MB, or -1 where /proc cannot tell.
inline double residentMegabytes()
{
    long pages = 0;
    long resident = -1;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = -1;
        }
        std::fclose(statm);
    }
    if (resident < 0) {
        return -1;
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The sample at `share` (0 the least, 0.5 the median, 1 the most) of a non-empty set.
inline double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// "what, N rounds: p50 …, p90 …, max …; CPU p50 …", in milliseconds with `decimals` digits.
inline void report(const char* what, const std::vector<double>& wall, const std::vector<double>& cpu, int decimals = 1)
{
    std::printf("%s, %zu rounds: p50 %.*f ms, p90 %.*f ms, max %.*f ms; CPU p50 %.*f ms\n", what, wall.size(), decimals,
                percentile(wall, 0.5), decimals, percentile(wall, 0.9), decimals, percentile(wall, 1.0), decimals,
                percentile(cpu, 0.5));
}

} // namespace quilvant::bench
