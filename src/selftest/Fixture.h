#pragma once

#include "core/Outcome.h"

#include <QImage>
#include <QPointF>
#include <QSize>
#include <QString>

// Test images with drawn text, for the self-tests and the recognition tests.
namespace quilvant::Fixture {

// A white image of `size` (one pixel per point) with `text` drawn in black in the system font at `pointSize`
// points. `origin` places the bottom-left corner of the text's line, measured from the image's bottom-left
// corner. Needs a GUI application (fonts).
QImage draw(const QString& text, QSize size, QPointF origin, int pointSize);

// Writes `image` as PNG into the private temporary directory, named `prefix` + a new upper-case UUID + ".png",
// and returns the path.
Outcome<QString> write(const QImage& image, const QString& prefix);

// Writes `image` as a fixture named by `prefix`, recognises its text, and removes the file again whatever
// happened.
Outcome<QString> recognize(const QImage& image, const QString& prefix);

} // namespace quilvant::Fixture
