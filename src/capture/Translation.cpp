#include "capture/Translation.h"

#include "capture/RecognitionLanguages.h"
#include "capture/RecognitionWorker.h"
#include "capture/TextReader.h"
#include "foundation/L.h"

#include <QImage>
#include <QImageReader>
#include <memory>

namespace quilvant::Translation {

namespace {

// The calling thread's reader, remade when the data folder changed since its last use.
TextReader& readerForThisThread()
{
    thread_local std::unique_ptr<TextReader> reader;
    const QString folder = RecognitionLanguages::dataPath();
    if (!reader || reader->dataFolder() != folder) {
        reader = std::make_unique<TextReader>(folder);
    }
    return *reader;
}

} // namespace

Outcome<QString> recognizeFile(const QString& path, const std::atomic<bool>* cancelled)
{
    QImageReader file(path);
    file.setAutoTransform(true);
    const QImage image = file.read();
    if (image.isNull()) {
        return Error::system(QStringLiteral("Cannot read the image %1: %2").arg(path, file.errorString()));
    }
    const Outcome<TextReader::Reading> reading = readerForThisThread().read(image, cancelled);
    if (!reading) {
        return reading.error();
    }
    const QString text = reading.value().lines.join(QLatin1Char('\n'));
    if (text.trimmed().isEmpty()) {
        return AppFailure{L::t(QStringLiteral("没有识别到文字，请框选更清晰的区域。"))};
    }
    return text;
}

Cancellation recognize(const QString& path, Completion<QString> done)
{
    return RecognitionWorker::shared().recognize(path, std::move(done));
}

Outcome<void> prepare(const QStringList& codes)
{
    return readerForThisThread().warmUp(codes);
}

void warmUp(const QStringList& codes)
{
    RecognitionWorker::shared().warmUp(codes);
}

QStringList supportedLanguages()
{
    QStringList codes;
    for (const RecognitionLanguages::Language& language :
         RecognitionLanguages::supported(RecognitionLanguages::dataPath())) {
        codes.append(language.code);
    }
    return codes;
}

} // namespace quilvant::Translation
