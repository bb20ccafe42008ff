#include "recognition/LineBands.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace quilvant::LineBands {

namespace {

constexpr int kMinimumContrast = 40;    // grey levels between ground and ink; less is a blank image
constexpr double kFragmentShare = 0.35; // a band this much lower than the median is an accent or dot row
constexpr double kCrowdedShare = 1.7;   // a band this much taller than the median holds several lines
constexpr double kMarginShare = 0.25;   // ground kept above and below a line, as a share of its height
constexpr double kRuleShare = 0.9;      // a row or column inked across this much of the image is a rule
constexpr double kRuleGain = 0.75;      // erasing rules must free lines from at least this much of their height

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
    const int width = grey.width();
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        sum = std::accumulate(row, row + width, sum);
    }
    const long long pixels = static_cast<long long>(grey.width()) * grey.height();
    if (pixels == 0 || sum >= 128 * pixels) {
        return grey;
    }
    QImage inverted = grey;
    inverted.invertPixels(); // dark mode: the models read dark text on light ground
    return inverted;
}

bool eraseRules(QImage& grey)
{
    const int width = grey.width();
    const int height = grey.height();
    if (width < 8 || height < 8) {
        return false;
    }
    int darkest = 255;
    int lightest = 0;
    for (int y = 0; y < height; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            darkest = std::min<int>(darkest, row[x]);
            lightest = std::max<int>(lightest, row[x]);
        }
    }
    if (lightest - darkest < kMinimumContrast) {
        return false;
    }
    const int threshold = (darkest + lightest) / 2;
    bool erased = false;
    std::vector<int> inkInColumn(static_cast<size_t>(width), 0);
    std::vector<int> ruleRows;
    for (int y = 0; y < height; ++y) {
        const uchar* row = grey.constScanLine(y);
        int inkInRow = 0;
        for (int x = 0; x < width; ++x) {
            if (row[x] < threshold) {
                ++inkInRow;
                ++inkInColumn[static_cast<size_t>(x)];
            }
        }
        if (inkInRow >= kRuleShare * width) {
            ruleRows.push_back(y);
        }
    }
    for (const int y : ruleRows) {
        std::fill_n(grey.scanLine(y), width, uchar(lightest));
        erased = true;
    }
    for (int x = 0; x < width; ++x) {
        if (inkInColumn[static_cast<size_t>(x)] >= kRuleShare * height) {
            for (int y = 0; y < height; ++y) {
                grey.scanLine(y)[x] = uchar(lightest);
            }
            erased = true;
        }
    }
    return erased;
}

QList<Band> findLines(QImage& grey)
{
    QList<Band> bands = find(grey);
    QImage unruled = grey;
    if (!eraseRules(unruled)) {
        return bands;
    }
    const QList<Band> unruledBands = find(unruled);
    const auto inkRows = [](const QList<Band>& list) {
        int rows = 0;
        for (const Band& band : list) {
            rows += band.inkHeight;
        }
        return rows;
    };
    if (unruledBands.isEmpty()) {
        return bands; // nothing but rules: leave them to the recogniser rather than report a blank image
    }
    if (unruledBands.size() > bands.size() || inkRows(unruledBands) < kRuleGain * inkRows(bands)) {
        grey = unruled;
        return unruledBands;
    }
    return bands;
}

QList<Band> find(const QImage& grey)
{
    int darkest = 255;
    int lightest = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        const auto [low, high] = std::minmax_element(row, row + grey.width());
        darkest = std::min<int>(darkest, *low);
        lightest = std::max<int>(lightest, *high);
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
    // not the tallest, which may be several lines run together; but at least half the tallest, since thin rows
    // may be the majority (rules above and below a single line).
    for (;;) {
        const int tallest = std::max_element(bands.begin(), bands.end(), [](const Range& a, const Range& b) {
                                return a.height() < b.height();
                            })->height();
        const int typical = std::max(medianHeight(), tallest / 2);
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
