#pragma once

#include "core/Outcome.h"

#include <QByteArray>
#include <QList>

namespace quilvant {

// `quilvant --recognize FILE...`: prints the recognised text of each image, a blank line between files. Names are
// taken byte for byte, so that a name that is not UTF-8 still opens its file. Stops at the first file that
// fails; with several files its error names the file (escaped where it is not plain text).
Outcome<void> recognizeCommand(const QList<QByteArray>& files);

} // namespace quilvant
