#pragma once

#include <functional>
#include <sys/types.h>

// The process groups of children that must not outlive the program (GroupedProcess), and the handlers that
// end them when the program is told to stop by a signal.
namespace quilvant::ChildGroups {

// Adds or removes a group led by the child `leader`. Async-signal-safe, like everything the handlers use.
void track(pid_t leader);
void untrack(pid_t leader);

// Sends the signal `number` to every process of every tracked group.
void signalAll(int number);

// SIGTERM, SIGINT and SIGHUP end the program without leaving a tracked group behind. While a group is tracked,
// the first such signal asks the event loop to quit (QCoreApplication::exit), so that the program ends through
// its usual tear-down, which stops the children; without one, or at a second signal, every tracked group is
// killed at once and the signal ends the program as it would have without a handler. Needs the application
// object; calling it again does nothing.
void installSignalHandlers();

// The desktop program ends gently at every first signal, tracked groups or not: `quit` runs on the GUI thread
// (and must end the event loop) instead of an immediate exit of the loop, so that a capture's temporary file
// is deleted and the windows are closed. An empty function restores the default.
void setGentleQuit(std::function<void()> quit);

// The signal that made the event loop quit; 0 when none did.
int receivedSignal();

// Kills every tracked group, then, if a signal made the loop quit, ends the program by that signal. For the very
// end of main(), after the application object is gone.
void finish();

} // namespace quilvant::ChildGroups
