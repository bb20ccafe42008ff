#include "foundation/TargetLanguage.h"

#include "foundation/L.h"

namespace quilvant::TargetLanguage {

const QList<Entry>& all()
{
    static const QList<Entry> entries = {
        {QStringLiteral("zh-Hans"), QStringLiteral("简体中文"), QStringLiteral("Simplified Chinese")},
        {QStringLiteral("zh-Hant"), QStringLiteral("繁體中文"), QStringLiteral("Traditional Chinese")},
        {QStringLiteral("ja"), QStringLiteral("日本語"), QStringLiteral("Japanese")},
        {QStringLiteral("ko"), QStringLiteral("한국어"), QStringLiteral("Korean")},
        {QStringLiteral("fr"), QStringLiteral("Français"), QStringLiteral("French")},
        {QStringLiteral("en"), QStringLiteral("English"), QStringLiteral("English")},
    };
    return entries;
}

namespace {

const Entry& entryFor(const QString& value)
{
    const QString normalised = code(value);
    for (const Entry& entry : all()) {
        if (entry.code == normalised) {
            return entry;
        }
    }
    return all().first();
}

} // namespace

QString code(const QString& value)
{
    if (value == QStringLiteral("简体中文")) {
        return QStringLiteral("zh-Hans");
    }
    if (value == QStringLiteral("繁體中文")) {
        return QStringLiteral("zh-Hant");
    }
    for (const Entry& entry : all()) {
        if (entry.code == value) {
            return entry.code;
        }
    }
    return QStringLiteral("zh-Hans");
}

QString prompt(const QString& value)
{
    return entryFor(value).englishName;
}

QString label(const QString& value)
{
    const Entry& entry = entryFor(value);
    return L::chinese() ? entry.nativeLabel : entry.englishName;
}

} // namespace quilvant::TargetLanguage
