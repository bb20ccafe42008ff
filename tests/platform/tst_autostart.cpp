#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;

class TestAutostart : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit()); }

    // The Exec value reads back as the executable's path whatever characters it holds.
    void execValue_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << u"/usr/bin/quilvant"_s << u"\"/usr/bin/quilvant\""_s;
        QTest::newRow("space") << u"/opt/my apps/quilvant"_s << u"\"/opt/my apps/quilvant\""_s;
        QTest::newRow("reserved characters") << u"/x/a\"b$c`d\\e"_s << u"\"/x/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e\""_s;
        QTest::newRow("percent") << u"/x/100%/quilvant"_s << u"\"/x/100%%/quilvant\""_s;
    }
    void execValue()
    {
        QFETCH(QString, executable);
        QFETCH(QString, exec);
        QCOMPARE(Autostart::execValue(executable), exec);
    }

    void enableAndDisable()
    {
        QCOMPARE(Autostart::entryPath(), m_config.filePath(u"autostart/quilvant.desktop"_s));
        QVERIFY(!Autostart::enabled());
        QVERIFY(Autostart::setEnabled(true, u"/usr/bin/quilvant"_s));
        QVERIFY(Autostart::enabled());
        QFile entry(Autostart::entryPath());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        QVERIFY(entry.readAll().contains("\nExec=\"/usr/bin/quilvant\"\n"));
        QVERIFY(Autostart::setEnabled(false, QString()));
        QVERIFY(!Autostart::enabled());
        QVERIFY(Autostart::setEnabled(false, QString())); // nothing to remove is no failure
    }

    void failedWriteIsReported()
    {
        // A file where the autostart folder belongs.
        QVERIFY(QDir(m_config.filePath(u"autostart"_s)).removeRecursively());
        QFile blocker(m_config.filePath(u"autostart"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const Outcome<void> written = Autostart::setEnabled(true, u"/usr/bin/quilvant"_s);
        QVERIFY(!written);
        QVERIFY(written.error().description().contains(u"autostart"_s));
        QVERIFY(!Autostart::enabled());
        QVERIFY(blocker.remove());
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
