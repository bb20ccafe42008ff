#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

// Tells simplified from traditional Chinese in an image. Each Chinese model reads the other script's
// characters as its own look-alikes with high confidence, so neither confidence nor dictionaries can decide;
// the shapes in the image can. Where the two readings disagree on a character, both candidates are drawn in a
// CJK font and the one whose shape is closer to the image wins a vote.
namespace quilvant::HanVariants {

struct Glyph
{
    QString text; // one recognised symbol
    QRect box;    // its place in the image
};

enum class Choice
{
    Simplified,
    Traditional,
    Undecided
};

// Compares the symbols of a simplified and a traditional reading of `image` (8-bit grey). Undecided when the
// readings never disagree on a Chinese character, the votes tie, or glyphs cannot be drawn in this process
// (no GUI application, no CJK font).
Choice judge(const QImage& image, const QList<Glyph>& simplified, const QList<Glyph>& traditional);

// Whether `c` is a Han ideograph (the unified blocks and their extensions).
bool isHan(char32_t c);

} // namespace quilvant::HanVariants
