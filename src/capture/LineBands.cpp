#include "capture/LineBands.h"

#include <algorithm>
#include <vector>

namespace quilvant::LineBands {

namespace {

constexpr int kMinimumContrast = 40;    // grey levels between ground and ink; less is a blank image
constexpr double kFragmentShare = 0.35; // a band this much lower than the median is an accent or dot row
constexpr double kCrowdedShare = 1.7;   // a band this much taller than the median holds several lines
constexpr double kMarginShare = 0.25;   // ground kept above and below a line, as a share of its height

struct Range
{
    int top;
    int bottom; // exclusive
    int height() const { return bottom - top; }
};

} // namespace

QImage normalized(const QImage& grey)
{
    long long sum = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            sum += row[x];
        }
    }
    const long long pixels = static_cast<long long>(grey.width()) * grey.height();
    if (pixels == 0 || sum >= 128 * pixels) {
        return grey;
    }
    QImage inverted = grey;
    inverted.invertPixels(); // dark mode: the models read dark text on light ground
    return inverted;
}

QList<Band> find(const QImage& grey)
{
    int darkest = 255;
    int lightest = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            darkest = std::min<int>(darkest, row[x]);
            lightest = std::max<int>(lightest, row[x]);
        }
    }
    if (lightest - darkest < kMinimumContrast) {
        return {};
    }
    const int threshold = (darkest + lightest) / 2;

    std::vector<Range> bands;
    int start = -1;
    for (int y = 0; y <= grey.height(); ++y) {
        bool ink = false;
        if (y < grey.height()) {
            const uchar* row = grey.constScanLine(y);
            ink = std::any_of(row, row + grey.width(), [threshold](uchar v) { return v < threshold; });
        }
        if (ink && start < 0) {
            start = y;
        } else if (!ink && start >= 0) {
            bands.push_back({start, y});
            start = -1;
        }
    }
    if (bands.empty()) {
        return {};
    }

    const auto medianHeight = [&bands] {
        std::vector<int> heights;
        for (const Range& r : bands) {
            heights.push_back(r.height());
        }
        std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
        return heights[heights.size() / 2];
    };

    // Accents over capitals, dots and underlines form thin rows of their own: join each to its nearer
    // neighbour, repeatedly, until every band is a line's height. Thin is measured against the median line,
    // not the tallest, which may be several lines run together.
    for (;;) {
        const int typical = medianHeight();
        auto thin = std::find_if(bands.begin(), bands.end(),
                                 [typical](const Range& r) { return r.height() < kFragmentShare * typical; });
        if (thin == bands.end() || bands.size() == 1) {
            break;
        }
        const auto index = static_cast<size_t>(thin - bands.begin());
        const int gapAbove = index > 0 ? thin->top - bands[index - 1].bottom : -1;
        const int gapBelow = index + 1 < bands.size() ? bands[index + 1].top - thin->bottom : -1;
        if (gapBelow < 0 || (gapAbove >= 0 && gapAbove <= gapBelow)) {
            bands[index - 1].bottom = thin->bottom;
        } else {
            bands[index + 1].top = thin->top;
        }
        bands.erase(thin);
    }
    const int median = medianHeight();

    QList<Band> result;
    for (size_t i = 0; i < bands.size(); ++i) {
        const int margin = std::max(2, static_cast<int>(kMarginShare * bands[i].height()));
        // The margin stops halfway to the neighbouring lines, so no line is read twice.
        const int ceiling = i > 0 ? (bands[i - 1].bottom + bands[i].top) / 2 : 0;
        const int floor = i + 1 < bands.size() ? (bands[i].bottom + bands[i + 1].top + 1) / 2 : grey.height();
        const int top = std::max(ceiling, bands[i].top - margin);
        const int bottom = std::min(floor, bands[i].bottom + margin);
        result.append({top, bottom - top, bands[i].top, bands[i].height(),
                       bands.size() > 1 && bands[i].height() > kCrowdedShare * median});
    }
    return result;
}

} // namespace quilvant::LineBands
