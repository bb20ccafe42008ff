// The agent engine's self-test modes, run as the real program against the app-server stand-in.
#include "support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <csignal>

using namespace quilvant::test;

namespace {

// The process ids the stand-in logged for one kind of event ("start", "grandchild").
QList<qint64> logged(const QString& log, const QString& event)
{
    QList<qint64> pids;
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly)) {
        return pids;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value(QStringLiteral("event")).toString() == event) {
            pids.append(object.value(QStringLiteral("pid")).toInteger());
        }
    }
    return pids;
}

} // namespace

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

    // Every child of the run (a fresh one follows the cancellation) leaves with the program, though it ignores
    // the end of its input, together with the grandchild it started, which holds its output and ignores SIGTERM.
    void transportTestLeavesNoProcessBehind()
    {
        Sandbox sandbox;
        const QString log = QDir(sandbox.root()).filePath(QStringLiteral("standin.log"));
        sandbox.setEnv(QStringLiteral("CODEX_STANDIN_LOG"), log);
        sandbox.setEnv(QStringLiteral("CODEX_STANDIN_GRANDCHILD"), QStringLiteral("1"));
        sandbox.setEnv(QStringLiteral("CODEX_STANDIN_IGNORE_EOF"), QStringLiteral("1"));
        const RunResult result = runQuilvant({QStringLiteral("--transport-test"), standin()}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
        const QList<qint64> groups = logged(log, QStringLiteral("start"));
        const QList<qint64> grandchildren = logged(log, QStringLiteral("grandchild"));
        const auto cleanup = qScopeGuard([&] { killAfterFailure(groups + grandchildren); });
        QCOMPARE(groups.size(), 2);
        QCOMPARE(grandchildren.size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(stillRunning(groups + grandchildren).isEmpty(), 30000);
        for (const qint64 group : groups) {
            QCOMPARE(runningMembersOf(group), QList<qint64>());
        }
    }

    // Told to stop while a turn runs, the program ends the agent's whole group, also a child that ignores the end
    // of its input, and then ends by the signal. Killed outright, the kernel still ends the child.
    void signalEndsTheAgentsGroup_data()
    {
        QTest::addColumn<int>("sig");
        QTest::addColumn<bool>("grandchild");
        QTest::newRow("SIGTERM") << int(SIGTERM) << true;
        QTest::newRow("SIGINT") << int(SIGINT) << true;
        QTest::newRow("SIGKILL") << int(SIGKILL) << false;
    }
    void signalEndsTheAgentsGroup()
    {
        QFETCH(int, sig);
        QFETCH(bool, grandchild);
        Sandbox sandbox;
        const QString log = QDir(sandbox.root()).filePath(QStringLiteral("standin.log"));
        QProcessEnvironment environment = sandbox.environment();
        environment.insert(QStringLiteral("CODEX_STANDIN_LOG"), log);
        environment.insert(QStringLiteral("CODEX_STANDIN_IGNORE_EOF"), QStringLiteral("1"));
        environment.insert(QStringLiteral("CODEX_STANDIN_STALL"), QStringLiteral("1"));
        if (grandchild) {
            environment.insert(QStringLiteral("CODEX_STANDIN_GRANDCHILD"), QStringLiteral("1"));
        }
        QProcess quilvant;
        quilvant.setProcessEnvironment(environment);
        quilvant.setWorkingDirectory(sandbox.root());
        quilvant.start(quilvantBinary(), {QStringLiteral("--transport-test"), standin()});
        QVERIFY(quilvant.waitForStarted(30000));
        // The turn is running once the stand-in has been asked for it.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&log] {
                QFile file(log);
                return file.open(QIODevice::ReadOnly) && file.readAll().contains("turn/start");
            }(),
            60000);
        const qint64 group = logged(log, QStringLiteral("start")).value(0);
        const QList<qint64> agents = QList<qint64>{group} + logged(log, QStringLiteral("grandchild"));
        const auto cleanup = qScopeGuard([&] { killAfterFailure(agents); });
        QCOMPARE(stillRunning(agents), agents);

        ::kill(static_cast<pid_t>(quilvant.processId()), sig);
        QVERIFY(quilvant.waitForFinished(60000));
        QCOMPARE(quilvant.exitStatus(), QProcess::CrashExit); // ended by the signal, as without a handler
        QTRY_VERIFY_WITH_TIMEOUT(stillRunning(agents).isEmpty(), 30000);
        QCOMPARE(runningMembersOf(group), QList<qint64>());
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
