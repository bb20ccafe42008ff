#pragma once

#include "core/Async.h"

#include <chrono>
#include <functional>

class QObject;

namespace quilvant {

// Runs `action` once after `delay` unless the returned handle is cancelled first. Every time limit and grace
// period waits through one, so that a test can let time pass at will instead of waiting for it.
using Scheduler = std::function<Cancellation(std::chrono::milliseconds delay, std::function<void()> action)>;

// The real clock: a single-shot QTimer owned by `context`, whose action runs on `context`'s thread and is
// dropped with `context`.
Scheduler timerScheduler(QObject* context);

} // namespace quilvant
