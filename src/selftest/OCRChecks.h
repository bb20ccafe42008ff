#pragma once

#include "core/Outcome.h"

// The text-recognition self-check: five drawn lines (English, French, Chinese, Japanese, Korean) must each be
// read back with their key word. Prints a PASS line per language; the first mismatch fails with its text.
namespace quilvant::OCRChecks {

Outcome<void> run();

} // namespace quilvant::OCRChecks
