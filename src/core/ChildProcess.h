#pragma once

#include <functional>
#include <sys/types.h>

// What every child process of ours does between fork and exec, and how it is ended: in a process group of its
// own, so that ending the group also ends whatever the child started, and killed by the kernel when the thread
// that started it goes away, so that no child outlives us even after a crash.
namespace quilvant::ChildProcess {

// For the child, after fork and before exec; calls only async-signal-safe functions. `parent` is the pid of
// the starting process, read before the fork: when it is already gone the child ends at once.
void detach(pid_t parent) noexcept;

// detach() as a QProcess child-process modifier.
std::function<void()> modifier();

// Sends `signal` to the process group that `leader` leads; false when the group is gone.
bool signalGroup(pid_t leader, int signal) noexcept;

} // namespace quilvant::ChildProcess
