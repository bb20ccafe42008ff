#include "app/Dispatcher.h"
#include "support/ChildProcess.h"

#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

class TestDispatcher : public QObject
{
    Q_OBJECT

private:
    Sandbox m_sandbox;

    RunResult probe(const QStringList& arguments)
    {
        return runProgram(testProgram(QStringLiteral("dispatch_probe")), arguments, m_sandbox);
    }

private Q_SLOTS:
    void selection_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stdoutText");
        QTest::addColumn<int>("status");

        QTest::newRow("no flag starts normally") << QStringList{} << QStringLiteral("normal start\n") << 0;
        QTest::newRow("words that are no options start normally")
            << QStringList{QStringLiteral("ocr-test"), QStringLiteral("x.png")} << QStringLiteral("normal start\n")
            << 0;
        QTest::newRow("Qt's own options start normally")
            << QStringList{QStringLiteral("-platform"),     QStringLiteral("offscreen"),
                           QStringLiteral("--reverse"),     QStringLiteral("-style=fusion"),
                           QStringLiteral("-qwindowtitle"), QStringLiteral("-x")}
            << QStringLiteral("normal start\n") << 0;
        QTest::newRow("first flag of the table wins over argument order")
            << QStringList{QStringLiteral("--smoke-test"), QStringLiteral("--ocr-test")} << QStringLiteral("ran ocr\n")
            << 0;
        QTest::newRow("a flag anywhere counts")
            << QStringList{QStringLiteral("x"), QStringLiteral("--smoke-test"), QStringLiteral("y")}
            << QStringLiteral("ran smoke\n") << 0;
        QTest::newRow("preview directory is the last argument")
            << QStringList{QStringLiteral("--ui-preview"), QStringLiteral("/tmp/out")}
            << QStringLiteral("output=/tmp/out\n") << 0;
        QTest::newRow("preview flag last gives itself as the directory")
            << QStringList{QStringLiteral("--ui-preview")} << QStringLiteral("output=--ui-preview\n") << 0;
        QTest::newRow("regression flag ignores the last argument")
            << QStringList{QStringLiteral("--ui-regression-test"), QStringLiteral("/tmp/out")}
            << QStringLiteral("output=/default/previews\n") << 0;
        QTest::newRow("asynchronous mode keeps the main thread serving")
            << QStringList{QStringLiteral("--transport-test"), QStringLiteral("/path/to/mock")}
            << QStringLiteral("mock=/path/to/mock\n") << 0;
        QTest::newRow("transport mock is the last argument whatever it is")
            << QStringList{QStringLiteral("--transport-test"), QStringLiteral("--smoke-test")}
            << QStringLiteral("mock=--smoke-test\n") << 0;
        QTest::newRow("speed test alone has no mock")
            << QStringList{QStringLiteral("--codex-speed-test"), QStringLiteral("/path/to/mock")}
            << QStringLiteral("mock=<none>\n") << 0;
    }

    void selection()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stdoutText);
        QFETCH(int, status);
        const RunResult result = probe(arguments);
        QVERIFY2(!result.crashed, result.err.constData());
        QCOMPARE(result.outText(), stdoutText);
        QCOMPARE(result.exitCode, status);
        QCOMPARE(result.errText(), QString());
    }

    void unknownOptionIsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option");
        QTest::newRow("a misspelt mode") << QStringList{QStringLiteral("--recognise"), QStringLiteral("x.png")}
                                         << QStringLiteral("--recognise");
        QTest::newRow("after Qt's options")
            << QStringList{QStringLiteral("--platform"), QStringLiteral("offscreen"), QStringLiteral("-reversed")}
            << QStringLiteral("-reversed");
    }
    void unknownOptionIsRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        const RunResult result = probe(arguments);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.outText(), QString());
        QCOMPARE(result.errText(), QStringLiteral("Unknown option: %1\nRun quilvant --help to see the modes and "
                                                  "options.\n")
                                       .arg(option));
    }

    // Qt would abort (status 134) without a display; the program says what it needs instead.
    void desktopWithoutDisplay_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("message");
        QTest::newRow("none set") << QString()
                                  << QStringLiteral("Quilvant needs a graphical session: neither DISPLAY nor "
                                                    "WAYLAND_DISPLAY is set.\n");
        QTest::newRow("nothing listening") << QStringLiteral(":4711")
                                           << QStringLiteral("Quilvant needs a graphical session: cannot open the "
                                                             "display :4711.\n");
    }
    void desktopWithoutDisplay()
    {
        QFETCH(QString, display);
        QFETCH(QString, message);
        Sandbox sandbox;
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            sandbox.unsetEnv(QString::fromLatin1(name));
        }
        if (!display.isEmpty()) {
            sandbox.setEnv(QStringLiteral("DISPLAY"), display);
        }
        const RunResult result = runQuilvant({}, sandbox, {{}, 60000});
        QCOMPARE(result.errText(), message);
        QCOMPARE(result.exitCode, 1);
        QVERIFY(!result.crashed);
    }

    // A result that cannot be written is a failure, however the mode itself went.
    void fullOutputFails_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("version") << QStringLiteral("--version") << QString();
        QTest::newRow("help") << QStringLiteral("--help") << QString();
        QTest::newRow("regression line") << QStringLiteral("--regression-test")
                                         << QStringLiteral("Regression test failed: ");
    }
    void fullOutputFails()
    {
        QFETCH(QString, mode);
        QFETCH(QString, prefix);
        const RunResult result =
            runProgram(QStringLiteral("sh"),
                       {QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$1\" > /dev/full"), quilvantBinary(), mode},
                       m_sandbox);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(),
                 prefix + QStringLiteral("Cannot write to standard output: No space left on device\n"));
    }

    void failureLineGoesToStandardErrorWithStatusOne()
    {
        const RunResult result = probe({QStringLiteral("--fail")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.outText(), QString());
        QCOMPARE(result.errText(), QStringLiteral("FAIL: 出错了 (boom)\n"));
    }

    void asynchronousFailureEndsTheProcess()
    {
        const RunResult result =
            probe({QStringLiteral("--transport-test"), QStringLiteral("--async-fail"), QStringLiteral("m")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.outText(), QStringLiteral("mock=m\n"));
        QCOMPARE(result.errText(), QStringLiteral("FAIL: late failure\n"));
    }

    void selectModeUsesTableOrder()
    {
        QList<app::Mode> table(3);
        table[0].flags = {QStringLiteral("--a")};
        table[1].flags = {QStringLiteral("--b"), QStringLiteral("--c")};
        table[2].flags = {QStringLiteral("--d")};
        QCOMPARE(app::selectMode(table, {QStringLiteral("--d"), QStringLiteral("--c")}), &table[1]);
        QCOMPARE(app::selectMode(table, {QStringLiteral("--a=1"), QStringLiteral("-a")}), nullptr);
        QCOMPARE(app::selectMode(table, {}), nullptr);
    }

    void programPrintsRegressionLine()
    {
        // Also present: later flags of the table, which must not run.
        const RunResult result = runQuilvant(
            {QStringLiteral("--version"), QStringLiteral("--regression-test"), QStringLiteral("--help")}, m_sandbox);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(),
                 QStringLiteral("PASS: delayed selection click, active capture, outside click, pinned window\n"));
        QCOMPARE(result.errText(), QString());
    }

    void programHelpAndVersion()
    {
        const RunResult help = runQuilvant({QStringLiteral("--help")}, m_sandbox);
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.outText().startsWith(QStringLiteral("Usage: quilvant")));
        QVERIFY(help.outText().contains(QStringLiteral("--regression-test")));
        QVERIFY(help.outText().contains(QStringLiteral("--version")));

        const RunResult version = runQuilvant({QStringLiteral("--version")}, m_sandbox);
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.outText(), QStringLiteral("quilvant " QUILVANT_VERSION "\n"));
    }

    void helpComesAfterTheDescribedModes()
    {
        const QList<app::Mode> table = app::programModes();
        const auto indexOf = [&table](const QString& flag) {
            for (qsizetype i = 0; i < table.size(); ++i) {
                if (table[i].flags.contains(flag)) {
                    return i;
                }
            }
            return qsizetype(-1);
        };
        const qsizetype help = indexOf(QStringLiteral("--help"));
        QVERIFY(help > 0);
        QVERIFY(indexOf(QStringLiteral("--version")) > help);
        for (const QString& described :
             {QStringLiteral("--ocr-test"), QStringLiteral("--ui-preview"), QStringLiteral("--minimax-parser-test"),
              QStringLiteral("--minimax-speed-test"), QStringLiteral("--transport-test"),
              QStringLiteral("--window-regression-test"), QStringLiteral("--regression-test"),
              QStringLiteral("--smoke-test")}) {
            QVERIFY2(indexOf(described) < help, qPrintable(described));
        }
    }
};

QTEST_GUILESS_MAIN(TestDispatcher)
#include "tst_dispatcher.moc"
