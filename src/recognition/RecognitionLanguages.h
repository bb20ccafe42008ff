#pragma once

#include <QList>
#include <QString>

// Which recognition languages this system can read: the installed Tesseract data files among the preferred ones.
namespace quilvant::RecognitionLanguages {

struct Language
{
    QString code;  // "en-US", "zh-Hans", …
    QString model; // the Tesseract data file's base name: "eng", "chi_sim", …
};

// The languages recognition prefers, in order of preference.
const QList<Language>& preferred();

// The folder that holds the *.traineddata files: the one set with setDataPath(), else $TESSDATA_PREFIX, else the
// first system location that exists.
QString dataPath();

// Overrides dataPath() for this process (tests point it at a folder with a subset); empty undoes the override.
void setDataPath(const QString& path);

// The preferred languages whose data file is in `folder`, in the preferred order.
QList<Language> supported(const QString& folder);

} // namespace quilvant::RecognitionLanguages
