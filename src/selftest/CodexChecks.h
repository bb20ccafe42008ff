#pragma once

#include "core/Async.h"

#include <QString>

// The agent engine's self-test: streaming, the memory cache and, against a stand-in app-server, failed turns,
// cancellation and reconnection; against the real CLI, a paragraph's timing.
namespace quilvant::CodexChecks {

// `mockPath` names an executable that plays the app-server; empty means the real CLI, located as usual.
// Prints its progress lines; ends with an AppFailure carrying a fixed English message when a check fails.
void run(const QString& mockPath, Completion<void> done);

} // namespace quilvant::CodexChecks
