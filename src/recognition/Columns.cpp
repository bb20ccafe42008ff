#include "recognition/Columns.h"

#include <algorithm>
#include <vector>

namespace quilvant::Columns {

namespace {

constexpr int kMinimumContrast = 40; // grey levels between ground and ink, as LineBands has it
// Shares of the widest column's ink width. Measured on drawn columns of Japanese and Chinese at 14 to 44 pixels in
// sans and serif faces: the text's own columns are 0.8–1 of the widest (a column of narrow kana alone is short),
// furigana beside them 0.4–0.5.
constexpr double kNarrowShare = 0.6;
// A character is at most this tall for its column's width: the runs of ink rows within one (三, 二, 小 have blank rows
// inside) join up to it.
constexpr double kCharacterHeight = 1.1;
// What makes a column, as shares of its width: the characters follow each other closely (gaps 0.05–0.2 in a column,
// a full-width punctuation mark's cell 0.5; lines of horizontal text seen as columns are 0.2 and more apart, so this
// and the gap between columns must agree), each about as wide as tall, the whole several characters long, and the
// columns clearly apart (0.3 and more in books and on the web; characters in a row of text, 0.05–0.15).
constexpr double kAlongGap = 0.3;
constexpr double kWidestCharacter = 1.6;
constexpr double kNarrowestCharacter = 0.45;
constexpr double kLongest = 1.8;
constexpr double kAcrossGap = 0.25;
// Columns stand further apart than the rows of characters across them, when the rows line up at all.
constexpr double kGapsRatio = 1.5;
// One column alone: the rows of ink across the image are its characters, about as wide as tall; a stack of short
// lines of horizontal text is wider than tall.
constexpr double kSquareRows = 1.4;
constexpr double kMarginShare = 0.25; // ground kept beside a column, as a share of its width
constexpr int kOneRow = 3;
// Blocks stand apart by this many lines' heights; characters in a column and lines of a paragraph stand closer.
constexpr double kBlockGap = 1.0;

struct Run
{
    int begin;
    int end; // exclusive
    int size() const { return end - begin; }
};

double median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The characters of the column `run` of `grey` as their cells' aspects (width / height) and the gaps between them,
// and the length of its ink.
struct Shape
{
    std::vector<double> aspects;
    std::vector<double> gaps;
    int length = 0;
};

Shape shapeOf(const QImage& grey, const Run& run, int threshold)
{
    struct Piece
    {
        int top, bottom, left, right; // bottom and right inclusive
    };
    std::vector<Piece> pieces;
    bool inPiece = false;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        int first = -1;
        int last = -1;
        for (int x = run.begin; x < run.end; ++x) {
            if (row[x] < threshold) {
                first = first < 0 ? x : first;
                last = x;
            }
        }
        if (first < 0) {
            inPiece = false;
            continue;
        }
        if (!inPiece) {
            pieces.push_back({y, y, first, last});
            inPiece = true;
        } else {
            Piece& piece = pieces.back();
            piece.bottom = y;
            piece.left = std::min(piece.left, first);
            piece.right = std::max(piece.right, last);
        }
    }
    Shape shape;
    if (pieces.empty()) {
        return shape;
    }
    shape.length = pieces.back().bottom - pieces.front().top + 1;
    const double tallest = kCharacterHeight * run.size();
    std::vector<Piece> cells;
    for (const Piece& piece : pieces) {
        if (!cells.empty() && piece.bottom - cells.back().top + 1 <= tallest) {
            Piece& cell = cells.back();
            cell.bottom = piece.bottom;
            cell.left = std::min(cell.left, piece.left);
            cell.right = std::max(cell.right, piece.right);
        } else {
            cells.push_back(piece);
        }
    }
    for (size_t i = 0; i < cells.size(); ++i) {
        shape.aspects.push_back(double(cells[i].right - cells[i].left + 1) / (cells[i].bottom - cells[i].top + 1));
        if (i > 0) {
            shape.gaps.push_back(double(cells[i].top - cells[i - 1].bottom - 1) / run.size());
        }
    }
    return shape;
}

} // namespace

