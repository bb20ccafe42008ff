#pragma once

#include "core/Outcome.h"
#include "recognition/Columns.h"
#include "recognition/HanVariants.h"
#include "recognition/LineBands.h"
#include "recognition/Scripts.h"

#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>

namespace tesseract {
class TessBaseAPI;
}

namespace quilvant {

// Reads the text lines of an image with Tesseract, choosing the language model from the image itself. Scripts are
// tried one after another until a reading proves itself (confident, and in the letters of the script it was read
// as): first the script the ink suggests, or that of the previous capture when the ink cannot tell, then the others;
// when none proves itself, the most confident reading wins. Latin script is read by the French model, whose letters
// cover English, the English one joining only when the French one is unsure; Han by the simplified or traditional
// Chinese model as the characters in the ink suggest (else as the previous capture needed, or the desktop's language
// suggests), the other one joining only when the shapes of the characters disagree with the reading. Text set in
// vertical columns is read a column to a line, right to left, by the vertical models of Japanese and Chinese, chosen
// the same way. Keeps its engines loaded between reads. Not thread-safe: one reader per thread, and never the same
// engine on two threads.
class TextReader
{
public:
    struct Reading
    {
        QStringList lines;    // in reading order, without line ends; lines of only white space left out
        QString model;        // the data file that read them ("eng", "chi_sim", …)
        float confidence = 0; // mean word confidence, 0–100
    };

    explicit TextReader(QString dataFolder);
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    const QString& dataFolder() const { return m_dataFolder; }

    // Reads `image`. `cancelled`, when given, is polled during recognition and ends the read with
    // Error::cancelled() once it is set.
    Outcome<Reading> read(const QImage& image, const std::atomic<bool>* cancelled = nullptr);

    // Loads, ahead of the reads that will need them, the engines that read the languages `codes` name ("en-US",
    // "zh-Hant", … as RecognitionLanguages does) and what guessing a script needs. Languages not installed are
    // passed over; fails on the first engine that does not load.
    Outcome<void> warmUp(const QStringList& codes);

    // Limits OpenMP in Tesseract to the calling thread. The library asks for a fixed team size on each
    // parallel loop, which omp_set_num_threads() cannot lower; capping the active nesting levels at zero can.
    static void useOneThread();

private:
    using Script = Scripts::Script;
    struct Attempt
    {
        Script script = Script::Unknown;
        QStringList lines;
        QString model;
        float confidence = 0;
        qsizetype characters = 0; // not counting white space
        QList<HanVariants::Glyph> glyphs;
        std::optional<bool> fits; // whether its Han characters fit the image, once that was checked
        bool doubtful = false;    // a Han reading that fits neither the image nor Chinese; the other model not asked
    };

    Outcome<tesseract::TessBaseAPI*> engine(const QString& model);
    void findInstalled();
    QString latinModel() const;
    QString model(const QString& rows) const; // the model for text in rows, or its vertical one for columns
    bool canRead(Script script) const;
    QList<Script> candidates(Script guessed) const;
    Outcome<Attempt> run(const QString& model, bool withGlyphs);
    Outcome<Attempt> readScript(Script script, bool thorough);
    Outcome<Attempt> readLatin();
    Outcome<Attempt> readHan(bool thorough);
    Outcome<Reading> readBlocks(const QList<QRect>& blocks, const std::atomic<bool>* cancelled);

    QString m_dataFolder;
    QHash<QString, std::shared_ptr<tesseract::TessBaseAPI>> m_engines; // by model, loaded on first use
    QSet<QString> m_installed;             // models in the data folder, looked up at each read
    Script m_lastScript = Script::Unknown; // the script of the last reading that proved itself
    bool m_traditionalFirst = false;       // read Han as traditional first: the last Han was, or the desktop is
    Scripts::HanForm m_hanForm = Scripts::HanForm::Unknown; // what the ink of the image being read suggests
    QImage m_image;                                         // the image being read, 8-bit grey, dark on light
    QList<LineBands::Band> m_bands;                         // its lines
    QList<Columns::Column> m_columns;                       // its columns, right to left, when it is set in columns
    QHash<QString, Attempt> m_readings;                     // of this image, by model: no model reads it twice
    const std::atomic<bool>* m_cancelled = nullptr;
    bool m_inBlock = false; // reading one block of an image of columns and rows
};

} // namespace quilvant
