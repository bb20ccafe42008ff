#include "capture/HanVariants.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <array>
#include <cmath>
#include <optional>

namespace quilvant::HanVariants {

namespace {

constexpr int kSide = 24;            // shapes are compared on a kSide × kSide grid
constexpr int kInner = kSide - 2;    // the ink fills this much of it
constexpr int kMinimumContrast = 40; // grey levels; less is no ink
constexpr double kMargin = 0.02;     // a correlation this much better wins the vote
constexpr double kMinimumFit = 0.2;  // below this neither candidate looks like the image
// Measured on drawn lines: characters read right fit 0.77–0.99 at 44 pixels (a little less in serif fonts and
// small sizes), look-alikes of the other script 0.23–0.78, and every traditional line had several below 0.6.
constexpr double kPoorFit = 0.6;  // one character fitting worse was probably read as a look-alike
constexpr double kSureFit = 0.8;  // the mean fit of a line read right
constexpr double kClearFit = 0.9; // searching more finely cannot change the verdict

using Shape = std::array<float, kSide * kSide>;
constexpr qsizetype kCachedShapes = 1024; // drawn characters kept per thread

// The ink of `window` in `grey` (dark on light), scaled into the grid with its aspect kept, centred, and
// lightly blurred so that two fonts' strokes of the same character overlap. Works on the pixels in place:
// this runs for every step of every search.
std::optional<Shape> shapeOf(const QImage& grey, const QRect& window)
{
    const QRect area = window.intersected(grey.rect());
    if (area.isEmpty()) {
        return std::nullopt;
    }
    int darkest = 255;
    int lightest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = area.left(); x <= area.right(); ++x) {
            darkest = std::min<int>(darkest, row[x]);
            lightest = std::max<int>(lightest, row[x]);
        }
    }
    if (lightest - darkest < kMinimumContrast) {
        return std::nullopt;
    }
    const int threshold = (darkest + lightest) / 2;
    int left = area.right() + 1, top = area.bottom() + 1, right = -1, bottom = -1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = area.left(); x <= area.right(); ++x) {
            if (row[x] < threshold) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    if (right < 0) {
        return std::nullopt;
    }
    const int inkWidth = right - left + 1;
    const int inkHeight = bottom - top + 1;
    const double scale = double(kInner) / std::max(inkWidth, inkHeight);
    const double offsetX = (kSide - inkWidth * scale) / 2;
    const double offsetY = (kSide - inkHeight * scale) / 2;

    // Each grid cell takes the mean ink of the pixels that fall in it.
    std::array<float, kSide * kSide> total{};
    std::array<int, kSide * kSide> count{};
    for (int y = top; y <= bottom; ++y) {
        const uchar* row = grey.constScanLine(y);
        const int cy = std::clamp(int(offsetY + (y - top + 0.5) * scale), 0, kSide - 1);
        for (int x = left; x <= right; ++x) {
            const int cx = std::clamp(int(offsetX + (x - left + 0.5) * scale), 0, kSide - 1);
            total[cy * kSide + cx] += 1.0F - float(row[x]) / 255.0F;
            ++count[cy * kSide + cx];
        }
    }
    Shape raw{};
    for (int i = 0; i < kSide * kSide; ++i) {
        raw[i] = count[i] > 0 ? total[i] / float(count[i]) : 0.0F;
    }
    // Cells between sampled pixels (enlarged small glyphs) take their neighbours' ink through the blur.
    Shape blurred{};
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            float sum = 0;
            int cells = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int yy = y + dy, xx = x + dx;
                    if (yy >= 0 && yy < kSide && xx >= 0 && xx < kSide) {
                        sum += raw[yy * kSide + xx];
                        ++cells;
                    }
                }
            }
            blurred[y * kSide + x] = sum / float(cells);
        }
    }
    return blurred;
}

double correlation(const Shape& a, const Shape& b)
{
    double meanA = 0, meanB = 0;
    for (int i = 0; i < kSide * kSide; ++i) {
        meanA += a[i];
        meanB += b[i];
    }
    meanA /= kSide * kSide;
    meanB /= kSide * kSide;
    double cross = 0, varA = 0, varB = 0;
    for (int i = 0; i < kSide * kSide; ++i) {
        cross += (a[i] - meanA) * (b[i] - meanB);
        varA += (a[i] - meanA) * (a[i] - meanA);
        varB += (b[i] - meanB) * (b[i] - meanB);
    }
    return varA <= 0 || varB <= 0 ? 0.0 : cross / std::sqrt(varA * varB);
}

