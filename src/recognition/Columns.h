#pragma once

#include "recognition/LineBands.h"

#include <QImage>
#include <QList>
#include <QRect>

// Tells text set in vertical columns (Japanese and Chinese books, comics, signs) from text set in rows, by the layout
// of the ink alone, before any model reads it. Columns are told by what rows of characters lack: in a column the
// characters follow each other closely and each fills the column's width, while the columns stand clearly apart;
// in rows of text it is the other way round. A capture that is not clearly columns is rows: horizontal text never
// pays for a misjudged vertical read.
namespace quilvant::Columns {

struct Column
{
    int left = 0;  // the column with some ground around it, down the whole height
    int width = 0; // cut close at the top and bottom
    int inkLeft = 0;
    int inkWidth = 0;
};

// The columns of `grey` (normalized, dark on light), right to left as they are read, when its ink is set in vertical
// columns; empty when it is set in rows (or is blank). `rows` are its lines as LineBands::find() gives them. Narrow
// columns beside the text's own (furigana, the readings printed beside the characters they gloss) are left out. One
// pass over the image and one over each column's share of it.
QList<Column> findVertical(const QImage& grey, const QList<LineBands::Band>& rows);

// The blocks of `grey` (full-width areas, top to bottom) when it holds columns and rows apart from each other, as a
// heading above a block of columns or a caption below it has them; empty when it is all one or the other, or
// findVertical() already found columns in the whole. Blocks are told apart by a gap of at least a line's height.
QList<QRect> mixedBlocks(const QImage& grey, const QList<LineBands::Band>& rows);

} // namespace quilvant::Columns
