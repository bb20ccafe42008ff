#include "recognition/Scripts.h"

#include "recognition/GlyphShapes.h"

#include <algorithm>
#include <vector>

namespace quilvant::Scripts {

namespace {

using GlyphShapes::Shape;

// Measured on drawn lines in sans and serif fonts at 16 to 44 pixels: lower-case Latin puts 0.69–0.95 of its ink
// in the densest half of the line's height, CJK 0.51–0.68; capitals and digits fill the line as CJK does.
constexpr double kLatinConcentration = 0.69;
// Common kana and Hangul syllables that correlate at most 0.6 with every one of ~400 common Han characters, Latin
// letters and digits drawn the same way; the others (し, ロ, カ, 고, 을, …) look too much like one of them.
const char kKana[] = "のにはをがたいるとでなかんもうけあイアラシツフケルン";
const char kHangul[] = "이다는의하가지서기사어자대아시세정인일해있것게나전상거성경만면";
// A window of the line matches a character at this correlation. Measured on 1,170 drawn lines (up to 17 sentences
// per script, five CJK fonts, 14 to 44 pixels): none of 510 Chinese lines was taken for Japanese or Korean; four in
// five Japanese and Korean lines in sans fonts were found (the rest hold none of these characters, or are tiny),
// over a third in serif fonts.
constexpr double kMatch = 0.75;
constexpr int kMatchesNeeded = 2;  // one match may be a chance; lines of one or two characters need only one
constexpr int kCellsToSearch = 16; // characters' worth of line searched at most
constexpr int kSmallestLine = 10;  // pixels of ink height: smaller characters blur into each other
// A run of ink starting this far (in line heights) into a character belongs to the next one.
constexpr double kNextCharacter = 0.7;

// Common characters that traditional and simplified Chinese write differently, in pairs: each traditional character,
// then its simplified form.
const char kHanPairs[] = "們们這这個个來来說说時时會会為为國国學学對对發发現现開开關关後后點点從从過过還还麼么"
                         "樣样經经與与無无實实當当體体長长問问間间東东門门見见話话電电請请選选譯译區区設设"
                         "認认識识讀读書书題题網网頭头動动機机業业報报變变連连線线檔档載载";
// A window decides for one script when its best match in that script is this much closer than in the other.
constexpr double kFormMargin = 0.05;
constexpr int kFormVotes = 2; // votes for one script and none for the other settle the guess

struct Templates
{
    std::vector<Shape> kana;
    std::vector<Shape> hangul;
};

std::vector<Shape> normalizedShapes(const char* characters)
{
    std::vector<Shape> shapes;
    for (const Shape& shape : GlyphShapes::drawnEach(QString::fromUtf8(characters))) {
        shapes.push_back(GlyphShapes::normalized(shape));
    }
    return shapes;
}

const Templates& templates()
{
    thread_local const Templates drawn{normalizedShapes(kKana), normalizedShapes(kHangul)};
    return drawn;
}

double bestMatch(const Shape& window, const std::vector<Shape>& characters)
{
    double best = -1;
    for (const Shape& character : characters) {
        best = std::max(best, GlyphShapes::dot(window, character));
    }
    return best;
}

struct HanTemplates
{
    std::vector<Shape> traditional;
    std::vector<Shape> simplified;
};

const HanTemplates& hanTemplates()
{
    thread_local const HanTemplates drawn = [] {
        HanTemplates pairs;
        const QString characters = QString::fromUtf8(kHanPairs);
        const QList<Shape> shapes = GlyphShapes::drawnEach(characters);
        if (shapes.size() != characters.toUcs4().size()) {
            return pairs; // a font that lacks some of them would pair the wrong ones
        }
        for (qsizetype i = 0; i + 1 < shapes.size(); i += 2) {
            pairs.traditional.push_back(GlyphShapes::normalized(shapes[i]));
            pairs.simplified.push_back(GlyphShapes::normalized(shapes[i + 1]));
        }
        return pairs;
    }();
    return drawn;
}

HanForm formOf(const std::vector<Shape>& windows)
{
    const HanTemplates& pairs = hanTemplates();
    if (pairs.traditional.empty()) {
        return HanForm::Unknown;
    }
    int traditional = 0;
    int simplified = 0;
    for (const Shape& window : windows) {
        const double asTraditional = bestMatch(window, pairs.traditional);
        const double asSimplified = bestMatch(window, pairs.simplified);
        if (std::max(asTraditional, asSimplified) < kMatch) {
            continue;
        }
        if (asTraditional > asSimplified + kFormMargin) {
            ++traditional;
        } else if (asSimplified > asTraditional + kFormMargin) {
            ++simplified;
        }
        if (std::min(traditional, simplified) == 0 && std::max(traditional, simplified) >= kFormVotes) {
            break; // the rest would not change the guess, only cost
        }
    }
    return traditional > simplified   ? HanForm::Traditional
           : simplified > traditional ? HanForm::Simplified
                                      : HanForm::Unknown;
}

int darkestToLightestMiddle(const QImage& grey, const QList<LineBands::Band>& bands)
{
    int darkest = 255;
    int lightest = 0;
    for (const LineBands::Band& band : bands) {
        for (int y = band.inkTop; y < band.inkTop + band.inkHeight; ++y) {
            const uchar* row = grey.constScanLine(y);
            const auto [low, high] = std::minmax_element(row, row + grey.width());
            darkest = std::min<int>(darkest, *low);
            lightest = std::max<int>(lightest, *high);
        }
    }
    return (darkest + lightest) / 2;
}

// The share of the ink that lies in the densest run of rows half a line high, over all lines.
double inkConcentration(const QImage& grey, const QList<LineBands::Band>& bands, int threshold)
{
    long long inDensestHalf = 0;
    long long total = 0;
    for (const LineBands::Band& band : bands) {
        std::vector<long long> rows(size_t(band.inkHeight), 0);
        for (int i = 0; i < band.inkHeight; ++i) {
            const uchar* row = grey.constScanLine(band.inkTop + i);
            rows[size_t(i)] = std::count_if(row, row + grey.width(), [threshold](uchar v) { return v < threshold; });
            total += rows[size_t(i)];
        }
        const int half = std::max(1, band.inkHeight / 2);
        long long window = 0;
        long long best = 0;
        for (int i = 0; i < band.inkHeight; ++i) {
            window += rows[size_t(i)] - (i >= half ? rows[size_t(i - half)] : 0);
            best = std::max(best, window);
        }
        inDensestHalf += best;
    }
    return total > 0 ? double(inDensestHalf) / double(total) : 0;
}

} // namespace

bool looksLatin(const QImage& grey, const QList<LineBands::Band>& bands)
{
    return inkConcentration(grey, bands, darkestToLightestMiddle(grey, bands)) >= kLatinConcentration;
}

Script amongCjk(const QImage& grey, const QList<LineBands::Band>& bands)
{
    return guessCjk(grey, bands).script;
}

// Compares the characters at the start of the line with common kana and Hangul syllables, and counts the places
// where one matches; for Han, compares the same characters with those the Chinese scripts write differently.
CjkGuess guessCjk(const QImage& grey, const QList<LineBands::Band>& bands)
{
    const int threshold = darkestToLightestMiddle(grey, bands);
    const Templates& characters = templates();
    if (characters.kana.empty() || characters.hangul.empty()) {
        return {};
    }
    std::vector<Shape> windows; // one per character, for the Han forms
    int kana = 0, hangul = 0, cells = 0;
    for (const LineBands::Band& band : bands) {
        const int side = band.inkHeight;
        if (side < kSmallestLine || cells >= kCellsToSearch || std::max(kana, hangul) >= kMatchesNeeded) {
            continue;
        }
        // The runs of inked columns: a character starts where one does (and, in a run of characters touching each
        // other, a line's height further on), and ends before a run that starts most of a line's height later.
        const int width = grey.width();
        std::vector<uchar> inked(size_t(width), 0);
        for (int y = band.inkTop; y < band.inkTop + side; ++y) {
            const uchar* row = grey.constScanLine(y);
            for (int x = 0; x < width; ++x) {
                inked[size_t(x)] |= row[x] < threshold ? 1 : 0;
            }
        }
        std::vector<int> runs;
        for (int x = 0; x < width; ++x) {
            if (inked[size_t(x)] != 0 && (x == 0 || inked[size_t(x - 1)] == 0)) {
                runs.push_back(x);
            }
        }
        if (runs.empty()) {
            continue;
        }
        std::vector<int> starts;
        for (size_t i = 0; i < runs.size(); ++i) {
            const int runEnd = i + 1 < runs.size() ? runs[i + 1] : width;
            for (int at = runs[i]; at == runs[i] || at < runEnd - side / 2; at += side) {
                starts.push_back(at);
            }
        }
        const int end = runs.front() + (kCellsToSearch - cells) * side;
        int lastKana = -side, lastHangul = -side, lastWindow = -side;
        for (const int start : starts) {
            if (start > end || std::max(kana, hangul) >= kMatchesNeeded) {
                break;
            }
            const auto next =
                std::find_if(runs.begin(), runs.end(), [&](int run) { return run >= start + kNextCharacter * side; });
            const int right = next != runs.end() ? std::min(*next, start + side) : start + side;
            const std::optional<Shape> seen = GlyphShapes::of(grey, QRect(start, band.inkTop, right - start, side));
            if (!seen) {
                continue;
            }
            const Shape window = GlyphShapes::normalized(*seen);
            if (windows.empty() || start - lastWindow >= side / 2) {
                windows.push_back(window);
                lastWindow = start;
            }
            const double asKana = bestMatch(window, characters.kana);
            const double asHangul = bestMatch(window, characters.hangul);
            if (asKana >= kMatch && asKana > asHangul && start - lastKana >= side / 2) {
                ++kana;
                lastKana = start;
            } else if (asHangul >= kMatch && asHangul > asKana && start - lastHangul >= side / 2) {
                ++hangul;
                lastHangul = start;
            }
        }
        int inkRight = width - 1;
        while (inked[size_t(inkRight)] == 0) {
            --inkRight;
        }
        cells += std::max(1, (std::min(inkRight, end) - runs.front() + side) / side);
    }
    const int needed = cells <= 2 ? 1 : kMatchesNeeded;
    if (kana >= needed && kana > hangul) {
        return {Script::Japanese};
    }
    if (hangul >= needed && hangul > kana) {
        return {Script::Hangul};
    }
    return {Script::Han, formOf(windows)};
}

void prepare()
{
    templates();
}

double Letters::shareOf(Script script) const
{
    const int all = total();
    if (all == 0) {
        return 0;
    }
    switch (script) {
    case Script::Latin:
        return double(latin) / all;
    case Script::Han:
        return double(han) / all;
    case Script::Japanese:
        return double(kana + han) / all;
    case Script::Hangul:
        return double(hangul) / all;
    case Script::Unknown:
        break;
    }
    return 0;
}

Script Letters::mostly() const
{
    if (total() == 0) {
        return Script::Unknown;
    }
    if (kana > 0 && kana + han >= std::max({latin, hangul, other})) {
        return Script::Japanese;
    }
    const int most = std::max({latin, han, hangul, other});
    if (most == other) {
        return Script::Unknown;
    }
    return most == latin ? Script::Latin : most == han ? Script::Han : Script::Hangul;
}

Letters lettersOf(const QStringList& lines)
{
    Letters letters;
    for (const QString& line : lines) {
        for (const uint c : line.toUcs4()) {
            if (!QChar::isLetter(c)) {
                continue;
            }
            switch (QChar::script(c)) {
            case QChar::Script_Latin:
                ++letters.latin;
                break;
            case QChar::Script_Han:
                ++letters.han;
                break;
            case QChar::Script_Hiragana:
            case QChar::Script_Katakana:
                ++letters.kana;
                break;
            case QChar::Script_Hangul:
                ++letters.hangul;
                break;
            default:
                ++letters.other;
                break;
            }
        }
    }
    return letters;
}

} // namespace quilvant::Scripts
