#include "recognition/Translation.h"

#include "core/Console.h"
#include "foundation/L.h"
#include "recognition/RecognitionLanguages.h"
#include "recognition/RecognitionWorker.h"
#include "recognition/TextReader.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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

// Qt refuses to decode more than 128 MB by default, less than one 8K screen in 32-bit colour. The stated pixel
// limit is checked first; this leaves room for it at up to 8 bytes a pixel (16-bit colour with alpha).
constexpr int allocationLimitMB = static_cast<int>(pixelLimit * 8 / (1024 * 1024)) + 1;

Outcome<QImage> loadImage(const QByteArray& name)
{
    static const bool limitRaised = [] {
        QImageReader::setAllocationLimit(allocationLimitMB);
        return true;
    }();
    Q_UNUSED(limitRaised);

    const QString shown = Console::shownName(name);
    const auto unreadable = [&shown](const QString& why) {
        return Error::system(QStringLiteral("Cannot read the image %1: %2").arg(shown, why));
    };
    // Opened by its bytes: a name that is not UTF-8 cannot take a round trip through QString.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return unreadable(errno == ENOENT ? QStringLiteral("File not found")
                                          : QString::fromLocal8Bit(std::strerror(errno)));
    }
    QFile file;
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat info
    {
    };
    if (::fstat(fd, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return unreadable(QString::fromLocal8Bit(std::strerror(EISDIR)));
        }
        if (S_ISREG(info.st_mode) && info.st_size == 0) {
            return AppFailure{L::t(QStringLiteral("无法读取图片 %1：文件是空的。")).arg(shown)};
        }
    }
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    if (const QSize size = reader.size(); size.isValid() && qint64(size.width()) * size.height() > pixelLimit) {
        return AppFailure{L::t(QStringLiteral("图片 %1 过大，无法识别（%2 × %3 像素，上限为 %4 百万像素）。"))
                              .arg(shown, QString::number(size.width()), QString::number(size.height()),
                                   QString::number(pixelLimit / 1'000'000))};
    }
    QImage image = reader.read();
    if (image.isNull()) {
        return unreadable(reader.errorString());
    }
    return image;
}

} // namespace

Outcome<QString> recognizeFile(const QString& path, const std::atomic<bool>* cancelled)
{
    return recognizeNamedFile(QFile::encodeName(path), cancelled);
}

Outcome<QString> recognizeNamedFile(const QByteArray& name, const std::atomic<bool>* cancelled)
{
    const Outcome<QImage> image = loadImage(name);
    if (!image) {
        return image.error();
    }
    const Outcome<TextReader::Reading> reading = readerForThisThread().read(image.value(), cancelled);
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