QList<Column> findVertical(const QImage& grey, const QList<LineBands::Band>& rows)
{
    if (rows.isEmpty() || grey.width() < 3) {
        return {};
    }
    // One line much wider than tall is a row: most captures are, and pay nothing more. (Columns whose characters do
    // not line up across them make one band as tall as the columns are long.)
    if (rows.size() == 1 && kOneRow * rows.front().inkHeight < grey.width()) {
        return {};
    }
    const int width = grey.width();
    int darkest = 255;
    int lightest = 0;
    std::vector<int> inkInColumn(size_t(width), 0);
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        const auto [low, high] = std::minmax_element(row, row + width);
        darkest = std::min<int>(darkest, *low);
        lightest = std::max<int>(lightest, *high);
    }
    if (lightest - darkest < kMinimumContrast) {
        return {};
    }
    const int threshold = (darkest + lightest) / 2;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            inkInColumn[size_t(x)] += row[x] < threshold ? 1 : 0;
        }
    }
    std::vector<Run> runs;
    for (int x = 0; x < width; ++x) {
        if (inkInColumn[size_t(x)] == 0) {
            continue;
        }
        if (runs.empty() || runs.back().end != x) {
            runs.push_back({x, x + 1});
        } else {
            runs.back().end = x + 1;
        }
    }
    if (runs.empty()) {
        return {};
    }
    const int widest = std::max_element(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
                           return a.size() < b.size();
                       })->size();
    std::vector<Run> columns;
    std::copy_if(runs.begin(), runs.end(), std::back_inserter(columns),
                 [widest](const Run& run) { return run.size() >= kNarrowShare * widest; });

    std::vector<double> aspects;
    std::vector<double> alongGaps;
    std::vector<double> characters; // per column
    double longest = 0;
    for (const Run& column : columns) {
        const Shape shape = shapeOf(grey, column, threshold);
        aspects.insert(aspects.end(), shape.aspects.begin(), shape.aspects.end());
        alongGaps.insert(alongGaps.end(), shape.gaps.begin(), shape.gaps.end());
        characters.push_back(double(shape.aspects.size()));
        longest = std::max(longest, double(shape.length) / column.size());
    }
    // Most columns hold several characters: the letters of a line of Latin text, seen as columns, hold one each (an
    // accent or a dot over one makes two pieces, not two characters).
    const double aspect = median(aspects);
    if (longest < kLongest || median(characters) < 2 || alongGaps.empty() || median(alongGaps) > kAlongGap ||
        aspect > kWidestCharacter || aspect < kNarrowestCharacter) {
        return {};
    }
    if (columns.size() == 1) {
        std::vector<double> rowAspects;
        for (const LineBands::Band& band : rows) {
            rowAspects.push_back(double(columns.front().size()) / std::max(1, band.inkHeight));
        }
        if (median(rowAspects) > kSquareRows) {
            return {};
        }
    } else {
        std::vector<double> acrossGaps;
        for (size_t i = 1; i < columns.size(); ++i) {
            acrossGaps.push_back(double(columns[i].begin - columns[i - 1].end) / widest);
        }
        std::vector<double> rowGaps;
        for (qsizetype i = 1; i < rows.size(); ++i) {
            rowGaps.push_back(double(rows[i].inkTop - rows[i - 1].inkTop - rows[i - 1].inkHeight) / widest);
        }
        const double across = median(acrossGaps);
        if (across < kAcrossGap || (!rowGaps.empty() && across < kGapsRatio * median(rowGaps))) {
            return {};
        }
    }

    // Right to left, each with ground beside it up to halfway to the next ink, furigana included, so that no
    // column reads its neighbour's characters.
    QList<Column> result;
    for (auto column = columns.rbegin(); column != columns.rend(); ++column) {
        const auto at =
            std::find_if(runs.begin(), runs.end(), [&](const Run& run) { return run.begin == column->begin; });
        const int before = at == runs.begin() ? 0 : (std::prev(at)->end + column->begin) / 2;
        const int after = std::next(at) == runs.end() ? width : (column->end + std::next(at)->begin + 1) / 2;
        const int margin = std::max(2, int(kMarginShare * column->size()));
        const int left = std::max(before, column->begin - margin);
        const int right = std::min(after, column->end + margin);
        result.append({left, right - left, column->begin, column->size()});
    }
    return result;
}

QList<QRect> mixedBlocks(const QImage& grey, const QList<LineBands::Band>& rows)
{
    if (rows.size() < 3) {
        return {};
    }
    std::vector<double> heights;
    for (const LineBands::Band& band : rows) {
        heights.push_back(band.inkHeight);
    }
    const double typical = median(heights);
    QList<QRect> blocks;
    int top = 0;
    for (qsizetype i = 1; i <= rows.size(); ++i) {
        const LineBands::Band& above = rows[i - 1];
        const int aboveEnd = above.inkTop + above.inkHeight;
        if (i < rows.size() && rows[i].inkTop - aboveEnd < kBlockGap * typical) {
            continue;
        }
        const int bottom = i < rows.size() ? (aboveEnd + rows[i].inkTop) / 2 : grey.height();
        blocks.append(QRect(0, top, grey.width(), bottom - top));
        top = bottom;
    }
    if (blocks.size() < 2) {
        return {};
    }
    for (const QRect& block : blocks) {
        const QImage part = grey.copy(block);
        if (!findVertical(part, LineBands::find(part)).isEmpty()) {
            return blocks;
        }
    }
    return {};
}

} // namespace quilvant::Columns
