#include "foundation/Secrets.h"
#include "support/ChildProcess.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>

using namespace quilvant;
using namespace quilvant::test;

namespace {

struct ToolResult
{
    int status = -1;
    QByteArray out;
};

ToolResult secretTool(const QStringList& arguments, const QByteArray& input = {})
{
    QProcess process;
    process.start(QStringLiteral("secret-tool"), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return {process.exitCode(), process.readAllStandardOutput()};
}

const QStringList itemAttributes{QStringLiteral("service"), QStringLiteral("local.kestu.translation"),
                                 QStringLiteral("account"), QStringLiteral("minimax")};

QByteArray storedBytes()
{
    return secretTool(QStringList{QStringLiteral("lookup")} + itemAttributes).out;
}

int itemCount()
{
    const QByteArray listing =
        secretTool(QStringList{QStringLiteral("search"), QStringLiteral("--all")} + itemAttributes).out;
    int count = 0;
    for (const QByteArray& line : listing.split('\n')) {
        count += line.startsWith('[') ? 1 : 0;
    }
    return count;
}

// A session bus of our own without the secrets service, and without service files that could start one.
class BareBus
{
public:
    BareBus()
    {
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                    "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                    "<auth>EXTERNAL</auth><policy context=\"default\">"
                                    "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                    "<allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_dir.path())
                         .toUtf8());
        config.close();
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                       QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        m_daemon.waitForStarted();
        while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~BareBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    const QString& address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

bool treeContains(const QString& root, const QByteArray& needle)
{
    QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle)) {
            return true;
        }
    }
    return false;
}

} // namespace

class TestSecrets : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(Secrets::save(QString())); }
    void cleanupTestCase() { QVERIFY(Secrets::save(QString())); }

    void missingItemReadsEmpty() { QCOMPARE(Secrets::read(), QString()); }

    void storesExactBytesOnce_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << QStringLiteral("sk-test-123");
        QTest::newRow("spaces at both ends are kept") << QStringLiteral("  sk key \t");
        QTest::newRow("non-ASCII") << QStringLiteral("clé-密钥");
    }
    void storesExactBytesOnce()
    {
        QFETCH(QString, key);
        QVERIFY(Secrets::save(QStringLiteral("an earlier value")));
        QVERIFY(Secrets::save(key));
        QVERIFY(Secrets::save(key));
        QCOMPARE(itemCount(), 1);
        QCOMPARE(storedBytes(), key.toUtf8());
        QCOMPARE(Secrets::read(), key);
    }

    void emptySaveRemovesTheItem()
    {
        QVERIFY(Secrets::save(QStringLiteral("sk-gone")));
        QVERIFY(Secrets::save(QString()));
        QCOMPARE(itemCount(), 0);
        QCOMPARE(Secrets::read(), QString());
        QVERIFY2(Secrets::save(QString()), "removing a missing item is not an error");
    }

    void itemOfAnotherToolIsReadAndReplaced()
    {
        QCOMPARE(secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=other")} + itemAttributes,
                            "sk-from-elsewhere")
                     .status,
                 0);
        QCOMPARE(Secrets::read(), QStringLiteral("sk-from-elsewhere"));
        QVERIFY(Secrets::save(QStringLiteral("sk-ours")));
        QCOMPARE(storedBytes(), QByteArray("sk-ours"));
        QCOMPARE(itemCount(), 1);
    }

    void duplicatesConvergeToOneItem()
    {
        for (const char* extra : {"a", "b"}) {
            QCOMPARE(secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=dup")} + itemAttributes +
                                    QStringList{QStringLiteral("extra"), QString::fromLatin1(extra)},
                                QByteArray("old-") + extra)
                         .status,
                     0);
        }
        QCOMPARE(itemCount(), 2);
        QVERIFY(Secrets::save(QStringLiteral("sk-one")));
        QCOMPARE(itemCount(), 1);
        QCOMPARE(Secrets::read(), QStringLiteral("sk-one"));
    }

    void dataThatIsNotUtf8ReadsEmpty()
    {
        QCOMPARE(secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=raw")} + itemAttributes,
                            QByteArray("sk-\xff\xfe-\xc3"))
                     .status,
                 0);
        QCOMPARE(storedBytes(), QByteArray("sk-\xff\xfe-\xc3"));
        QCOMPARE(Secrets::read(), QString());
    }

    void accountsAreSeparate()
    {
        QVERIFY(Secrets::save(QStringLiteral("api key")));
        QVERIFY(Secrets::save(QStringLiteral("token"), Secrets::serviceAccount));
        QCOMPARE(Secrets::read(), QStringLiteral("api key"));
        QCOMPARE(Secrets::read(Secrets::serviceAccount), QStringLiteral("token"));
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount));
        QCOMPARE(Secrets::read(), QStringLiteral("api key"));
    }

    void readLaterDeliversOnTheCallersThread()
    {
        QVERIFY(Secrets::save(QStringLiteral("sk-later")));
        QObject context;
        QString value;
        Qt::HANDLE thread = nullptr;
        Secrets::readLater(Secrets::minimaxAccount, &context, [&](const QString& read) {
            value = read;
            thread = QThread::currentThreadId();
        });
        QTRY_COMPARE(value, QStringLiteral("sk-later"));
        QCOMPARE(thread, QThread::currentThreadId());
    }

    void saveLaterReportsOnTheCallersThread()
    {
        QObject context;
        std::optional<Outcome<void>> saved;
        Qt::HANDLE thread = nullptr;
        Secrets::saveLater(QStringLiteral(" sk-saved-later"), Secrets::minimaxAccount, &context,
                           [&](Outcome<void> outcome) {
                               saved = std::move(outcome);
                               thread = QThread::currentThreadId();
                           });
        QTRY_VERIFY(saved.has_value());
        QVERIFY(saved->ok());
        QCOMPARE(thread, QThread::currentThreadId());
        QCOMPARE(storedBytes(), QByteArray(" sk-saved-later"));
    }

    void readLaterDropsTheAnswerForAGoneReceiver()
    {
        bool called = false;
        {
            QObject context;
            Secrets::readLater(Secrets::minimaxAccount, &context, [&](const QString&) { called = true; });
        }
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!called);
    }

    void withoutKeyringServiceSavingFailsAndWritesNothing()
    {
        BareBus bus;
        QVERIFY(bus.address().startsWith(QStringLiteral("unix:")));
        Sandbox sandbox;
        sandbox.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        const QByteArray key = "sk-must-not-land-in-a-file-4711";
        const RunResult saved =
            runProgram(QStringLiteral(SECRETS_PROBE), {QStringLiteral("save"), QString::fromUtf8(key)}, sandbox,
                       {.input = {}, .timeoutMs = 60000});
        QCOMPARE(saved.exitCode, 1);
        QCOMPARE(saved.errText(), QStringLiteral("Could not save the API key to the keyring.\n"));
        QVERIFY(!treeContains(sandbox.root(), key));

        const RunResult read = runProgram(QStringLiteral(SECRETS_PROBE), {QStringLiteral("read")}, sandbox);
        QCOMPARE(read.exitCode, 0);
        QCOMPARE(read.out, QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
