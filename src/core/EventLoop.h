#pragma once

#include <functional>

// Letting the calling thread's event loop run for a while, for checks that drive real windows without a test
// framework.
namespace quilvant::EventLoop {

// Runs the event loop for `milliseconds`, so that windows lay out, map and paint.
void turn(int milliseconds);

// Runs the event loop until `condition` holds or `milliseconds` have passed; whether it held.
bool turnUntil(const std::function<bool()>& condition, int milliseconds);

} // namespace quilvant::EventLoop
