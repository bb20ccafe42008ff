#pragma once

#include <QImage>
#include <QList>

// Finds the lines of text in a capture by their ink, before recognition. Tesseract's own page layout breaks
// large Chinese and Korean lines into fragments or loses them; a capture is nearly always one column of
// lines, which rows of ink separated by blank rows find reliably.
namespace quilvant::LineBands {

struct Band
{
    int top = 0;    // the line with some ground around it, across the whole width: Tesseract loses small lines
    int height = 0; // cut close at the sides
    int inkTop = 0; // the line's ink alone
    int inkHeight = 0;
    bool crowded = false; // much taller than the other lines: probably several lines touching
};

// Ink is whatever differs from the ground: `grey` (8-bit) is dark text on light ground after `normalized`.
// Light text on a dark ground is turned into dark on light.
QImage normalized(const QImage& grey);

// Turns the straight rules of a capture into ground: rows and columns inked across nearly all of the image, as
// the borders of a text field or table cell are. False when there were none. `grey` is normalized.
bool eraseRules(QImage& grey);

// find() on `grey`, or on `grey` with its rules erased when that separates lines a frame had joined or frees
// a line from its border; `grey` is then changed. A stroke that only looks like a rule (a tall character in a
// tight crop) separates nothing and stays.
QList<Band> findLines(QImage& grey);

// The lines of `grey` (already normalized), top to bottom, each with some ground around it. Empty when the
// image holds no ink.
QList<Band> find(const QImage& grey);

} // namespace quilvant::LineBands
