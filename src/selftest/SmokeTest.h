#pragma once

#include "core/Async.h"

// The end-to-end check: a drawn English line is recognised on this thread, then translated by the shared agent
// engine. Prints "OCR: …", "Translation: …" and "Elapsed: …"; the fixture image never outlives the first half.
namespace quilvant::SmokeTest {

// Runs both halves; `done` ends on the calling thread's event loop, never inside this call.
void run(Completion<void> done);

} // namespace quilvant::SmokeTest
