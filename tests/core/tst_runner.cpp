#include "core/Runner.h"
#include "support/ManualRunnerClock.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <csignal>
#include <thread>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace std::chrono_literals;

namespace {

Runner::Result runShell(Runner& runner, const QString& script, std::chrono::milliseconds limit = 60s)
{
    const Outcome<Runner::Result> result = runner.run(QStringLiteral("sh"), {QStringLiteral("-c"), script}, limit);
    if (!result) {
        qWarning() << result.error().description();
        return {.status = -1, .output = {}, .outputCut = false};
    }
    return result.value();
}

bool alive(pid_t pid)
{
    return ::kill(pid, 0) == 0;
}

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void statusAndOutput_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("output and success") << u"printf 'a b\\n'"_s << 0 << QByteArray("a b\n");
        QTest::newRow("failure status") << u"exit 3"_s << 3 << QByteArray();
        QTest::newRow("ended by a signal") << u"kill -KILL $$"_s << 128 + SIGKILL << QByteArray();
        QTest::newRow("standard error is not output") << u"echo oops >&2; echo out"_s << 0 << QByteArray("out\n");
        QTest::newRow("input is empty") << u"cat; echo done"_s << 0 << QByteArray("done\n");
        QTest::newRow("own process group")
            << u"[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo leader"_s << 0 << QByteArray("leader\n");
        QTest::newRow("replaced PATH") << u"printf %s \"$PATH\""_s << 0 << Runner::searchPath().toUtf8();
    }
    void statusAndOutput()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, output);
        QFETCH(QString, script);
        Runner runner;
        const Runner::Result result = runShell(runner, script);
        QCOMPARE(result.status, status);
        QCOMPARE(result.output, output);
        QVERIFY(!result.outputCut);
    }

    void launchFailure_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("why");
        QTest::newRow("not on the path") << u"quilvant-no-such-tool"_s << u"not found in"_s;
        QTest::newRow("no such file") << u"/nonexistent/tool"_s << u"No such file"_s;
        QTest::newRow("not executable") << u"<plain file>"_s << u"Permission denied"_s;
    }
    void launchFailure()
    {
        QFETCH(QString, why);
        QFETCH(QString, program);
        QTemporaryFile plain;
        if (program == u"<plain file>"_s) {
            QVERIFY(plain.open());
            program = plain.fileName();
        }
        Runner runner;
        const Outcome<Runner::Result> result = runner.run(program, {}, 10s);
        QVERIFY(!result);
        QVERIFY2(result.error().description().startsWith(QStringLiteral("Cannot start ") + program),
                 qPrintable(result.error().description()));
        QVERIFY2(result.error().description().contains(why), qPrintable(result.error().description()));
    }

    void outputIsBounded()
    {
        Runner runner;
        const Runner::Result result = runShell(runner, QStringLiteral("head -c 3000000 /dev/zero; echo end >&2"));
        QCOMPARE(result.status, 0);
        QCOMPARE(result.output.size(), Runner::outputLimit);
        QVERIFY(result.outputCut);
    }

    // The watchdog asks the group to end when the limit passes and kills it when it stays past the grace.
    void watchdog_data()
    {
        QTest::addColumn<bool>("ignoresTerm");
        QTest::addColumn<int>("status");
        QTest::newRow("ends when asked") << false << 128 + SIGTERM;
        QTest::newRow("killed after the grace") << true << 128 + SIGKILL;
    }
    void watchdog()
    {
        QFETCH(int, status);
        QFETCH(bool, ignoresTerm);
        QTemporaryDir dir;
        const QString ready = dir.filePath(QStringLiteral("ready"));
        const QString script = QStringLiteral("%1 : > '%2'; sleep 600 & echo $! > '%2.child'; wait")
                                   .arg(ignoresTerm ? QStringLiteral("trap '' TERM;") : QString(), ready);
        auto clock = std::make_shared<test::ManualRunnerClock>();
        Runner runner(clock);
        Runner::Result result;
        std::thread thread([&] { result = runShell(runner, script, 180s); });

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ready + QStringLiteral(".child")) && clock->deadline() == 180s, 20000);
        clock->advance(180s);
        if (ignoresTerm) {
            QTRY_VERIFY_WITH_TIMEOUT(clock->deadline() == 180s + Runner::terminationGrace, 20000);
            clock->advance(Runner::terminationGrace);
        }
        thread.join();
        QCOMPARE(result.status, status);
        // The program's own child went with its group.
        QFile childFile(ready + QStringLiteral(".child"));
        QVERIFY(childFile.open(QIODevice::ReadOnly));
        const pid_t child = childFile.readAll().trimmed().toInt();
        QVERIFY(child > 0);
        QTRY_VERIFY(!alive(child));
    }

    void terminateFromAnotherThread()
    {
        Runner runner;
        Runner::Result result;
        std::thread thread([&] { result = runShell(runner, QStringLiteral("exec sleep 600"), 600s); });
        runner.terminate();
        thread.join();
        QCOMPARE(result.status, 128 + SIGTERM);
    }

    void locate()
    {
        QCOMPARE(Runner::locate(QStringLiteral("sh")), std::optional<QString>(QStringLiteral("/usr/bin/sh")));
        QCOMPARE(Runner::locate(QStringLiteral("./relative/tool")),
                 std::optional<QString>(QStringLiteral("./relative/tool")));
        QCOMPARE(Runner::locate(QStringLiteral("quilvant-no-such-tool")), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
