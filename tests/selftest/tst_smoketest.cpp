// The end-to-end smoke test, run as the real program; the agent is the app-server stand-in.
#include "support/ChildProcess.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

using namespace quilvant::test;

namespace {

QStringList fixturesLeft(const Sandbox& sandbox)
{
    return QDir(sandbox.privateTempDir())
        .entryList({QStringLiteral("kestu-ocr-test-*")}, QDir::AllEntries | QDir::Hidden);
}

} // namespace

class TestSmokeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recognisesThenTranslates()
    {
        Sandbox sandbox;
        sandbox.writeSetting(QStringLiteral("codexPath"), testProgram(QStringLiteral("codex_standin")));
        const RunResult result = runQuilvant({QStringLiteral("--smoke-test")}, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
        const QRegularExpression expected(QStringLiteral("\\AOCR: Restart the application to apply the new settings.\n"
                                                         "Translation: 译文：测试\n"
                                                         "Elapsed: \\d+\\.\\d\\ds\n\\z"));
        QVERIFY2(expected.match(result.outText()).hasMatch(), result.out.constData());
        QCOMPARE(fixturesLeft(sandbox), QStringList());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("agent");       // codexPath setting; empty: none configured
        QTest::addColumn<QString>("standinInit"); // the stand-in's start-up behaviour
        QTest::addColumn<bool>("withoutData");    // recognition data folder left empty
        QTest::addColumn<QString>("stdoutText");
        QTest::addColumn<QString>("failure");

        const QString ocrLine = QStringLiteral("OCR: Restart the application to apply the new settings.\n");
        QTest::newRow("no agent CLI installed")
            << QString() << QString() << false << ocrLine
            << QStringLiteral("Smoke test failed: Codex CLI was not found. Set its path in Settings and run codex "
                              "login first.\n");
        QTest::newRow("agent refuses to start") << QStringLiteral("standin") << QStringLiteral("error") << false
                                                << ocrLine << QStringLiteral("Smoke test failed: initialize refused\n");
        QTest::newRow("recognition cannot run") << QStringLiteral("standin") << QString() << true << QString()
                                                << QStringLiteral("Smoke test failed: No text-recognition data in ");
    }

    void failures()
    {
        QFETCH(QString, agent);
        QFETCH(QString, standinInit);
        QFETCH(bool, withoutData);
        QFETCH(QString, stdoutText);
        QFETCH(QString, failure);

        Sandbox sandbox;
        if (!agent.isEmpty()) {
            sandbox.writeSetting(QStringLiteral("codexPath"), testProgram(QStringLiteral("codex_standin")));
        }
        if (!standinInit.isEmpty()) {
            sandbox.setEnv(QStringLiteral("CODEX_STANDIN_INIT"), standinInit);
        }
        if (withoutData) {
            const QString empty = QDir(sandbox.root()).filePath(QStringLiteral("no-tessdata"));
            QDir().mkpath(empty);
            sandbox.setEnv(QStringLiteral("TESSDATA_PREFIX"), empty);
        }
        const RunResult result = runQuilvant({QStringLiteral("--smoke-test")}, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.outText(), stdoutText);
        QVERIFY2(result.errText().startsWith(failure), result.err.constData());
        QCOMPARE(result.errText().count(QLatin1Char('\n')), 1);
        QCOMPARE(fixturesLeft(sandbox), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSmokeTest)
#include "tst_smoketest.moc"
