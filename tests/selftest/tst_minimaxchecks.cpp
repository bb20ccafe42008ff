#include "support/ChildProcess.h"

#include <QtTest>

using namespace quilvant::test;

// The MiniMax check modes as a user runs them. Only the offline paths: the speed check needs the real provider.
class MiniMaxChecksTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parserCheckPasses()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--minimax-parser-test")}, sandbox);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(),
                 QStringLiteral("PASS: SSE assembly, hidden reasoning, interrupted stream, truncation, "
                                "auth errors, HTTP-200 business errors\n"));
        QVERIFY(result.err.isEmpty());
    }

    void parserCheckPassesInAChineseInterface()
    {
        Sandbox sandbox;
        sandbox.writeSetting(QStringLiteral("uiLanguage"), QStringLiteral("zh"));
        const RunResult result = runQuilvant({QStringLiteral("--minimax-parser-test")}, sandbox);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.outText().startsWith(QStringLiteral("PASS: SSE assembly")));
    }

    void speedCheckWithoutKeyFails_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("closed input") << QByteArray() << QStringList{QStringLiteral("--minimax-speed-test")};
        QTest::newRow("empty line, optimized only")
            << QByteArray("\n")
            << QStringList{QStringLiteral("--optimized-only"), QStringLiteral("--minimax-speed-test")};
    }

    void speedCheckWithoutKeyFails()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, arguments);
        Sandbox sandbox;
        const RunResult result = runQuilvant(arguments, sandbox, RunOptions{input, 60'000});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("FAIL: Test key not supplied on stdin\n"));
        QVERIFY(result.out.isEmpty());
    }

    void parserModeComesFirst()
    {
        Sandbox sandbox;
        const RunResult result =
            runQuilvant({QStringLiteral("--regression-test"), QStringLiteral("--minimax-speed-test"),
                         QStringLiteral("--minimax-parser-test")},
                        sandbox, RunOptions{QByteArray(), 60'000});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.outText().startsWith(QStringLiteral("PASS: SSE assembly")));
    }
};

QTEST_GUILESS_MAIN(MiniMaxChecksTest)
#include "tst_minimaxchecks.moc"
