#include "core/ChildProcess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace quilvant::ChildProcess {

void detach(pid_t parent) noexcept
{
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died between the fork and the line above; the signal would then never come.
    if (::getppid() != parent) {
        ::_exit(127);
    }
}

std::function<void()> modifier()
{
    return [parent = ::getpid()] { detach(parent); };
}

bool signalGroup(pid_t leader, int signal) noexcept
{
    return leader > 0 && ::killpg(leader, signal) == 0;
}

} // namespace quilvant::ChildProcess
