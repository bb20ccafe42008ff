#include "foundation/Settings.h"
#include "history/History.h"
#include "history/HistoryExport.h"
#include "history/HistoryStore.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace quilvant;
using namespace quilvant::test;

namespace {

CompletedTranslation entry(const QString& source, const QString& translation)
{
    return {QDateTime::currentDateTimeUtc(), source, translation, QStringLiteral("zh-Hans"), EngineKind::Hosted};
}

QStringList strings(std::initializer_list<const char*> texts)
{
    QStringList list;
    for (const char* text : texts) {
        list << QString::fromUtf8(text);
    }
    return list;
}

QStringList sources(const HistoryEntries& entries)
{
    QStringList list;
    for (const HistoryEntry& e : entries) {
        list << e.translation.source;
    }
    return list;
}

// RFC 4180 records, read back the way a spreadsheet would.
QList<QStringList> readCsv(const QByteArray& bytes)
{
    QList<QStringList> rows;
    QStringList row;
    QByteArray field;
    bool quoted = false;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (quoted) {
            if (c == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << QString::fromUtf8(std::exchange(field, {}));
        } else if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            row << QString::fromUtf8(std::exchange(field, {}));
            rows << std::exchange(row, {});
            ++i;
        } else {
            field += c;
        }
    }
    return rows;
}

