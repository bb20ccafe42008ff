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

constexpr int kSide = 24;           // shapes are compared on a kSide × kSide grid
constexpr double kMargin = 0.02;    // a correlation this much better wins the vote
constexpr double kMinimumFit = 0.2; // below this neither candidate looks like the image

using Shape = std::array<float, kSide * kSide>;

// The bounding box of the dark pixels of `image` (8-bit grey), or an empty rect when there are none.
QRect inkBox(const QImage& image)
{
    int darkest = 255;
    int lightest = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            darkest = std::min<int>(darkest, row[x]);
            lightest = std::max<int>(lightest, row[x]);
        }
    }
    if (lightest - darkest < 40) {
        return {};
    }
    const int threshold = (darkest + lightest) / 2;
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            if (row[x] < threshold) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// The ink of `image` scaled into the grid with its aspect kept, centred, lightly blurred so that two fonts'
// strokes of the same character overlap. Dark text on light ground is assumed; light text is inverted first.
std::optional<Shape> shapeOf(QImage image)
{
    if (image.isNull()) {
        return std::nullopt;
    }
    long sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            sum += row[x];
        }
    }
    if (sum < 128L * image.width() * image.height()) {
        image.invertPixels(); // light text on a dark ground
    }
    const QRect ink = inkBox(image);
    if (ink.isEmpty()) {
        return std::nullopt;
    }
    const QImage scaled = image.copy(ink).scaled(kSide - 2, kSide - 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage canvas(kSide, kSide, QImage::Format_Grayscale8);
    canvas.fill(255);
    {
        QPainter painter(&canvas);
        painter.drawImage((kSide - scaled.width()) / 2, (kSide - scaled.height()) / 2, scaled);
    }
    Shape raw{};
    for (int y = 0; y < kSide; ++y) {
        const uchar* row = canvas.constScanLine(y);
        for (int x = 0; x < kSide; ++x) {
            raw[y * kSide + x] = 1.0F - row[x] / 255.0F;
        }
    }
    Shape blurred{};
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            float total = 0;
            int count = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int yy = y + dy, xx = x + dx;
                    if (yy >= 0 && yy < kSide && xx >= 0 && xx < kSide) {
                        total += raw[yy * kSide + xx];
                        ++count;
                    }
                }
            }
            blurred[y * kSide + x] = total / count;
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
        shape = shapeOf(canvas);
    }
    cache.insert(text, shape);
    return shape;
}

// How well each drawn shape fits the image near `box`, the best over a horizontal search. The models place
// their symbol boxes up to half a character off the ink, so the box only says where to look: a square the
// height of the box slides across it and a character's width either side.
std::pair<double, double> bestFits(const QImage& grey, const QRect& box, const Shape& first, const Shape& second)
{
    const int side = std::max(box.height(), 4);
    const int step = std::max(1, side / 16);
    double bestFirst = -1;
    double bestSecond = -1;
    for (int x = box.left() - side; x <= box.right(); x += step) {
        const QRect window = QRect(x, box.top(), side, side).intersected(grey.rect());
        if (window.width() < side / 2) {
            continue;
        }
        const std::optional<Shape> seen = shapeOf(grey.copy(window));
        if (!seen) {
            continue;
        }
        bestFirst = std::max(bestFirst, correlation(*seen, first));
        bestSecond = std::max(bestSecond, correlation(*seen, second));
    }
    return {bestFirst, bestSecond};
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

} // namespace

bool isHan(char32_t c)
{
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0x20000 && c <= 0x3134F);
}

Choice judge(const QImage& image, const QList<Glyph>& simplified, const QList<Glyph>& traditional)
{
    if (!canDrawGlyphs()) {
        return Choice::Undecided;
    }
    const QImage grey =
        image.format() == QImage::Format_Grayscale8 ? image : image.convertToFormat(QImage::Format_Grayscale8);
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
            const auto [fitS, fitT] = bestFits(grey, s.box.united(t.box), *asSimplified, *asTraditional);
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
