// The agent engine's self-test modes, run as the real program against the app-server stand-in.
#include "support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace quilvant::test;

class TestCodexChecks : public QObject
{
    Q_OBJECT

    static QString standin() { return testProgram(QStringLiteral("codex_standin")); }

private Q_SLOTS:
    void transportTestPasses()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--transport-test"), standin()}, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
        const QRegularExpression expected(QStringLiteral(
            "\\Arun=0 first=\\d+\\.\\d{3}s total=\\d+\\.\\d{3}s updates=[1-9]\\d* result=译文：测试\n"
            "run=1 first=\\d+\\.\\d{3}s total=\\d+\\.\\d{3}s updates=1 result=译文：测试\n"
            "PASS: split UTF-8 streaming, exact memory cache, failed turn rejection, cancellation, reconnect\n\\z"));
        QVERIFY2(expected.match(result.outText()).hasMatch(), result.out.constData());

        QFile log(sandbox.privateTempDir() + QStringLiteral("/kestu-diagnostics.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString lines = QString::fromUtf8(log.readAll());
        QCOMPARE(lines.count(QStringLiteral(" codex.ready seconds=")), 2); // a fresh child after the cancellation
        QCOMPARE(lines.count(QStringLiteral(" codex.cache-hit\n")), 1);
    }

    // A path relative to where the program was started, as typed on a command line.
    void transportTestWithRelativePath()
    {
        Sandbox sandbox;
        const QString relative = QDir(sandbox.root()).relativeFilePath(standin());
        QVERIFY(QDir::isRelativePath(relative));
        const RunResult result = runQuilvant({QStringLiteral("--transport-test"), relative}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
    }

    void transportTestReportsStartUpFailure()
    {
        Sandbox sandbox;
        sandbox.setEnv(QStringLiteral("CODEX_STANDIN_INIT"), QStringLiteral("error"));
        const RunResult result = runQuilvant({QStringLiteral("--transport-test"), standin()}, sandbox);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.outText(), QString());
        QCOMPARE(result.errText(), QStringLiteral("FAIL: initialize refused\n"));
    }

    void transportTestWithoutExecutable()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--transport-test")}, sandbox);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errText().startsWith(QStringLiteral("FAIL: ")), result.err.constData());
    }

    // Without --transport-test the CLI is located through the setting, and the paragraph is timed.
    void speedTestUsesTheConfiguredCli()
    {
        Sandbox sandbox;
        sandbox.writeSetting(QStringLiteral("codexPath"), standin());
        const RunResult result = runQuilvant({QStringLiteral("--codex-speed-test")}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
        const QStringList lines = result.outText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].startsWith(QStringLiteral("run=1 ")));
        QVERIFY2(QRegularExpression(
                     QStringLiteral("\\Aparagraph first=\\d+\\.\\d{3}s total=\\d+\\.\\d{3}s updates=[1-9]\\d*\\z"))
                     .match(lines[2])
                     .hasMatch(),
                 qPrintable(lines[2]));
    }

    void speedTestWithoutCli()
    {
        Sandbox sandbox;
        sandbox.writeSetting(QStringLiteral("codexPath"), QStringLiteral("/nonexistent/codex"));
        sandbox.writeSetting(QStringLiteral("uiLanguage"), QStringLiteral("en"));
        for (const char* place : {"/usr/local/bin/codex", "/usr/bin/codex"}) {
            if (QFile::exists(QString::fromLatin1(place))) {
                QSKIP("an agent CLI is installed system-wide");
            }
        }
        const RunResult result = runQuilvant({QStringLiteral("--codex-speed-test")}, sandbox);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(
            result.errText(),
            QStringLiteral("FAIL: Codex CLI was not found. Set its path in Settings and run codex login first.\n"));
    }
};

QTEST_GUILESS_MAIN(TestCodexChecks)
#include "tst_codexchecks.moc"