// What the flash-card program shows of an HTML field.
QString shownOnCard(QByteArray field)
{
    field.replace("<br>", "\n")
        .replace("&#9;", "\t")
        .replace("&#35;", "#")
        .replace("&quot;", "\"")
        .replace("&lt;", "<");
    return QString::fromUtf8(field.replace("&gt;", ">").replace("&amp;", "&"));
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<HistoryStore> m_store;
    const QList<std::pair<QString, QString>> m_kept{
        {QStringLiteral("The world is wide"), QStringLiteral("世界很大")},
        {QStringLiteral("你好世界，今天天气很好"), QStringLiteral("Hello world, nice weather today")},
        {QStringLiteral("こんにちは世界の皆さん"), QStringLiteral("Hello everyone in the world")},
        {QStringLiteral("안녕하세요 여러분"), QStringLiteral("Hello everybody")},
        {QStringLiteral("100% sure_thing"), QStringLiteral("百分之百")},
    };

    QString path(const QString& name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", path(QStringLiteral("config")).toUtf8());
        m_store = std::make_unique<HistoryStore>(path(QStringLiteral("data/quilvant/history.sqlite")));
        for (const auto& [source, translation] : m_kept) {
            QVERIFY(m_store->add(entry(source, translation)).ok());
        }
    }

    void filesArePrivate()
    {
        const auto mode = [this](const QString& name) {
            struct stat info
            {
            };
            return ::stat(QFile::encodeName(path(name)).constData(), &info) == 0 ? info.st_mode & 0777 : 0U;
        };
        QCOMPARE(mode(QStringLiteral("data/quilvant/history.sqlite")), 0600U);
        QCOMPARE(mode(QStringLiteral("data/quilvant")), 0700U);
    }

    void search_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("limit");
        const auto kept = [this](std::initializer_list<int> indexes) {
            QStringList list;
            for (const int i : indexes) {
                list << m_kept[i].first;
            }
            return list;
        };
        QTest::newRow("two Han characters inside a sentence") << QStringLiteral("世界") << kept({2, 1, 0}) << -1;
        QTest::newRow("kana") << QStringLiteral("こんにちは") << kept({2}) << -1;
        QTest::newRow("hangul, two syllables") << QStringLiteral("여러") << kept({3}) << -1;
        QTest::newRow("hangul word") << QStringLiteral("안녕하세요") << kept({3}) << -1;
        QTest::newRow("latin, any case") << QStringLiteral("WORLD") << kept({2, 1, 0}) << -1;
        QTest::newRow("every word must match") << QStringLiteral("hello 世界") << kept({2, 1}) << -1;
        QTest::newRow("percent is a character") << QStringLiteral("%") << kept({4}) << -1;
        QTest::newRow("underscore is a character") << QStringLiteral("e_t") << kept({4}) << -1;
        QTest::newRow("quotes are characters") << QStringLiteral("\"wide") << QStringList() << -1;
        QTest::newRow("blank: everything, newest first") << QStringLiteral("  ") << kept({4, 3, 2, 1, 0}) << -1;
        QTest::newRow("nothing") << QStringLiteral("xyzzy") << QStringList() << -1;
        QTest::newRow("through the index, the newest two") << QStringLiteral("world") << kept({2, 1}) << 2;
        QTest::newRow("by scanning, the newest one") << QStringLiteral("世界") << kept({2}) << 1;
        QTest::newRow("latin scan, any case") << QStringLiteral("WO") << kept({2, 1, 0}) << -1;
    }

    void search()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        QFETCH(int, limit);
        const Outcome<HistoryEntries> found = m_store->search(query, limit);
        QVERIFY2(found.ok(), qPrintable(found.error().description()));
        QCOMPARE(sources(found.value()), expected);
    }

    void oldestGoBeyondTheLimit()
    {
        HistoryStore small(path(QStringLiteral("small.sqlite")), 3);
        for (int i = 0; i < 5; ++i) {
            QVERIFY(small.add(entry(QString::number(i), QStringLiteral("x"))).ok());
        }
        QCOMPARE(sources(small.search(QString()).value()), strings({"4", "3", "2"}));
        QVERIFY(small.remove(small.search(QStringLiteral("3")).value().at(0).id).ok());
        QCOMPARE(sources(small.search(QString()).value()), strings({"4", "2"}));
        QVERIFY(small.clear().ok());
        QCOMPARE(small.count().value(), 0);
    }

    void brokenFileIsSetAside()
    {
        const QString file = path(QStringLiteral("broken.sqlite"));
        QFile garbage(file);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(8192, 'x'));
        garbage.close();

        HistoryStore store(file);
        QVERIFY(store.add(entry(QStringLiteral("after"), QStringLiteral("之后"))).ok());
        const std::optional<QString> aside = store.takeSetAside();
        QVERIFY(aside.has_value());
        QVERIFY(!store.takeSetAside().has_value()); // said once
        QFile moved(*aside);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), QByteArray(8192, 'x'));
        QCOMPARE(sources(store.search(QString()).value()), QStringList{QStringLiteral("after")});

        HistoryStore reopened(file);
        QCOMPARE(reopened.count().value(), 1);
        QVERIFY(!reopened.takeSetAside().has_value());
    }

    void exportsReadBack()
    {
        HistoryEntries entries = m_store->search(QString()).value();
        entries[0].translation.source = QStringLiteral("a, \"quoted\"\nline\tand <b>tag</b> & more");
        entries[0].translation.translation = QStringLiteral("第一行\r\n第二行");

        const QString csvFile = path(QStringLiteral("export.csv"));
        QVERIFY(HistoryExport::write(csvFile, HistoryExport::csv(entries)).ok());
        QFile csv(csvFile);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QByteArray bytes = csv.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QList<QStringList> rows = readCsv(bytes.mid(3));
        QCOMPARE(rows.size(), entries.size() + 1);
        QCOMPARE(rows[0], strings({"time", "source", "translation", "target", "engine"}));
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const CompletedTranslation& t = entries[i].translation;
            QCOMPARE(rows[i + 1], (QStringList{t.time.toUTC().toString(Qt::ISODate), t.source, t.translation, t.target,
                                               HistoryExport::engineName(t.engine)}));
        }

        const QByteArray cards = HistoryExport::cards(entries);
        QList<QByteArray> lines = cards.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        QCOMPARE(lines.mid(0, 3), (QList<QByteArray>{"#separator:tab", "#html:true", "#columns:Front\tBack"}));
        lines = lines.mid(3);
        QCOMPARE(lines.size(), entries.size());
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const QList<QByteArray> fields = lines[i].split('\t');
            QCOMPARE(fields.size(), 2);
            QCOMPARE(shownOnCard(fields[0]), entries[i].translation.source);
            QCOMPARE(shownOnCard(fields[1]),
                     QString(entries[i].translation.translation).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        }
        QVERIFY(!HistoryExport::write(path(QStringLiteral("missing/dir/x.csv")), "x").ok());
    }

    // Texts a spreadsheet would run as formulas are kept as text; a note the flash-card program would take for a
    // comment line stays a note.
    void exportsAreInert_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cell");
        QTest::newRow("equals") << QStringLiteral("=1+1") << QStringLiteral("'=1+1");
        QTest::newRow("plus") << QStringLiteral("+33 1 23 45") << QStringLiteral("'+33 1 23 45");
        QTest::newRow("minus") << QStringLiteral("-2+3") << QStringLiteral("'-2+3");
        QTest::newRow("at") << QStringLiteral("@SUM(A1:A2)") << QStringLiteral("'@SUM(A1:A2)");
        QTest::newRow("tab first") << QStringLiteral("\t=1") << QStringLiteral("'\t=1");
        QTest::newRow("carriage return first") << QStringLiteral("\r=1, 2") << QStringLiteral("'\r=1, 2");
        QTest::newRow("inside is harmless") << QStringLiteral("a=b-c") << QStringLiteral("a=b-c");
        QTest::newRow("hash first") << QStringLiteral("#1 hit") << QStringLiteral("#1 hit");
    }

    void exportsAreInert()
    {
        QFETCH(QString, text);
        QFETCH(QString, cell);
        const HistoryEntries entries{{1, entry(text, text)}};
        const QList<QStringList> rows = readCsv(HistoryExport::csv(entries).mid(3));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].mid(1, 2), (QStringList{cell, cell}));

        const QList<QByteArray> lines = HistoryExport::cards(entries).split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY(!lines[3].startsWith('#'));
        const QList<QByteArray> fields = lines[3].split('\t');
        QCOMPARE(fields.size(), 2);
        QCOMPARE(shownOnCard(fields[0]), QString(text).replace(u'\r', u'\n'));
        QCOMPARE(shownOnCard(fields[1]), QString(text).replace(u'\r', u'\n'));
    }

    void recordsFinishedTranslationsWhileOn()
    {
        qputenv("XDG_DATA_HOME", path(QStringLiteral("recorded")).toUtf8());
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        auto engines = std::make_shared<ScriptedEngines>();
        Model model(engines);
        History history(HistoryStore::defaultPath());
        history.follow(model);
        QSignalSpy changed(&history, &History::changed);
        const auto translate = [&](const QString& source, std::optional<QString> result) {
            const qsizetype before = engines->calls.size();
            model.setSource(source);
            model.translate();
            QTRY_COMPARE(engines->calls.size(), before + 1);
            engines->calls.last().finish(result ? Outcome<QString>(*result)
                                                : Outcome<QString>(AppFailure{QStringLiteral("no")}));
        };

        translate(QStringLiteral("kept"), QStringLiteral("留下"));
        QTRY_COMPARE(changed.size(), 1);
        translate(QStringLiteral("failed"), std::nullopt);
        Settings::setValue(Settings::Key::keepHistory, false);
        translate(QStringLiteral("while off"), QStringLiteral("关"));
        Settings::remove(Settings::Key::keepHistory);
        translate(QStringLiteral("on again"), QStringLiteral("开"));
        QTRY_COMPARE(changed.size(), 2);

        HistoryEntries found;
        history.search(QString(), -1, [&found](Outcome<HistoryEntries> outcome) { found = outcome.value(); });
        QTRY_COMPARE(sources(found), strings({"on again", "kept"}));
        QCOMPARE(found[1].translation.translation, QStringLiteral("留下"));
        QCOMPARE(found[1].translation.target, QStringLiteral("zh-Hans"));
        QCOMPARE(found[1].translation.engine, EngineKind::Hosted);
    }
};

QTEST_MAIN(TestHistory)
#include "tst_history.moc"
