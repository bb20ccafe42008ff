#include "recognition/GlyphShapes.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>

namespace quilvant::GlyphShapes {

namespace {

constexpr int kInner = kSide - 2;         // the ink fills this much of the grid
constexpr int kMinimumContrast = 40;      // grey levels; less is no ink
constexpr qsizetype kCachedShapes = 1024; // drawn characters kept per thread
constexpr int kCell = 96;                 // the square each character is drawn in, at 64 pixels

QFont referenceFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK TC"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Source Han Sans SC"),
                      QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback")});
    font.setPixelSize(64);
    return font;
}

} // namespace

std::optional<Shape> of(const QImage& grey, const QRect& window)
{
    const QRect area = window.intersected(grey.rect());
    if (area.isEmpty()) {
        return std::nullopt;
    }
    // Works on the pixels in place, each pass as light as it can be: this runs for every step of every search.
    const int width = area.width();
    int darkest = 255;
    int lightest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* row = grey.constScanLine(y) + area.left();
        const auto [low, high] = std::minmax_element(row, row + width);
        darkest = std::min<int>(darkest, *low);
        lightest = std::max<int>(lightest, *high);
    }
    if (lightest - darkest < kMinimumContrast) {
        return std::nullopt;
    }
    const int threshold = (darkest + lightest) / 2;
    const auto isInk = [threshold](uchar v) { return v < threshold; };
    int left = width, top = area.bottom() + 1, right = -1, bottom = -1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* row = grey.constScanLine(y) + area.left();
        const uchar* first = std::find_if(row, row + width, isInk);
        if (first == row + width) {
            continue;
        }
        const auto last =
            std::find_if(std::make_reverse_iterator(row + width), std::make_reverse_iterator(first + 1), isInk);
        left = std::min(left, int(first - row));
        right = std::max(right, int(last.base() - 1 - row));
        top = std::min(top, y);
        bottom = y;
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
    QVarLengthArray<int, 256> column(inkWidth);
    for (int x = 0; x < inkWidth; ++x) {
        column[x] = std::clamp(int(offsetX + (x + 0.5) * scale), 0, kSide - 1);
    }
    std::array<int, kSide * kSide> total{};
    std::array<int, kSide * kSide> count{};
    for (int y = top; y <= bottom; ++y) {
        const uchar* row = grey.constScanLine(y) + area.left() + left;
        const int cy = std::clamp(int(offsetY + (y - top + 0.5) * scale), 0, kSide - 1);
        int* totalRow = total.data() + cy * kSide;
        int* countRow = count.data() + cy * kSide;
        for (int x = 0; x < inkWidth; ++x) {
            totalRow[column[x]] += 255 - row[x];
            ++countRow[column[x]];
        }
    }
    Shape raw{};
    for (int i = 0; i < kSide * kSide; ++i) {
        raw[i] = count[i] > 0 ? float(total[i]) / (255.0F * float(count[i])) : 0.0F;
    }
    // Cells between sampled pixels (enlarged small glyphs) take their neighbours' ink through the blur: the mean of
    // the 3 × 3 cells around each, those inside the grid, taken as a row pass and a column pass.
    const auto neighbours = [](int i) { return (i > 0 ? 1 : 0) + 1 + (i + 1 < kSide ? 1 : 0); };
    Shape across{};
    for (int y = 0; y < kSide; ++y) {
        const float* in = raw.data() + y * kSide;
        for (int x = 0; x < kSide; ++x) {
            across[y * kSide + x] = (x > 0 ? in[x - 1] : 0.0F) + in[x] + (x + 1 < kSide ? in[x + 1] : 0.0F);
        }
    }
    Shape blurred{};
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const float sum = (y > 0 ? across[(y - 1) * kSide + x] : 0.0F) + across[y * kSide + x] +
                              (y + 1 < kSide ? across[(y + 1) * kSide + x] : 0.0F);
            blurred[y * kSide + x] = sum / float(neighbours(x) * neighbours(y));
        }
    }
    return blurred;
}

Shape normalized(const Shape& shape)
{
    double mean = 0;
    for (const float value : shape) {
        mean += value;
    }
    mean /= kSide * kSide;
    double length = 0;
    for (const float value : shape) {
        length += (value - mean) * (value - mean);
    }
    Shape result{};
    if (length <= 0) {
        return result;
    }
    const double scale = 1.0 / std::sqrt(length);
    for (int i = 0; i < kSide * kSide; ++i) {
        result[i] = float((shape[i] - mean) * scale);
    }
    return result;
}

double dot(const Shape& a, const Shape& b)
{
    float sum = 0;
#pragma omp simd reduction(+ : sum)
    for (int i = 0; i < kSide * kSide; ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

bool canDraw()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

std::optional<Shape> drawn(const QString& text)
{
    if (!canDraw() || text.isEmpty()) {
        return std::nullopt;
    }
    thread_local QHash<QString, std::optional<Shape>> cache;
    const auto found = cache.constFind(text);
    if (found != cache.constEnd()) {
        return *found;
    }
    const char32_t first = text.toUcs4().value(0);
    const QList<Shape> shapes = drawnEach(QString::fromUcs4(&first, 1));
    const std::optional<Shape> shape = shapes.isEmpty() ? std::nullopt : std::optional<Shape>(shapes.first());
    if (cache.size() >= kCachedShapes) {
        cache.clear(); // a long session reads thousands of characters; a few kilobytes each add up
    }
    cache.insert(text, shape);
    return shape;
}

QList<Shape> drawnEach(const QString& characters)
{
    QList<Shape> shapes;
    if (!canDraw()) {
        return shapes;
    }
    const QFont font = referenceFont();
    const QFontMetrics metrics(font);
    QList<uint> points = characters.toUcs4();
    points.removeIf([&metrics](uint c) { return !metrics.inFontUcs4(c); });
    if (points.isEmpty()) {
        return shapes;
    }
    // One canvas and one painter for all: setting up a painter costs more than drawing a character.
    QImage canvas(kCell * int(points.size()), kCell, QImage::Format_Grayscale8);
    canvas.fill(255);
    {
        QPainter painter(&canvas);
        painter.setFont(font);
        painter.setPen(Qt::black);
        for (qsizetype i = 0; i < points.size(); ++i) {
            const char32_t c = points[i];
            painter.drawText(QRect(kCell * int(i), 0, kCell, kCell), Qt::AlignCenter, QString::fromUcs4(&c, 1));
        }
    }
    for (qsizetype i = 0; i < points.size(); ++i) {
        if (const std::optional<Shape> shape = of(canvas, QRect(kCell * int(i), 0, kCell, kCell))) {
            shapes.append(*shape);
        }
    }
    return shapes;
}

} // namespace quilvant::GlyphShapes
