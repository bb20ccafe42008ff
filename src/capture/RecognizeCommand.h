#pragma once

#include "core/Outcome.h"

#include <QStringList>

namespace quilvant {

// `quilvant --recognize FILE...`: prints the recognised text of each image, a blank line between files. Stops
// at the first file that fails; with several files its error names the file.
Outcome<void> recognizeCommand(const QStringList& files);

} // namespace quilvant
