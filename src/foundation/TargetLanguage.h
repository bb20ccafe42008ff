#pragma once

#include <QList>
#include <QString>

// The six target languages: the stored code, the native label and the English name.
namespace quilvant::TargetLanguage {

struct Entry
{
    QString code;
    QString nativeLabel;
    QString englishName;
};

// The table in its fixed order.
const QList<Entry>& all();

// The normalised code of a stored `language` value; the older stored labels are understood, anything else
// gives "zh-Hans".
QString code(const QString& value);

// The English name of the language, used in engine instructions.
QString prompt(const QString& value);

// The name shown for the language: the native label in the Chinese interface, the English name otherwise.
QString label(const QString& value);

} // namespace quilvant::TargetLanguage
