#pragma once

#include "core/Outcome.h"

#include <QString>

namespace quilvant {

// The card and window check: the panel's chrome and edge hit areas, the paste-only trigger of the source field,
// the collapse state across closing and capturing, and five preview images written to `outputDir`. Runs on
// real windows; prints its PASS line and "Previews: DIR". A failed expectation fails with what went wrong.
namespace SornUIChecks {
Outcome<void> run(const QString& outputDir);
// Where the previews go when no directory is given: ui-previews in the private temporary directory.
Outcome<QString> defaultOutputDir();
} // namespace SornUIChecks

// The window regression test: the card's window is viewable on the X server when first shown and after the
// program lost the focus, a pinned card stays shown for a capture and keeps its place when shown at another
// point, and an unpinned card hides for a capture.
namespace WindowRegressionTest {
Outcome<void> run();
} // namespace WindowRegressionTest

} // namespace quilvant
