#include "recognition/RecognitionLanguages.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

namespace quilvant::RecognitionLanguages {

namespace {

QMutex overrideLock;
QString overridePath; // guarded by overrideLock

bool hasModel(const QString& folder, const QString& model)
{
    return QFileInfo(QDir(folder).filePath(model + QStringLiteral(".traineddata"))).isFile();
}

} // namespace

const QList<Language>& preferred()
{
    static const QList<Language> languages = {
        {QStringLiteral("en-US"), QStringLiteral("eng")},       {QStringLiteral("fr-FR"), QStringLiteral("fra")},
        {QStringLiteral("ja-JP"), QStringLiteral("jpn")},       {QStringLiteral("ko-KR"), QStringLiteral("kor")},
        {QStringLiteral("zh-Hans"), QStringLiteral("chi_sim")}, {QStringLiteral("zh-Hant"), QStringLiteral("chi_tra")},
    };
    return languages;
}

QString dataPath()
{
    {
        const QMutexLocker locker(&overrideLock);
        if (!overridePath.isEmpty()) {
            return overridePath;
        }
    }
    const QString prefix = qEnvironmentVariable("TESSDATA_PREFIX");
    if (!prefix.isEmpty()) {
        return QDir::cleanPath(prefix);
    }
    for (const QString& candidate :
         {QStringLiteral("/usr/share/tesseract-ocr/5/tessdata"),
          QStringLiteral("/usr/share/tesseract-ocr/4.00/tessdata"), QStringLiteral("/usr/share/tessdata"),
          QStringLiteral("/usr/local/share/tessdata")}) {
        if (QFileInfo(candidate).isDir()) {
            return candidate;
        }
    }
    return QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");
}

void setDataPath(const QString& path)
{
    const QMutexLocker locker(&overrideLock);
    overridePath = path.isEmpty() ? QString() : QDir::cleanPath(path);
}

QList<Language> supported(const QString& folder)
{
    QList<Language> result;
    for (const Language& language : preferred()) {
        if (hasModel(folder, language.model)) {
            result.append(language);
        }
    }
    return result;
}

} // namespace quilvant::RecognitionLanguages
