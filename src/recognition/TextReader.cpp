#include "recognition/TextReader.h"

#include "recognition/HanVariants.h"
#include "recognition/LineBands.h"
#include "recognition/RecognitionLanguages.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <algorithm>
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

// A reading proves itself with this confidence. Measured on drawn lines: models reading their own script scored
// 90–97; reading another script, at most 76 (most below 50), and mostly in the wrong letters as well. A word or two
// is another matter (see provesItself).
constexpr float kSureConfidence = 80;
// A reading of the script the ink clearly suggests needs less, once it is long enough to judge.
constexpr float kLikelyConfidence = 60;
constexpr int kShortText = 8;
// The share of its letters a reading needs in its own script: most for Latin; less for Han, kana and Hangul, of
// which a line mixed with Latin words holds fewer but longer letters.
constexpr double kLatinShare = 0.5;
constexpr double kCjkShare = 0.3;
// A French reading below this, without accents, is checked against English.
constexpr float kSureLatinConfidence = 90;
// A Chinese model reading the other Chinese script scored 62–94; reading kana or Hangul as Han look-alikes, 46 at
// most.
constexpr float kChineseConfidence = 55;

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
        // A space before punctuation that stands between two such characters goes as well ("好奇 ,发现").
        const bool punctuationNext = points[i] == ' ' && next < points.size() && fullWidth(points[next]) != 0;
        const qsizetype after = punctuationNext ? nextVisible(next + 1) : next;
        const bool beforeUnspaced = after < points.size() && isUnspaced(points[after]);
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

