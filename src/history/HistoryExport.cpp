#include "history/HistoryExport.h"

#include "foundation/L.h"

#include <QSaveFile>
#include <string_view>

namespace quilvant::HistoryExport {

namespace {

// A spreadsheet runs a cell that begins with one of these as a formula (a tab or carriage return can stand
// before one): such a cell is written after an apostrophe, which keeps it text.
bool formulaLike(const QByteArray& field)
{
    return !field.isEmpty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos;
}

QByteArray csvField(const QString& text)
{
    QByteArray field = text.toUtf8();
    if (formulaLike(field)) {
        field.prepend('\'');
    }
    if (!field.contains(',') && !field.contains('"') && !field.contains('\n') && !field.contains('\r')) {
        return field;
    }
    field.replace('"', "\"\"");
    return '"' + field + '"';
}

QByteArray cardField(const QString& text)
{
    QString field = text.toHtmlEscaped();
    field.replace(QStringLiteral("\r\n"), QStringLiteral("<br>"));
    field.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    field.replace(QLatin1Char('\r'), QStringLiteral("<br>"));
    field.replace(QLatin1Char('\t'), QStringLiteral("&#9;"));
    // A line that begins with # is read as a comment of the file's header, and the note would be lost.
    if (field.startsWith(QLatin1Char('#'))) {
        field.replace(0, 1, QStringLiteral("&#35;"));
    }
    return field.toUtf8();
}

} // namespace

QString engineName(EngineKind engine)
{
    return L::t(Engines::storedName(engine));
}

QByteArray csv(const HistoryEntries& entries)
{
    QByteArray out = "\xEF\xBB\xBFtime,source,translation,target,engine\r\n";
    for (const HistoryEntry& entry : entries) {
        const CompletedTranslation& t = entry.translation;
        out += csvField(t.time.toUTC().toString(Qt::ISODate)) + ',' + csvField(t.source) + ',' +
               csvField(t.translation) + ',' + csvField(t.target) + ',' + csvField(engineName(t.engine)) + "\r\n";
    }
    return out;
}

QByteArray cards(const HistoryEntries& entries)
{
    QByteArray out = "#separator:tab\n#html:true\n#columns:Front\tBack\n";
    for (const HistoryEntry& entry : entries) {
        out += cardField(entry.translation.source) + '\t' + cardField(entry.translation.translation) + '\n';
    }
    return out;
}

Outcome<void> write(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return Error::system(QStringLiteral("%1: %2").arg(path, file.errorString()));
    }
    return {};
}

} // namespace quilvant::HistoryExport
