#pragma once

#include "capture/LineBands.h"
#include "core/Outcome.h"

#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

namespace tesseract {
class TessBaseAPI;
}

namespace quilvant {

// Reads the text lines of an image with Tesseract, choosing the language model from the image itself: script
// detection first, then the models of that script (English or French by confidence for Latin script,
// simplified or traditional Chinese by the shapes of the characters for Han), with every installed script
// tried when detection is unsure. Keeps its engines loaded between reads. Not thread-safe: one reader per
// thread, and never the same engine on two threads.
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

    // Limits OpenMP in Tesseract to the calling thread. The library asks for a fixed team size on each
    // parallel loop, which omp_set_num_threads() cannot lower; capping the active nesting levels at zero can.
    static void useOneThread();

private:
    struct Attempt;
    enum class Script
    {
        Latin,
        Han,
        Japanese,
        Hangul,
        Unknown
    };

    Outcome<tesseract::TessBaseAPI*> engine(const QString& model);
    bool canRead(Script script) const;
    Script detectScript();
    Outcome<Attempt> run(const QString& model, bool withGlyphs);
    Outcome<Attempt> readScript(Script script);
    Outcome<Attempt> readLatin();
    Outcome<Attempt> readHan();

    QString m_dataFolder;
    QHash<QString, std::shared_ptr<tesseract::TessBaseAPI>> m_engines; // by model, loaded on first use
    QSet<QString> m_installed;      // models in the data folder, looked up at each read
    QImage m_image;                 // the image being read, 8-bit grey, dark on light
    QList<LineBands::Band> m_bands; // its lines
    const std::atomic<bool>* m_cancelled = nullptr;
};

} // namespace quilvant
