#include "capture/TextReader.h"

#include "capture/HanVariants.h"
#include "capture/LineBands.h"
#include "capture/RecognitionLanguages.h"

#include <QPainter>
#include <omp.h>
#include <optional>
#include <string>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>
#include <vector>

namespace quilvant {

namespace {

const QString kEnglish = QStringLiteral("eng");
const QString kFrench = QStringLiteral("fra");
const QString kJapanese = QStringLiteral("jpn");
const QString kKorean = QStringLiteral("kor");
const QString kSimplified = QStringLiteral("chi_sim");
const QString kTraditional = QStringLiteral("chi_tra");
const QString kScriptDetection = QStringLiteral("osd");

// A reading with fewer characters than this, or less confidence, does not trust script detection alone.
constexpr int kShortText = 8;
constexpr float kUnsureConfidence = 60;
// An English reading below this confidence, or with accented letters, is checked against French.
constexpr float kSureLatinConfidence = 90;

bool stopRequested(void* flag, int /*words*/)
{
    return static_cast<const std::atomic<bool>*>(flag)->load();
}

bool isKana(char32_t c)
{
    return (c >= 0x3040 && c <= 0x30FF) || (c >= 0x31F0 && c <= 0x31FF) || (c >= 0xFF66 && c <= 0xFF9D);
}

// Characters written without spaces between them: Han, kana, CJK punctuation and full-width forms.
bool isUnspaced(char32_t c)
{
    return HanVariants::isHan(c) || isKana(c) || (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF65);
}

// The full-width form of the ASCII punctuation the traditional Chinese model writes inside Chinese text, or 0.
uint fullWidth(uint c)
{
    switch (c) {
    case ',':
    case ';':
    case ':':
    case '!':
    case '?':
        return c - 0x21 + 0xFF01;
    default:
        return 0;
    }
}

// Removes the spaces a model put between two characters of scripts written without them, and writes the
// ASCII punctuation between two such characters full-width, as Chinese and Japanese text has it. Spaces
// between Hangul words, and leading or trailing space, stay.
QString tidyUnspaced(const QString& line)
{
    const QList<uint> points = line.toUcs4();
    const auto nextVisible = [&points](qsizetype from) {
        while (from < points.size() && points[from] == ' ') {
            ++from;
        }
        return from;
    };
    QList<uint> out;
    out.reserve(points.size());
    for (qsizetype i = 0; i < points.size(); ++i) {
        const bool afterUnspaced = !out.isEmpty() && isUnspaced(out.last());
        const qsizetype next = nextVisible(i + (points[i] == ' ' ? 0 : 1));
        const bool beforeUnspaced = next < points.size() && isUnspaced(points[next]);
        if (points[i] == ' ' && afterUnspaced && beforeUnspaced) {
            i = next - 1;
            continue;
        }
        if (const uint wide = fullWidth(points[i]); wide != 0 && afterUnspaced && beforeUnspaced) {
            out.append(wide);
            i = next - 1;
            continue;
        }
        out.append(points[i]);
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(out.constData()), out.size());
}

bool hasAccentedLetter(const QStringList& lines)
{
    for (const QString& line : lines) {
        for (const QChar c : line) {
            if (c.unicode() > 0x7F && c.isLetter()) {
                return true;
            }
        }
    }
    return false;
}

bool hasKana(const QStringList& lines)
{
    for (const QString& line : lines) {
        for (const uint c : line.toUcs4()) {
            if (isKana(c)) {
                return true;
            }
        }
    }
    return false;
}

// The image as Tesseract wants it: 8-bit grey, transparency laid over white.
QImage greyOnWhite(const QImage& image)
{
    if (image.format() == QImage::Format_Grayscale8) {
        return image;
    }
    // One pass of plain luma weights: Qt's own conversion goes through colour management and takes several
    // times as long, for nothing the recogniser can see.
    const bool alpha = image.hasAlphaChannel();
    const QImage source = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QImage grey(source.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < source.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        uchar* out = grey.scanLine(y);
        for (int x = 0; x < source.width(); ++x) {
            const QRgb pixel = in[x];
            const int luma = (qRed(pixel) * 77 + qGreen(pixel) * 150 + qBlue(pixel) * 29) >> 8;
            const int opacity = alpha ? qAlpha(pixel) : 255;
            out[x] = uchar((luma * opacity + 255 * (255 - opacity)) / 255);
        }
    }
    return grey;
}

QString fromTesseract(char* text)
{
    const QString result = QString::fromUtf8(text);
    delete[] text;
    return result;
}

} // namespace

struct TextReader::Attempt
{
    QStringList lines;
    QString model;
    float confidence = 0;
    qsizetype characters = 0; // not counting white space
    QList<HanVariants::Glyph> glyphs;
};

TextReader::TextReader(QString dataFolder)
    : m_dataFolder(std::move(dataFolder))
{}

TextReader::~TextReader() = default;

void TextReader::useOneThread()
{
    thread_local bool done = false;
    if (!done) {
        omp_set_max_active_levels(0);
        done = true;
    }
}

Outcome<tesseract::TessBaseAPI*> TextReader::engine(const QString& model)
{
    const auto found = m_engines.constFind(model);
    if (found != m_engines.constEnd()) {
        return found->get();
    }
    auto api = std::make_shared<tesseract::TessBaseAPI>();
    // Tesseract's progress chatter ("Estimating resolution", "Empty page!!") is not for our users.
    const std::vector<std::string> names = {"debug_file"};
    const std::vector<std::string> values = {"/dev/null"};
    const auto mode = model == kScriptDetection ? tesseract::OEM_TESSERACT_ONLY : tesseract::OEM_LSTM_ONLY;
    const QByteArray folder = m_dataFolder.toLocal8Bit();
    const QByteArray language = model.toLatin1();
    if (api->Init(folder.constData(), language.constData(), mode, nullptr, 0, &names, &values, false) != 0) {
        return Error::system(
            QStringLiteral("Could not load the text-recognition data %1.traineddata from %2").arg(model, m_dataFolder));
    }
    if (model == kScriptDetection) {
        // The default wants 50 characters, more than one line of a capture holds. Three (fifteen shapes
        // compared) detected every test line as well as five did, 5 ms sooner; short and unclear text is
        // checked by reading anyway.
        api->SetVariable("min_characters_to_try", "3");
        api->SetPageSegMode(tesseract::PSM_OSD_ONLY);
    }
    m_engines.insert(model, api);
    return api.get();
}

TextReader::Script TextReader::detectScript()
{
    const Outcome<tesseract::TessBaseAPI*> osd = engine(kScriptDetection);
    if (!osd) {
        return Script::Unknown;
    }
    tesseract::TessBaseAPI* api = osd.value();
    // The lines alone, without the ground above and below them, are less to search.
    const int top = m_bands.first().top;
    const int bottom = m_bands.last().top + m_bands.last().height;
    api->SetImage(m_image.constScanLine(top), m_image.width(), bottom - top, 1, int(m_image.bytesPerLine()));
    int degrees = 0;
    float orientationConfidence = 0;
    const char* name = nullptr;
    float scriptConfidence = 0;
    const bool found = api->DetectOrientationScript(&degrees, &orientationConfidence, &name, &scriptConfidence);
    api->Clear();
    if (!found || name == nullptr) {
        return Script::Unknown;
    }
    const QString script = QString::fromLatin1(name);
    if (script == QLatin1String("Latin")) {
        return Script::Latin;
    }
    if (script == QLatin1String("Han")) {
        return Script::Han;
    }
    if (script == QLatin1String("Japanese") || script == QLatin1String("Hiragana") ||
        script == QLatin1String("Katakana")) {
        return Script::Japanese;
    }
    if (script == QLatin1String("Hangul") || script == QLatin1String("Korean")) {
        return Script::Hangul;
    }
    return Script::Unknown;
}

Outcome<TextReader::Attempt> TextReader::run(const QString& model, bool withGlyphs)
{
    const Outcome<tesseract::TessBaseAPI*> found = engine(model);
    if (!found) {
        return found.error();
    }
    tesseract::TessBaseAPI* api = found.value();
    tesseract::ETEXT_DESC monitor;
    if (m_cancelled != nullptr) {
        monitor.cancel = &stopRequested;
        monitor.cancel_this = const_cast<std::atomic<bool>*>(m_cancelled);
    }
    Attempt attempt;
    attempt.model = model;
    double weightedConfidence = 0;
    for (const LineBands::Band& band : m_bands) {
        // Each line as an image of its own: Tesseract's SetRectangle() misreads full-width strips.
        api->SetImage(m_image.constScanLine(band.top), m_image.width(), band.height, 1, int(m_image.bytesPerLine()));
        api->SetPageSegMode(band.crowded ? tesseract::PSM_SINGLE_BLOCK : tesseract::PSM_SINGLE_LINE);
        const int status = api->Recognize(&monitor);
        if (m_cancelled != nullptr && m_cancelled->load()) {
            api->Clear();
            return Error::cancelled();
        }
        if (status != 0) {
            api->Clear();
            return Error::system(QStringLiteral("Text recognition with %1 failed").arg(model));
        }
        qsizetype bandCharacters = 0;
        const std::unique_ptr<tesseract::ResultIterator> lines(api->GetIterator());
        if (lines != nullptr && !lines->Empty(tesseract::RIL_TEXTLINE)) {
            do {
                QString line = fromTesseract(lines->GetUTF8Text(tesseract::RIL_TEXTLINE));
                if (line.endsWith(QLatin1Char('\n'))) {
                    line.chop(1);
                }
                line = tidyUnspaced(line);
                if (line.trimmed().isEmpty()) {
                    continue;
                }
                for (const QChar c : line) {
                    bandCharacters += c.isSpace() ? 0 : 1;
                }
                attempt.lines.append(line);
            } while (lines->Next(tesseract::RIL_TEXTLINE));
        }
        weightedConfidence += double(api->MeanTextConf()) * double(bandCharacters);
        attempt.characters += bandCharacters;
        if (withGlyphs) {
            const std::unique_ptr<tesseract::ResultIterator> symbols(api->GetIterator());
            if (symbols != nullptr && !symbols->Empty(tesseract::RIL_SYMBOL)) {
                do {
                    int left = 0, top = 0, right = 0, bottom = 0;
                    if (symbols->BoundingBox(tesseract::RIL_SYMBOL, &left, &top, &right, &bottom)) {
                        attempt.glyphs.append(
                            {fromTesseract(symbols->GetUTF8Text(tesseract::RIL_SYMBOL)),
                             QRect(QPoint(left, band.top + top), QPoint(right - 1, band.top + bottom - 1)), band.inkTop,
                             band.inkHeight});
                    }
                } while (symbols->Next(tesseract::RIL_SYMBOL));
            }
        }
    }
    api->Clear();
    attempt.confidence = attempt.characters > 0 ? float(weightedConfidence / double(attempt.characters)) : 0.0F;
    return attempt;
}

Outcome<TextReader::Attempt> TextReader::readLatin()
{
    const bool english = m_installed.contains(kEnglish);
    const bool french = m_installed.contains(kFrench);
    Outcome<Attempt> first = run(english ? kEnglish : kFrench, false);
    if (!first || !english || !french) {
        return first;
    }
    // The English model drops French accents ("déjà" becomes "déja", "garçon" "garcon") with visibly lower
    // confidence; English text is read no better by the French model. So French gets a say only then.
    if (first.value().confidence >= kSureLatinConfidence && !hasAccentedLetter(first.value().lines)) {
        return first;
    }
    Outcome<Attempt> second = run(kFrench, false);
    if (!second) {
        return second;
    }
    return second.value().confidence > first.value().confidence ? second : first;
}

Outcome<TextReader::Attempt> TextReader::readHan()
{
    const bool simplified = m_installed.contains(kSimplified);
    const bool traditional = m_installed.contains(kTraditional);
    if (!simplified || !traditional) {
        return run(simplified ? kSimplified : kTraditional, false);
    }
    Outcome<Attempt> asSimplified = run(kSimplified, true);
    if (!asSimplified || HanVariants::fitsTheImage(m_image, asSimplified.value().glyphs)) {
        return asSimplified; // the traditional model, the largest of all, is not even loaded
    }
    Outcome<Attempt> asTraditional = run(kTraditional, true);
    if (!asTraditional) {
        return asTraditional;
    }
    const HanVariants::Choice choice =
        HanVariants::judge(m_image, asSimplified.value().glyphs, asTraditional.value().glyphs);
    // Undecided means the readings agree on every character; the simplified one then keeps its full-width
    // punctuation.
    return choice == HanVariants::Choice::Traditional ? asTraditional : asSimplified;
}

bool TextReader::canRead(Script script) const
{
    switch (script) {
    case Script::Latin:
        return m_installed.contains(kEnglish) || m_installed.contains(kFrench);
    case Script::Han:
        return m_installed.contains(kSimplified) || m_installed.contains(kTraditional);
    case Script::Japanese:
        return m_installed.contains(kJapanese);
    case Script::Hangul:
        return m_installed.contains(kKorean);
    case Script::Unknown:
        return false;
    }
    return false;
}

Outcome<TextReader::Attempt> TextReader::readScript(Script script)
{
    switch (script) {
    case Script::Latin:
        return readLatin();
    case Script::Han:
        return readHan();
    case Script::Japanese:
        return run(kJapanese, false);
    case Script::Hangul:
        return run(kKorean, false);
    case Script::Unknown:
        break;
    }
    return Error::system(QStringLiteral("No text-recognition model for this script"));
}

Outcome<TextReader::Reading> TextReader::read(const QImage& image, const std::atomic<bool>* cancelled)
{
    useOneThread();
    m_installed.clear();
    for (const RecognitionLanguages::Language& language : RecognitionLanguages::supported(m_dataFolder)) {
        m_installed.insert(language.model);
    }
    if (m_installed.isEmpty()) {
        return Error::system(QStringLiteral("No text-recognition data in %1 (eng, fra, jpn, kor, chi_sim or chi_tra)")
                                 .arg(m_dataFolder));
    }
    if (image.isNull() || image.width() < 3 || image.height() < 3) {
        return Reading{}; // nothing that could hold a character
    }
    m_image = LineBands::normalized(greyOnWhite(image));
    m_bands = LineBands::findLines(m_image);
    if (m_bands.isEmpty()) {
        return Reading{}; // no ink at all
    }
    m_cancelled = cancelled;
    struct Release
    {
        TextReader* reader;
        ~Release()
        {
            reader->m_image = QImage();
            reader->m_bands.clear();
            reader->m_cancelled = nullptr;
        }
    } release{this};

    const Script script = RecognitionLanguages::hasScriptDetection(m_dataFolder) ? detectScript() : Script::Unknown;
    QList<Script> tried;
    std::optional<Attempt> best;
    const auto consider = [&](Script candidate) -> Outcome<void> {
        tried.append(candidate);
        Outcome<Attempt> attempt = readScript(candidate);
        if (!attempt) {
            return attempt.error();
        }
        if (!best || attempt.value().confidence > best->confidence) {
            best = std::move(attempt).value();
        }
        return {};
    };

    if (canRead(script)) {
        if (Outcome<void> done = consider(script); !done) {
            return done.error();
        }
        // Script detection sometimes takes Chinese for Japanese; a reading without a single kana lets the
        // Chinese models compete.
        if (script == Script::Japanese && !hasKana(best->lines) && canRead(Script::Han)) {
            if (Outcome<void> done = consider(Script::Han); !done) {
                return done.error();
            }
        }
    }
    // Script detection guesses on short or unclear text (two characters of Chinese come back as Hangul), and
    // knows scripts we have no model for: then every installed script competes on confidence.
    if (!best || best->characters < kShortText || best->confidence < kUnsureConfidence) {
        for (const Script candidate : {Script::Latin, Script::Han, Script::Japanese, Script::Hangul}) {
            if (!tried.contains(candidate) && canRead(candidate)) {
                if (Outcome<void> done = consider(candidate); !done) {
                    return done.error();
                }
            }
        }
    }
    if (!best) {
        return Reading{};
    }
    return Reading{best->lines, best->model, best->confidence};
}

} // namespace quilvant