bool canDrawGlyphs()
{
    // Qt 6 draws text on images in any thread, once a GUI application has set up the fonts.
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QFont referenceFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK TC"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Source Han Sans SC"),
                      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback")});
    font.setPixelSize(64);
    return font;
}

// The shape of `text` drawn in the reference font; nullopt when the font has no glyph for it. Shapes are kept
// per thread: drawing is the costly part and the same characters come back.
std::optional<Shape> drawnShape(const QString& text)
{
    thread_local QHash<QString, std::optional<Shape>> cache;
    const auto found = cache.constFind(text);
    if (found != cache.constEnd()) {
        return *found;
    }
    std::optional<Shape> shape;
    const QFont font = referenceFont();
    const QFontMetrics metrics(font);
    if (metrics.inFontUcs4(text.toUcs4().value(0))) {
        QImage canvas(96, 96, QImage::Format_Grayscale8);
        canvas.fill(255);
        {
            QPainter painter(&canvas);
            painter.setFont(font);
            painter.setPen(Qt::black);
            painter.drawText(canvas.rect(), Qt::AlignCenter, text);
        }
        shape = shapeOf(canvas, canvas.rect());
    }
    if (cache.size() >= kCachedShapes) {
        cache.clear(); // a long session reads thousands of characters; a few kilobytes each add up
    }
    cache.insert(text, shape);
    return shape;
}

// How well each of `candidates` fits the image near `glyph`, the best over a horizontal search. The models'
// symbol boxes are often half a character off the ink and sometimes belong to the neighbouring punctuation,
// so the box only says where to look: a square the height of the line slides from a character and a half
// before the box's centre to half a character after it, coarsely and then finely around the best place.
template <size_t N>
std::array<double, N> bestFits(const QImage& grey, const Glyph& glyph, const std::array<const Shape*, N>& candidates)
{
    std::array<double, N> best;
    best.fill(-1);
    const int top = glyph.lineHeight > 0 ? glyph.lineTop : glyph.box.top();
    const int side = std::max(glyph.lineHeight > 0 ? glyph.lineHeight : glyph.box.height(), 4);
    const int centre = glyph.box.center().x();
    const auto tryAt = [&](int x) {
        const std::optional<Shape> seen = shapeOf(grey, QRect(x, top, side, side));
        double sum = 0;
        if (seen) {
            for (size_t i = 0; i < N; ++i) {
                const double fit = correlation(*seen, *candidates[i]);
                best[i] = std::max(best[i], fit);
                sum += fit;
            }
        }
        return sum;
    };
    const int coarse = std::max(1, side / 6);
    int bestX = centre - side / 2;
    double bestSum = -1e9;
    for (int x = centre - 2 * side; x <= centre; x += coarse) {
        if (const double sum = tryAt(x); sum > bestSum) {
            bestSum = sum;
            bestX = x;
        }
    }
    // A clear fit needs no refinement; only close calls do.
    if (*std::min_element(best.begin(), best.end()) >= kClearFit) {
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
    if (!canDrawGlyphs()) {
        return false;
    }
    const QImage grey = greyOf(image);
    double total = 0;
    int characters = 0;
    for (const Glyph& glyph : reading) {
        if (!isSingleHan(glyph.text)) {
            continue;
        }
        const std::optional<Shape> drawn = drawnShape(glyph.text);
        if (!drawn) {
            return false;
        }
        const double fit = bestFits<1>(grey, glyph, {&*drawn})[0];
        if (fit < kPoorFit) {
            return false;
        }
        total += fit;
        ++characters;
    }
    return characters == 0 || total / characters >= kSureFit;
}

Choice judge(const QImage& image, const QList<Glyph>& simplified, const QList<Glyph>& traditional)
{
    if (!canDrawGlyphs()) {
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
            const std::optional<Shape> asSimplified = drawnShape(s.text);
            const std::optional<Shape> asTraditional = drawnShape(t.text);
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
