#pragma once

#include "core/Outcome.h"

// The interaction regression test: the card's real window on the X server and the controller's real handler of
// presses elsewhere. A press stamped no later than the card's showing leaves it open; a press during a capture
// leaves it open; a press outside an unpinned card closes it (one within the margin does not); a pinned card
// stays open. Prints its PASS line when all hold; otherwise fails with the first that did not.
namespace quilvant::RegressionTest {

Outcome<void> run();

} // namespace quilvant::RegressionTest
