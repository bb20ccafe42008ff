#include "history/HistoryExport.h"

#include "foundation/L.h"

#include <QSaveFile>

namespace quilvant::HistoryExport {

namespace {

QByteArray csvField(const QString& text)
{
    QByteArray field = text.toUtf8();
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
