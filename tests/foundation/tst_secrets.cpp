#include "foundation/Secrets.h"
#include "support/BareBus.h"
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

// The stored text, failing the test when the keyring could not say.
QString readValue(const QString& account = Secrets::minimaxAccount)
{
    const Secrets::Stored stored = Secrets::read(account);
    if (stored.state != Secrets::Stored::State::Found && stored.state != Secrets::Stored::State::Absent) {
        qWarning("keyring: %s", qPrintable(stored.message()));
        return QStringLiteral("<unreadable>");
    }
    return stored.value;
}

RunResult probe(const QStringList& arguments, const Sandbox& sandbox)
{
    return runProgram(QStringLiteral(SECRETS_PROBE), arguments, sandbox, {.input = {}, .timeoutMs = 60000});
}

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

    void missingItemReadsEmpty()
    {
        QCOMPARE(Secrets::read().state, Secrets::Stored::State::Absent);
        QCOMPARE(readValue(), QString());
    }

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
        QCOMPARE(readValue(), key);
    }

    void emptySaveRemovesTheItem()
    {
        QVERIFY(Secrets::save(QStringLiteral("sk-gone")));
        QVERIFY(Secrets::save(QString()));
        QCOMPARE(itemCount(), 0);
        QCOMPARE(readValue(), QString());
        QVERIFY2(Secrets::save(QString()), "removing a missing item is not an error");
    }

    void itemOfAnotherToolIsReadAndReplaced()
    {
        QCOMPARE(secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=other")} + itemAttributes,
                            "sk-from-elsewhere")
                     .status,
                 0);
        QCOMPARE(readValue(), QStringLiteral("sk-from-elsewhere"));
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
        QCOMPARE(readValue(), QStringLiteral("sk-one"));
    }

    void dataThatIsNotUtf8IsToldApart()
    {
        QCOMPARE(secretTool(QStringList{QStringLiteral("store"), QStringLiteral("--label=raw")} + itemAttributes,
                            QByteArray("sk-\xff\xfe-\xc3"))
                     .status,
                 0);
        QCOMPARE(storedBytes(), QByteArray("sk-\xff\xfe-\xc3"));
        const Secrets::Stored stored = Secrets::read();
        QCOMPARE(stored.state, Secrets::Stored::State::NotUtf8);
        QCOMPARE(stored.value, QString());
        QCOMPARE(stored.text().error().description(), stored.message());
    }

    void accountsAreSeparate()
    {
        QVERIFY(Secrets::save(QStringLiteral("api key")));
        QVERIFY(Secrets::save(QStringLiteral("token"), Secrets::serviceAccount));
        QCOMPARE(readValue(), QStringLiteral("api key"));
        QCOMPARE(readValue(Secrets::serviceAccount), QStringLiteral("token"));
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount));
        QCOMPARE(readValue(), QStringLiteral("api key"));
    }

    void readLaterDeliversOnTheCallersThread()
    {
        QVERIFY(Secrets::save(QStringLiteral("sk-later")));
        QObject context;
        QString value;
        Qt::HANDLE thread = nullptr;
        Secrets::readLater(Secrets::minimaxAccount, &context, [&](const Secrets::Stored& read) {
            value = read.value;
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
            Secrets::readLater(Secrets::minimaxAccount, &context, [&](const Secrets::Stored&) { called = true; });
        }
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(!called);
    }

    // A line break in a key would end up inside a request's header.
    void keysWithControlCharactersAreRefused_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("line feed") << QStringLiteral("sk-1\nX-Injected: 1");
        QTest::newRow("carriage return") << QStringLiteral("sk-1\r");
        QTest::newRow("NUL") << QString::fromUtf16(u"sk\0", 3);
        QTest::newRow("escape") << QStringLiteral("sk-\x1b[0m");
        QTest::newRow("C1") << QStringLiteral("sk-\u0085");
    }
    void keysWithControlCharactersAreRefused()
    {
        QFETCH(QString, key);
        QVERIFY(Secrets::save(QStringLiteral("sk-kept")));
        for (const QString& account : {Secrets::minimaxAccount, Secrets::serviceAccount}) {
            const Outcome<void> saved = Secrets::save(key, account);
            QVERIFY(!saved);
            QCOMPARE(saved.error().description(), QStringLiteral("A key cannot contain control characters such as "
                                                                 "line breaks."));
        }
        QCOMPARE(readValue(), QStringLiteral("sk-kept"));
        QCOMPARE(readValue(Secrets::serviceAccount), QString());
    }

    void withoutKeyringServiceNothingIsWrittenAndEveryFailureSaysSo()
    {
        BareBus bus;
        QVERIFY(bus.address().startsWith(QStringLiteral("unix:")));
        Sandbox sandbox;
        sandbox.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        const QByteArray key = "sk-must-not-land-in-a-file-4711";
        const QString unreachable = QStringLiteral("The keyring cannot be reached: ");
        for (const QString& saving : {QString::fromUtf8(key), QString()}) { // removing fails as well
            const RunResult saved = probe({QStringLiteral("save"), saving}, sandbox);
            QCOMPARE(saved.exitCode, 1);
            QVERIFY2(saved.errText().startsWith(unreachable), saved.err.constData());
        }
        QVERIFY(!treeContains(sandbox.root(), key));

        const RunResult read = probe({QStringLiteral("read")}, sandbox);
        QCOMPARE(read.exitCode, 1);
        QVERIFY2(read.errText().startsWith(unreachable), read.err.constData());
        QCOMPARE(read.out, QByteArray());
    }

    // A keyring whose collection is locked (and no unlock prompt can be shown) is not "no key".
    void lockedKeyringIsToldApart()
    {
        BareBus bus;
        Sandbox sandbox;
        QVERIFY(bus.startKeyring(sandbox));
        QCOMPARE(probe({QStringLiteral("save"), QStringLiteral("sk-locked-away")}, sandbox).exitCode, 0);
        QCOMPARE(probe({QStringLiteral("read")}, sandbox).out, QByteArray("sk-locked-away"));
        QVERIFY(bus.lockDefaultCollection());
        const QString locked = QStringLiteral("The keyring is locked. Unlock it and try again.\n");
        const RunResult read = probe({QStringLiteral("read")}, sandbox);
        QCOMPARE(read.errText(), locked);
        QCOMPARE(read.exitCode, 1);
        const RunResult saved = probe({QStringLiteral("save"), QStringLiteral("sk-new")}, sandbox);
        QCOMPARE(saved.errText(), locked);
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
