#pragma once

#include "core/Async.h"
#include "core/Outcome.h"

#include <QString>

// The command-line checks of the MiniMax engine.
namespace quilvant::MiniMaxChecks {

// Offline check of the event-stream assembly; prints its PASS line and fails with a fixed English message.
Outcome<void> parser();

// Timed translations against the real provider with `key` (both thinking settings when `compare`), then a
// repeat that must come from the memory cache. Prints one line per translation.
void speed(const QString& key, bool compare, Completion<void> done);

} // namespace quilvant::MiniMaxChecks
