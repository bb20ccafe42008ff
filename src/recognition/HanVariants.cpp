#include "recognition/HanVariants.h"

#include "recognition/GlyphShapes.h"

#include <QVarLengthArray>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

namespace quilvant::HanVariants {

namespace {

constexpr double kMargin = 0.02;    // a correlation this much better wins the vote
constexpr double kMinimumFit = 0.2; // below this neither candidate looks like the image
// Measured on drawn lines: characters read right fit 0.77–0.99 at 44 pixels (a little less in serif fonts and
// small sizes), look-alikes of the other script 0.23–0.78, and every traditional line had several below 0.6.
constexpr double kPoorFit = 0.6;  // one character fitting worse was probably read as a look-alike
constexpr double kSureFit = 0.8;  // the mean fit of a line read right
constexpr double kClearFit = 0.9; // searching more finely cannot change the verdict

using GlyphShapes::Shape;

// How well each of `candidates` fits the image near `glyph`, the best over a horizontal search. The models'
// symbol boxes are often half a character off the ink and sometimes belong to the neighbouring punctuation,
// so the box only says where to look: a square the height of the line (the width of a column) slides from a
// character and a half before the box's centre to half a character after it, coarsely and then finely around the
// best place.
// With `enough`, only the coarse search runs, nearest the box first, and stops once every fit reaches `enough`:
// the fits are then lower bounds, which is all some questions need.
template <size_t N>
std::array<double, N> bestFits(const QImage& grey, const Glyph& glyph, const std::array<const Shape*, N>& candidates,
                               std::optional<double> enough = std::nullopt)
{
    std::array<Shape, N> wanted;
    for (size_t i = 0; i < N; ++i) {
        wanted[i] = GlyphShapes::normalized(*candidates[i]);
    }
    std::array<double, N> best;
    best.fill(-1);
    // Along the line: x in a row, y down a column; across it, the line's ink fixes the square.
    const int across = glyph.lineHeight > 0 ? glyph.lineTop : glyph.vertical ? glyph.box.left() : glyph.box.top();
    const int side = std::max(glyph.lineHeight > 0 ? glyph.lineHeight
                              : glyph.vertical     ? glyph.box.width()
                                                   : glyph.box.height(),
                              4);
    const int centre = glyph.vertical ? glyph.box.center().y() : glyph.box.center().x();
    const auto tryAt = [&](int x) {
        const QRect square = glyph.vertical ? QRect(across, x, side, side) : QRect(x, across, side, side);
        const std::optional<Shape> seen = GlyphShapes::of(grey, square);
        double sum = 0;
        if (seen) {
            const Shape window = GlyphShapes::normalized(*seen);
            for (size_t i = 0; i < N; ++i) {
                const double fit = GlyphShapes::dot(window, wanted[i]);
                best[i] = std::max(best[i], fit);
                sum += fit;
            }
        }
        return sum;
    };
    const int coarse = std::max(1, side / 6);
    QVarLengthArray<int, 32> steps;
    for (int x = centre - 2 * side; x <= centre; x += coarse) {
        steps.append(x);
    }
    if (enough) {
        const int boxed = centre - side / 2;
        std::stable_sort(steps.begin(), steps.end(),
                         [boxed](int a, int b) { return std::abs(a - boxed) < std::abs(b - boxed); });
    }
    int bestX = centre - side / 2;
    double bestSum = -1e9;
    for (const int x : steps) {
        if (const double sum = tryAt(x); sum > bestSum) {
            bestSum = sum;
            bestX = x;
        }
        if (enough && *std::min_element(best.begin(), best.end()) >= *enough) {
            break;
        }
    }
    // A clear fit needs no refinement; only close calls do.
    if (enough || *std::min_element(best.begin(), best.end()) >= kClearFit) {
        return best;
    }
    const int fine = std::max(1, side / 24);
    for (int x = bestX - coarse; x <= bestX + coarse; x += fine) {
        tryAt(x);
    }
    return best;
}

bool isSingleHan(const QString& text)
{
    const QList<uint> points = text.toUcs4();
    return points.size() == 1 && isHan(points.first());
}

double overlap(const QRect& a, const QRect& b)
{
    const QRect common = a.intersected(b);
    if (common.isEmpty()) {
        return 0;
    }
    const double shared = double(common.width()) * common.height();
    const double total = double(a.width()) * a.height() + double(b.width()) * b.height() - shared;
    return total <= 0 ? 0 : shared / total;
}

QImage greyOf(const QImage& image)
{
    return image.format() == QImage::Format_Grayscale8 ? image : image.convertToFormat(QImage::Format_Grayscale8);
}

} // namespace

bool isHan(char32_t c)
{
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0x20000 && c <= 0x3134F);
}

bool fitsTheImage(const QImage& image, const QList<Glyph>& reading)
{
    if (!GlyphShapes::canDraw()) {
        return false;
    }
    const QImage grey = greyOf(image);
    struct Character
    {
        const Glyph* glyph;
        Shape drawn;
    };
    QList<Character> characters;
    for (const Glyph& glyph : reading) {
        if (!isSingleHan(glyph.text)) {
            continue;
        }
        const std::optional<Shape> drawn = GlyphShapes::drawn(glyph.text);
        if (!drawn) {
            return false;
        }
        characters.append({&glyph, *drawn});
    }
    if (characters.isEmpty()) {
        return true;
    }
    const auto passes = [&](std::optional<double> enough) {
        double total = 0;
        for (const Character& character : characters) {
            const double fit = bestFits<1>(grey, *character.glyph, {&character.drawn}, enough)[0];
            if (fit < kPoorFit) {
                return false;
            }
            total += fit;
        }
        return total / double(characters.size()) >= kSureFit;
    };
    // Lower bounds that pass settle it (a line read right); only a line they cannot pass is searched in full.
    return passes(kClearFit) || passes(std::nullopt);
}

Choice judge(const QImage& image, const QList<Glyph>& simplified, const QList<Glyph>& traditional)
{
    if (!GlyphShapes::canDraw()) {
        return Choice::Undecided;
    }
    const QImage grey = greyOf(image);
    int simplifiedVotes = 0;
    int traditionalVotes = 0;
    for (const Glyph& s : simplified) {
        if (!isSingleHan(s.text)) {
            continue;
        }
        for (const Glyph& t : traditional) {
            if (t.text == s.text || !isSingleHan(t.text) || overlap(s.box, t.box) < 0.5) {
                continue;
            }
            const std::optional<Shape> asSimplified = GlyphShapes::drawn(s.text);
            const std::optional<Shape> asTraditional = GlyphShapes::drawn(t.text);
            if (!asSimplified || !asTraditional) {
                break;
            }
            const auto [fitS, fitT] = bestFits<2>(grey, s, {&*asSimplified, &*asTraditional});
            if (std::max(fitS, fitT) < kMinimumFit) {
                break;
            }
            if (fitS > fitT + kMargin) {
                ++simplifiedVotes;
            } else if (fitT > fitS + kMargin) {
                ++traditionalVotes;
            }
            break;
        }
    }
    if (simplifiedVotes > traditionalVotes) {
        return Choice::Simplified;
    }
    if (traditionalVotes > simplifiedVotes) {
        return Choice::Traditional;
    }
    return Choice::Undecided;
}

} // namespace quilvant::HanVariants