// Whether a reading as `script` shows it read that script: confident, and mostly in that script's letters.
// `expected`: the ink clearly suggested this script.
bool provesItself(const Scripts::Script script, float confidence, qsizetype characters, const Scripts::Letters& letters,
                  bool expected)
{
    if (characters == 0) {
        return false;
    }
    if (letters.total() > 0) {
        if (letters.shareOf(script) < (script == Scripts::Script::Latin ? kLatinShare : kCjkShare)) {
            return false;
        }
        // The Japanese model reads Chinese as if it were kanji; only kana tell Japanese.
        if (script == Scripts::Script::Japanese && letters.kana == 0) {
            return false;
        }
    }
    // A word or two proves little: CJK characters read as confident capitals ("設定" as "RE", at 91), traditional
    // ones as their simplified look-alikes. Unless the ink suggested the script, every script gets its say.
    if (characters < kShortText && !expected) {
        return false;
    }
    return confidence >= kSureConfidence ||
           (expected && letters.total() > 0 && confidence >= kLikelyConfidence && characters >= kShortText);
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
    const int width = source.width();
    for (int y = 0; y < source.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        uchar* out = grey.scanLine(y);
        for (int x = 0; x < width; ++x) {
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

TextReader::TextReader(QString dataFolder)
    : m_dataFolder(std::move(dataFolder))
    // A desktop in traditional Chinese mostly shows traditional text.
    , m_traditionalFirst(QLocale::system().script() == QLocale::TraditionalChineseScript)
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
    const QByteArray folder = m_dataFolder.toLocal8Bit();
    const QByteArray language = model.toLatin1();
    if (api->Init(folder.constData(), language.constData(), tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                  false) != 0) {
        return Error::system(
            QStringLiteral("Could not load the text-recognition data %1.traineddata from %2").arg(model, m_dataFolder));
    }
    m_engines.insert(model, api);
    return api.get();
}

Outcome<TextReader::Attempt> TextReader::run(const QString& model, bool withGlyphs)
{
    if (const auto read = m_readings.constFind(model); read != m_readings.constEnd()) {
        return *read;
    }
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
    // Reads one strip of the image, a line or a column, as an image of its own: Tesseract's SetRectangle() misreads
    // full-width strips. A column's lines are one line of the text: the model may break a column where a gap is.
    const auto readStrip = [&](const QRect& strip, tesseract::PageSegMode mode, int lineTop, int lineHeight,
                               bool vertical) -> Outcome<void> {
        api->SetImage(m_image.constScanLine(strip.top()) + strip.left(), strip.width(), strip.height(), 1,
                      int(m_image.bytesPerLine()));
        api->SetPageSegMode(mode);
        const int status = api->Recognize(&monitor);
        if (m_cancelled != nullptr && m_cancelled->load()) {
            return Error::cancelled();
        }
        if (status != 0) {
            return Error::system(QStringLiteral("Text recognition with %1 failed").arg(model));
        }
        qsizetype stripCharacters = 0;
        QString column;
        const std::unique_ptr<tesseract::ResultIterator> lines(api->GetIterator());
        if (lines != nullptr && !lines->Empty(tesseract::RIL_TEXTLINE)) {
            do {
                QString line = fromTesseract(lines->GetUTF8Text(tesseract::RIL_TEXTLINE));
                if (line.endsWith(QLatin1Char('\n'))) {
                    line.chop(1);
                }
                if (vertical) {
                    column += line.trimmed();
                    continue;
                }
                line = tidyUnspaced(line);
                if (line.trimmed().isEmpty()) {
                    continue;
                }
                for (const QChar c : line) {
                    stripCharacters += c.isSpace() ? 0 : 1;
                }
                attempt.lines.append(line);
            } while (lines->Next(tesseract::RIL_TEXTLINE));
        }
        if (vertical && !(column = tidyUnspaced(column)).trimmed().isEmpty()) {
            for (const QChar c : column) {
                stripCharacters += c.isSpace() ? 0 : 1;
            }
            attempt.lines.append(column);
        }
        weightedConfidence += double(api->MeanTextConf()) * double(stripCharacters);
        attempt.characters += stripCharacters;
        if (withGlyphs) {
            // In a column the model gives its symbols no width: their words' boxes, shared out down the column, say
            // where each character is.
            const tesseract::PageIteratorLevel level = vertical ? tesseract::RIL_WORD : tesseract::RIL_SYMBOL;
            const std::unique_ptr<tesseract::ResultIterator> symbols(api->GetIterator());
            if (symbols != nullptr && !symbols->Empty(level)) {
                do {
                    int left = 0, top = 0, right = 0, bottom = 0;
                    if (!symbols->BoundingBox(level, &left, &top, &right, &bottom)) {
                        continue;
                    }
                    const QRect box(QPoint(strip.left() + left, strip.top() + top),
                                    QPoint(strip.left() + right - 1, strip.top() + bottom - 1));
                    const QString text = fromTesseract(symbols->GetUTF8Text(level));
                    if (!vertical) {
                        attempt.glyphs.append({text, box, lineTop, lineHeight, false});
                        continue;
                    }
                    const QList<uint> characters = text.toUcs4();
                    const int count = int(characters.size());
                    for (int i = 0; i < count; ++i) {
                        const int from = box.top() + box.height() * i / count;
                        const int to = box.top() + box.height() * (i + 1) / count;
                        attempt.glyphs.append({QString::fromUcs4(reinterpret_cast<const char32_t*>(&characters[i]), 1),
                                               QRect(box.left(), from, box.width(), std::max(1, to - from)), lineTop,
                                               lineHeight, true});
                    }
                } while (symbols->Next(level));
            }
        }
        return {};
    };
    const auto readAll = [&]() -> Outcome<void> {
        for (const LineBands::Band& band : m_columns.isEmpty() ? m_bands : QList<LineBands::Band>()) {
            const tesseract::PageSegMode mode = band.crowded ? tesseract::PSM_SINGLE_BLOCK : tesseract::PSM_SINGLE_LINE;
            if (Outcome<void> read = readStrip(QRect(0, band.top, m_image.width(), band.height), mode, band.inkTop,
                                               band.inkHeight, false);
                !read) {
                return read;
            }
        }
        for (const Columns::Column& column : m_columns) {
            if (Outcome<void> read =
                    readStrip(QRect(column.left, 0, column.width, m_image.height()),
                              tesseract::PSM_SINGLE_BLOCK_VERT_TEXT, column.inkLeft, column.inkWidth, true);
                !read) {
                return read;
            }
        }
        return {};
    };
    if (Outcome<void> read = readAll(); !read) {
        api->Clear();
        return read.error();
    }
    api->Clear();
    attempt.confidence = attempt.characters > 0 ? float(weightedConfidence / double(attempt.characters)) : 0.0F;
    m_readings.insert(model, attempt);
    return attempt;
}

QString TextReader::model(const QString& rows) const
{
    return m_columns.isEmpty() ? rows : rows + QStringLiteral("_vert");
}

Outcome<TextReader::Attempt> TextReader::readLatin()
{
    Outcome<Attempt> first = run(latinModel(), false);
    if (!first || latinModel() == kEnglish || !m_installed.contains(kEnglish) ||
        first.value().confidence >= kSureLatinConfidence || hasAccentedLetter(first.value().lines)) {
        return first;
    }
    // What the French model is unsure of in text without French accents (web addresses, for one), the English one
    // may read better.
    Outcome<Attempt> english = run(kEnglish, false);
    if (!english || english.value().confidence <= first.value().confidence) {
        return first;
    }
    return english;
}

Outcome<TextReader::Attempt> TextReader::readHan(bool thorough)
{
    const QString simplifiedModel = model(kSimplified);
    const QString traditionalModel = model(kTraditional);
    const bool simplified = m_installed.contains(simplifiedModel);
    const bool traditional = m_installed.contains(traditionalModel);
    if (!simplified || !traditional) {
        return run(simplified ? simplifiedModel : traditionalModel, false);
    }
    // Each model reads the other script's characters as its own look-alikes, confidently; only the shapes tell. The
    // ink's characters choose the model to ask first, else the last Han capture or the desktop does.
    const bool traditionalFirst =
        m_hanForm == Scripts::HanForm::Unknown ? m_traditionalFirst : m_hanForm == Scripts::HanForm::Traditional;
    const QString& firstModel = traditionalFirst ? traditionalModel : simplifiedModel;
    Outcome<Attempt> first = run(firstModel, true);
    if (!first) {
        return first;
    }
    if (!first.value().fits) {
        first.value().fits = HanVariants::fitsTheImage(m_image, first.value().glyphs);
        m_readings[firstModel].fits = first.value().fits;
    }
    // A model that read nothing fits trivially: the other one may read the line.
    if (*first.value().fits && first.value().characters > 0) {
        m_traditionalFirst = traditionalFirst;
        return first; // the other model is not needed, nor even loaded
    }
    if (!thorough && first.value().confidence < kChineseConfidence) {
        // Probably not Chinese at all, but kana or Hangul read as Han look-alikes: the other Chinese model is asked
        // only once no other script proved itself.
        first.value().doubtful = true;
        return first;
    }
    Outcome<Attempt> second = run(traditionalFirst ? simplifiedModel : traditionalModel, true);
    if (!second) {
        return second;
    }
    const Attempt& asSimplified = traditionalFirst ? second.value() : first.value();
    const Attempt& asTraditional = traditionalFirst ? first.value() : second.value();
    const HanVariants::Choice choice = HanVariants::judge(m_image, asSimplified.glyphs, asTraditional.glyphs);
    if (choice != HanVariants::Choice::Undecided) {
        m_traditionalFirst = choice == HanVariants::Choice::Traditional;
    }
    // Undecided means the readings agree on every character; the simplified one then keeps its full-width
    // punctuation.
    return choice == HanVariants::Choice::Traditional ? asTraditional : asSimplified;
}

bool TextReader::canRead(Script script) const
{
    switch (script) {
    case Script::Latin:
        return m_columns.isEmpty() && (m_installed.contains(kEnglish) || m_installed.contains(kFrench));
    case Script::Han:
        return m_installed.contains(model(kSimplified)) || m_installed.contains(model(kTraditional));
    case Script::Japanese:
        return m_installed.contains(model(kJapanese));
    case Script::Hangul:
        return m_installed.contains(model(kKorean));
    case Script::Unknown:
        return false;
    }
    return false;
}

Outcome<TextReader::Attempt> TextReader::readScript(Script script, bool thorough)
{
    Outcome<Attempt> attempt = Error::system(QStringLiteral("No text-recognition model for this script"));
    switch (script) {
    case Script::Latin:
        attempt = readLatin();
        break;
    case Script::Han:
        attempt = readHan(thorough);
        break;
    case Script::Japanese:
        attempt = run(model(kJapanese), false);
        break;
    case Script::Hangul:
        attempt = run(model(kKorean), false);
        break;
    case Script::Unknown:
        break;
    }
    if (attempt) {
        attempt.value().script = script;
    }
    return attempt;
}

QList<TextReader::Script> TextReader::candidates(Script guessed) const
{
    QList<Script> order;
    const auto add = [&](Script script) {
        if (canRead(script) && !order.contains(script)) {
            order.append(script);
        }
    };
    // Han is the weakest guess (no kana or Hangul seen, which small or serif type can hide): a CJK script read last
    // time goes first.
    if (guessed == Script::Han && m_lastScript != Script::Latin) {
        add(m_lastScript);
    }
    add(guessed);
    add(m_lastScript);
    const bool latinFirst = guessed == Script::Latin || guessed == Script::Unknown;
    for (const Script script : latinFirst
                                   ? QList<Script>{Script::Latin, Script::Han, Script::Japanese, Script::Hangul}
                                   : QList<Script>{Script::Han, Script::Japanese, Script::Hangul, Script::Latin}) {
        add(script);
    }
    return order;
}

void TextReader::findInstalled()
{
    m_installed.clear();
    for (const RecognitionLanguages::Language& language : RecognitionLanguages::supported(m_dataFolder)) {
        m_installed.insert(language.model);
        // The models of vertical text, for the languages that have them, beside the others.
        if (language.model != kEnglish && language.model != kFrench && language.model != kKorean &&
            QFileInfo::exists(QDir(m_dataFolder).filePath(language.model + QStringLiteral("_vert.traineddata")))) {
            m_installed.insert(language.model + QStringLiteral("_vert"));
        }
    }
}

QString TextReader::latinModel() const
{
    // The French model reads English as well as the English one does (drawn lines of English: 7 misread by one,
    // 9 by the other, of 370), and French accents, which the English one drops: one reading serves both.
    return m_installed.contains(kFrench) ? kFrench : kEnglish;
}

Outcome<void> TextReader::warmUp(const QStringList& codes)
{
    useOneThread();
    findInstalled();
    for (const RecognitionLanguages::Language& language : RecognitionLanguages::preferred()) {
        if (!codes.contains(language.code) || !m_installed.contains(language.model)) {
            continue;
        }
        const bool latin = language.model == kEnglish || language.model == kFrench;
        if (const Outcome<tesseract::TessBaseAPI*> loaded = engine(latin ? latinModel() : language.model); !loaded) {
            return loaded.error();
        }
    }
    Scripts::prepare();
    return {};
}

Outcome<TextReader::Reading> TextReader::readBlocks(const QList<QRect>& blocks, const std::atomic<bool>* cancelled)
{
    // Each block is read as an image of its own, columns or rows, and the lines join top to bottom; the model named
    // is the one that read the most.
    const QImage whole = m_image;
    m_inBlock = true;
    Reading joined;
    qsizetype most = -1;
    for (const QRect& block : blocks) {
        Outcome<Reading> part = read(whole.copy(block), cancelled);
        if (!part) {
            m_inBlock = false;
            return part;
        }
        const qsizetype characters = part.value().lines.join(QString()).size();
        if (characters > most) {
            most = characters;
            joined.model = part.value().model;
            joined.confidence = part.value().confidence;
        }
        joined.lines.append(part.value().lines);
    }
    m_inBlock = false;
    return joined;
}

Outcome<TextReader::Reading> TextReader::read(const QImage& image, const std::atomic<bool>* cancelled)
{
    useOneThread();
    findInstalled();
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
    const bool verticalModels = std::any_of(m_installed.cbegin(), m_installed.cend(), [](const QString& model) {
        return model.endsWith(QStringLiteral("_vert"));
    });
    if (verticalModels) { // else vertical text is read as rows, as best the other models can
        m_columns = Columns::findVertical(m_image, m_bands);
        if (m_columns.isEmpty() && !m_inBlock) {
            if (const QList<QRect> blocks = Columns::mixedBlocks(m_image, m_bands); !blocks.isEmpty()) {
                return readBlocks(blocks, cancelled);
            }
        }
    }
    m_cancelled = cancelled;
    struct Release
    {
        TextReader* reader;
        ~Release()
        {
            reader->m_image = QImage();
            reader->m_bands.clear();
            reader->m_columns.clear();
            reader->m_hanForm = Scripts::HanForm::Unknown;
            reader->m_readings.clear();
            reader->m_cancelled = nullptr;
        }
    } release{this};

    std::optional<Attempt> proven;
    std::optional<Attempt> best;
    bool hanInDoubt = false;
    Script suggested = Script::Unknown; // the script most letters of the last reading belong to
    const auto consider = [&](Script script, bool expected, bool thorough) -> Outcome<void> {
        Outcome<Attempt> attempt = readScript(script, thorough);
        if (!attempt) {
            return attempt.error();
        }
        const Scripts::Letters letters = Scripts::lettersOf(attempt.value().lines);
        suggested = letters.mostly();
        hanInDoubt = hanInDoubt || attempt.value().doubtful;
        if (attempt.value().doubtful) {
            return {};
        }
        if (provesItself(script, attempt.value().confidence, attempt.value().characters, letters, expected)) {
            proven = std::move(attempt).value();
        } else if (!best || attempt.value().confidence > best->confidence) {
            best = std::move(attempt).value();
        }
        return {};
    };

    // Across columns, rows of the image hold one character of each column where the columns line up: the search
    // for kana and Hangul finds them there as in a line.
    Script guessed = Script::Latin;
    if (!m_columns.isEmpty() || !Scripts::looksLatin(m_image, m_bands)) {
        const Scripts::CjkGuess cjk = Scripts::guessCjk(m_image, m_bands);
        guessed = cjk.script;
        m_hanForm = cjk.form;
    }
    QList<Script> order = candidates(guessed);
    for (qsizetype i = 0; i < order.size() && !proven; ++i) {
        if (Outcome<void> done = consider(order[i], order[i] == guessed && guessed != Script::Han, false); !done) {
            return done.error();
        }
        // The CJK models read Latin text well, and the Japanese one reads Chinese: a reading mostly in another
        // script's letters says which script to try next.
        if (const qsizetype at = order.indexOf(suggested); at > i + 1) {
            order.move(at, i + 1);
        }
    }
    if (!proven && hanInDoubt) {
        if (Outcome<void> done = consider(Script::Han, false, true); !done) {
            return done.error();
        }
    }
    if (proven) {
        m_lastScript = proven->script;
        return Reading{proven->lines, proven->model, proven->confidence};
    }
    // Nothing proved itself (short, faint or mixed text, or a script we have no model for): every installed script
    // has been read, and the most confident reading wins.
    if (!best) {
        return Reading{};
    }
    return Reading{best->lines, best->model, best->confidence};
}

} // namespace quilvant
