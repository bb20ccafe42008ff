#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>

// Text drawn as a screen shows it, for the recognition tests: in rows, or in vertical columns set right to left.
namespace quilvant::test {

struct DrawnText
{
    QStringList lines{}; // rows top to bottom, or columns right to left
    int pixelSize = 16;  // the font's size in pixels
    QString family{};    // empty: the system font
    bool dark = false;   // light text on a dark ground
    bool vertical = false;
    double spacing = 1.8; // from one line or column to the next, in font sizes
};

// An RGB image of `text` with a margin of two font sizes on every side. Vertical columns are drawn a character to a
// square cell, upright, with the vertical forms of the comma and full stop in their cells' upper right, as a
// vertical layout sets them. Needs a GUI application (fonts).
QImage draw(const DrawnText& text);

} // namespace quilvant::test
