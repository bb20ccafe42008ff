#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>
#include <array>
#include <optional>

// Compares the shape of ink in an image with characters drawn in a CJK font: scale and position are taken out, so a
// character drawn at 64 pixels matches the same character captured at 16 or 44. Used to tell look-alike characters
// of different scripts apart without a model.
namespace quilvant::GlyphShapes {

constexpr int kSide = 24; // shapes are compared on a kSide × kSide grid
using Shape = std::array<float, kSide * kSide>;

// The ink of `window` in `grey` (8-bit, dark on light), scaled into the grid with its aspect kept, centred, and
// lightly blurred so that two fonts' strokes of the same character overlap. Nothing when the window holds no ink.
std::optional<Shape> of(const QImage& grey, const QRect& window);

// `shape` less its mean, scaled to length 1 (all zero when flat). The dot product of two such shapes is their
// correlation, -1 to 1 (0 when either is flat); a search normalizes each shape once and compares many.
Shape normalized(const Shape& shape);
double dot(const Shape& a, const Shape& b);

// Whether characters can be drawn in this process: Qt draws text on images in any thread once a GUI application
// has set up the fonts.
bool canDraw();

// The shape of the first character of `text` drawn in the reference CJK font; nothing when the font has no glyph for it
// or canDraw() is false. Kept per thread: drawing is the costly part and the same characters come back.
std::optional<Shape> drawn(const QString& text);

// The shapes of each character of `characters` drawn in the reference font with one painter, in order; those the
// font lacks or draws blank are left out. Empty when canDraw() is false.
QList<Shape> drawnEach(const QString& characters);

} // namespace quilvant::GlyphShapes
