// Launch at login: the state read back from the person's and the system's autostart entries.
#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;
using namespace Qt::Literals::StringLiterals;

namespace {

void writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

const QByteArray plainEntry = "[Desktop Entry]\nType=Application\nExec=quilvant\n";

} // namespace

class TestAutostart : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    QString systemEntry() const { return m_root->filePath(u"system/autostart/quilvant.desktop"_s); }

private Q_SLOTS:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_root->filePath(u"home"_s).toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", (m_root->filePath(u"system"_s) + u":/nonexistent"_s).toLocal8Bit());
    }

    void stateIsReadFromTheEntries_data()
    {
        QTest::addColumn<QByteArray>("own");    // the person's entry; null: none
        QTest::addColumn<QByteArray>("system"); // a system-wide entry; null: none
        QTest::addColumn<bool>("enabled");
        QTest::newRow("no entry") << QByteArray() << QByteArray() << false;
        QTest::newRow("own entry") << plainEntry << QByteArray() << true;
        QTest::newRow("own entry, hidden") << plainEntry + "Hidden=true\n" << QByteArray() << false;
        QTest::newRow("own entry, switched off") << plainEntry + "X-GNOME-Autostart-enabled=false\n"
                                                 << QByteArray() << false;
        QTest::newRow("hidden only in another group") << plainEntry + "[Desktop Action x]\nHidden=true\n"
                                                      << QByteArray() << true;
        QTest::newRow("system entry") << QByteArray() << plainEntry << true;
        QTest::newRow("own entry hides the system one") << plainEntry + "Hidden=true\n" << plainEntry << false;
    }

    void stateIsReadFromTheEntries()
    {
        QFETCH(QByteArray, own);
        QFETCH(QByteArray, system);
        QFETCH(bool, enabled);
        if (!own.isNull()) {
            writeFile(Autostart::path(), own);
        }
        if (!system.isNull()) {
            writeFile(systemEntry(), system);
        }
        QCOMPARE(Autostart::isEnabled(), enabled);
    }

    void turningOnAndOffWritesWhatReadsBack_data()
    {
        QTest::addColumn<bool>("systemEntry");
        QTest::newRow("own entry only") << false;
        QTest::newRow("over a system entry") << true;
    }

    void turningOnAndOffWritesWhatReadsBack()
    {
        QFETCH(bool, systemEntry);
        if (systemEntry) {
            writeFile(this->systemEntry(), plainEntry);
        }
        QVERIFY(Autostart::setEnabled(true, u"/opt/quilvant/bin/quilvant"_s).ok());
        QVERIFY(Autostart::isEnabled());
        QFile written(Autostart::path());
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray entry = written.readAll();
        QVERIFY(entry.contains("\nExec=\"/opt/quilvant/bin/quilvant\"\n"));
        // The same icon as the launcher's entry and the tray's.
        QVERIFY(entry.contains("\nIcon=" QUILVANT_ICON_NAME "\n"));

        QVERIFY(Autostart::setEnabled(false, u"/opt/quilvant/bin/quilvant"_s).ok());
        QVERIFY(!Autostart::isEnabled());
        // Without a system entry our own file simply goes; over one, it stays to hide it.
        QCOMPARE(QFile::exists(Autostart::path()), systemEntry);
        QCOMPARE(QFile::exists(this->systemEntry()), systemEntry);
    }

    void execLineQuotesThePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << u"/usr/bin/quilvant"_s << u"\"/usr/bin/quilvant\""_s;
        QTest::newRow("space") << u"/home/a b/quilvant"_s << u"\"/home/a b/quilvant\""_s;
        QTest::newRow("reserved characters") << u"/x/\"$`\\q"_s << u"\"/x/\\\\\"\\\\$\\\\`\\\\\\\\q\""_s;
        QTest::newRow("percent") << u"/x/100%/q"_s << u"\"/x/100%%/q\""_s;
    }

    void execLineQuotesThePath()
    {
        QFETCH(QString, path);
        QFETCH(QString, line);
        QCOMPARE(Autostart::execLine(path), line);
    }

    void failuresAreReportedAndChangeNothing()
    {
        QVERIFY(QDir().mkpath(Autostart::path())); // a folder where the entry goes
        const Outcome<void> written = Autostart::setEnabled(true, u"/usr/bin/quilvant"_s);
        QVERIFY(!written.ok());
        QVERIFY(written.error().description().contains(Autostart::path()));
        QVERIFY(!Autostart::isEnabled());
        QVERIFY(!Autostart::setEnabled(true, u"/usr/bin/quil\nvant"_s).ok());
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
