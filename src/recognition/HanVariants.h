#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

// Tells simplified from traditional Chinese in an image. Each Chinese model reads the other script's
// characters as its own look-alikes with high confidence, so neither confidence nor dictionaries can decide;
// the shapes in the image can. A simplified reading whose characters all fit the image needs no second
// opinion; otherwise, where the two readings disagree on a character, both candidates are drawn in a CJK font
// and the one whose shape is closer to the image wins a vote.
namespace quilvant::HanVariants {

struct Glyph
{
    QString text;    // one recognised symbol
    QRect box;       // where the model says it is: often up to a character off, sometimes much smaller
    int lineTop = 0; // the ink of its line, which fixes the search across the line (its left, in a column)
    int lineHeight = 0;
    bool vertical = false; // in a column read top to bottom: the search runs down it
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

// Whether every Chinese character of `reading` (of `image`), drawn in a CJK font, closely fits the ink where it
// was read. A model that read a character of the other script as its own look-alike fails this. False when
// glyphs cannot be drawn in this process.
bool fitsTheImage(const QImage& image, const QList<Glyph>& reading);

// Whether `c` is a Han ideograph (the unified blocks and their extensions).
bool isHan(char32_t c);

} // namespace quilvant::HanVariants
