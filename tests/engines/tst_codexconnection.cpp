// The agent engine's link to its app-server child: framing, routing, time limits, tear-down and restarts,
// against the stand-in app-server as a real child process.
#include "CodexHarness.h"
#include "core/PrivateTempDir.h"
#include "engines/codex/CodexProtocol.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

using namespace quilvant;
using namespace quilvant::test;
using namespace std::chrono_literals;

namespace {

// The path the locator settles on, or its failure message.
QString located()
{
    const Outcome<QString> path = Translation::codexPath();
    return path ? path.value() : QStringLiteral("<failed: %1>").arg(path.error().description());
}

} // namespace

class TestCodexConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en")); }
    void cleanup()
    {
        Settings::clearOverride(Settings::Key::codexPath);
        qunsetenv("CODEX_STANDIN_INIT");
        qunsetenv("CODEX_STANDIN_GRANDCHILD");
    }

    void startsChildWithItsCommandLineAndHandshake()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<void> first;
        Recorder<void> second;
        client.ensureStarted(first.done());
        client.ensureStarted(second.done());
        QVERIFY(!first.finished()); // never from inside the starting call
        QTRY_VERIFY(first.finished() && second.finished());
        QVERIFY(first.outcome->ok() && second.outcome->ok());

        const auto starts = log.starts();
        QCOMPARE(starts.size(), size_t(1)); // one shared start-up
        const Json& start = starts.front();
        QCOMPARE(start["arguments"].size(), size_t(41)); // the stand-in refuses any other command line
        const QString cwd = QString::fromStdString(start["cwd"]);
        QCOMPARE(QFileInfo(cwd).canonicalFilePath(),
                 QFileInfo(PrivateTempDir::path().value() + QStringLiteral("/kestu-translation")).canonicalFilePath());
        const QStringList path = QString::fromStdString(start["path"]).split(QLatin1Char(':'));
        QCOMPARE(path.first(), QFileInfo(standinPath()).absolutePath());
        QVERIFY(path.contains(QStringLiteral("/usr/bin")) && path.contains(QStringLiteral("/bin")));

        QTRY_COMPARE(log.received().size(), size_t(2));
        const auto messages = log.received();
        QCOMPARE_JSON(messages[0]["method"], "initialize");
        QCOMPARE_JSON(messages[0]["id"], 1);
        QCOMPARE_JSON(messages[0]["params"]["clientInfo"]["name"], "kestu");
        QCOMPARE_JSON(messages[1]["method"], "initialized");
        QVERIFY(!messages[1].contains("id"));
        QVERIFY(messages[1]["params"].is_object() && messages[1]["params"].empty());
        QVERIFY(diagnostics().contains(QStringLiteral("codex.ready seconds=")));
    }

    // Junk, arrays, empty lines, CR LF, two messages in one read, characters split across reads, responses to
    // no pending request, requests from the server under string and integer ids, foreign notifications.
    void noisyOutputIsParsedAndTheConnectionKept()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        client.translate(QStringLiteral("NOISE"), language, {}, call.update(), call.done());
        QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 10000);
        QVERIFY2(call.outcome->ok(), qPrintable(call.error()));
        QCOMPARE(call.outcome->value(), answer);
        QCOMPARE(call.updates, (QStringList{QStringLiteral("译"), QStringLiteral("译文："), answer}));

        QTRY_VERIFY(!log.requests("thread/unsubscribe").empty());
        QCOMPARE(log.starts().size(), size_t(1));
        // Both server requests refused, each under its own id value and type.
        std::vector<Json> refusals;
        for (const Json& message : log.received()) {
            if (message.contains("error") && !message.contains("method")) {
                refusals.push_back(message);
            }
        }
        QCOMPARE(refusals.size(), size_t(2));
        QCOMPARE_JSON(refusals[0]["id"], "srv-1");
        QCOMPARE_JSON(refusals[1]["id"], 77);
        for (const Json& refusal : refusals) {
            QCOMPARE_JSON(refusal["error"]["code"], -32601);
            QCOMPARE_JSON(refusal["error"]["message"], "Translation client does not allow tools or approval requests");
            QVERIFY(!refusal.contains("result"));
        }
    }

    void errorObjects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("inner JSON error message, unchanged")
            << QStringLiteral("TURNERROR_INNER") << QStringLiteral("inner upstream failure");
        QTest::newRow("catalogue key in the interface language")
            << QStringLiteral("TURNERROR_KEY") << english("Codex 未连接，请重试。");
        QTest::newRow("no message: the request-failed text")
            << QStringLiteral("TURNERROR_NOMSG") << english("Codex 请求失败，请检查网络、模型名称和登录状态。");
        QTest::newRow("inner error without message: the outer text")
            << QStringLiteral("TURNERROR_INNER_NOMSG") << QStringLiteral("{\"error\":{\"code\":5}}");
    }

    void errorObjects()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        CodexClient client(standinPath());
        Recorder<QString> call;
        client.translate(text, language, {}, call.update(), call.done());
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), message);
        QVERIFY(call.outcome->error().isAppFailure());
    }

    void errorTextRules_data()
    {
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain message keeps its words, brand shown as ours")
            << QStringLiteral("{\"message\":\"Sorn quota reached\"}") << QStringLiteral("Quilvant quota reached");
        QTest::newRow("message of another type")
            << QStringLiteral("{\"message\":42}") << english("Codex 请求失败，请检查网络、模型名称和登录状态。");
        QTest::newRow("inner error that is not an object")
            << QStringLiteral("{\"message\":\"{\\\"error\\\":\\\"flat\\\"}\"}")
            << QStringLiteral("{\"error\":\"flat\"}");
        QTest::newRow("inner message kept even if it is a catalogue key")
            << QStringLiteral("{\"message\":\"{\\\"error\\\":{\\\"message\\\":\\\"Codex 未连接，请重试。\\\"}}\"}")
            << QStringLiteral("Codex 未连接，请重试。");
    }

    void errorTextRules()
    {
        QFETCH(QString, error);
        QFETCH(QString, text);
        QCOMPARE(Codex::errorText(Json::parse(error.toStdString())), text);
    }

    void initializeErrorFailsStartUp()
    {
        qputenv("CODEX_STANDIN_INIT", "error");
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<void> start;
        client.ensureStarted(start.done());
        QTRY_VERIFY(start.finished());
        QCOMPARE(start.error(), QStringLiteral("initialize refused"));
        const long long pid = log.starts().front()["pid"];
        QTRY_VERIFY(!processAlive(pid)); // a failed start-up leaves no child behind
    }

    void initializeNeverAnsweredTimesOutThenRestarts()
    {
        qputenv("CODEX_STANDIN_INIT", "never");
        StandinLog log;
        ManualClock clock;
        CodexClient client(standinPath());
        client.setScheduler(clock.scheduler());
        Recorder<QString> call;
        client.translate(QStringLiteral("hello"), language, {}, call.update(), call.done());
        QTRY_COMPARE(log.requests("initialize").size(), size_t(1));
        clock.advance(CodexClient::requestLimit);
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), english("Codex 连接准备超时，请检查网络和登录状态后重试。"));
        QVERIFY(call.updates.isEmpty());
        const long long pid = log.starts().front()["pid"];
        QTRY_VERIFY(!processAlive(pid));

        qunsetenv("CODEX_STANDIN_INIT");
        Recorder<QString> again;
        client.translate(QStringLiteral("hello"), language, {}, again.update(), again.done());
        QTRY_VERIFY(again.finished());
        QVERIFY2(again.outcome->ok(), qPrintable(again.error()));
        QCOMPARE(log.starts().size(), size_t(2));
        QCOMPARE(call.completions, 1);
    }

    // A response under a string id answers nothing: the request runs into its time limit.
    void responseWithStringIdIsIgnored()
    {
        StandinLog log;
        ManualClock clock;
        CodexClient client(standinPath());
        client.setScheduler(clock.scheduler());
        Recorder<QString> call;
        client.translate(QStringLiteral("hello"), language, QStringLiteral("string-id"), call.update(), call.done());
        QTRY_VERIFY(log.answered("probe")); // the response came before the stand-in's own request
        clock.advance(CodexClient::requestLimit);
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), english("Codex 连接准备超时，请检查网络和登录状态后重试。"));
        QVERIFY(log.requests("turn/start").empty());
    }

    // Once answered, a request's time limit passes without effect: the turn runs on to its own limit.
    void answeredRequestsDoNotExpire()
    {
        StandinLog log;
        ManualClock clock;
        CodexClient client(standinPath());
        client.setScheduler(clock.scheduler());
        Recorder<QString> call;
        client.translate(QStringLiteral("WAIT"), language, {}, call.update(), call.done());
        QTRY_VERIFY(log.answered("probe")); // every request so far has had its response read
        clock.advance(CodexClient::turnLimit);
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), english("翻译等待超过 60 秒，请检查网络后重试。"));
    }

    void childExitFailsTheTurnOnce()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        client.translate(QStringLiteral("EXIT"), language, {}, call.update(), call.done());
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), english("Codex 连接中断，请重新翻译。"));
        QCOMPARE(call.updates, QStringList{QStringLiteral("半截")}); // shown text is not withdrawn
        // The end of the child's output and its exit are both seen; a next translation starts a fresh child.
        QTRY_VERIFY(!processAlive(log.starts().front()["pid"]));
        Recorder<QString> next;
        client.translate(QStringLiteral("QUICK next"), language, {}, next.update(), next.done());
        QTRY_VERIFY(next.finished());
        QVERIFY2(next.outcome->ok(), qPrintable(next.error()));
        QCOMPARE(call.completions, 1);
    }

    // Output without a line feed is read up to the longest line allowed; then the child is stopped.
    void endlessLineStopsTheChild()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        client.translate(QStringLiteral("FLOOD"), language, {}, call.update(), call.done());
        QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 10000);
        QCOMPARE(call.error(), english("Codex 返回的消息过大，已停止读取。"));
        QTRY_VERIFY(!processAlive(log.starts().front()["pid"]));
    }

    // What the last child wrote without ending its line is gone with it: the next child's first line reads whole.
    void unfinishedLineDoesNotOutliveItsChild()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        Cancellation handle = client.translate(QStringLiteral("PARTIAL"), language, {}, call.update(), call.done());
        QTRY_COMPARE(call.updates, QStringList{QStringLiteral("半截")}); // written together with the unended line
        handle.cancel();
        QTRY_VERIFY(call.finished());
        Recorder<QString> next;
        client.translate(QStringLiteral("QUICK next"), language, {}, next.update(), next.done());
        QTRY_VERIFY(next.finished());
        QVERIFY2(next.outcome->ok(), qPrintable(next.error()));
        QCOMPARE(log.starts().size(), size_t(2));
    }

    void childExitDuringStartUp()
    {
        qputenv("CODEX_STANDIN_INIT", "exit");
        CodexClient client(standinPath());
        Recorder<void> start;
        client.ensureStarted(start.done());
        QTRY_VERIFY(start.finished());
        QCOMPARE(start.error(), english("Codex 连接中断，请重新翻译。"));
    }

    // After the client's own reset the child's end of output is expected and reports nothing more.
    void resetByClientReportsOnlyItsOwnError()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        client.translate(QStringLiteral("WAIT"), language, {}, call.update(), call.done());
        QTRY_VERIFY(!log.requests("turn/start").empty());
        const QString closed = english("翻译连接已关闭。");
        client.reset(AppFailure{closed});
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), closed);
        const long long pid = log.starts().front()["pid"];
        QTRY_VERIFY(!processAlive(pid));

        // Resetting an idle client is harmless, and the next use starts a fresh child.
        client.reset(AppFailure{closed});
        Recorder<QString> next;
        client.translate(QStringLiteral("QUICK next"), language, {}, next.update(), next.done());
        QTRY_VERIFY(next.finished());
        QVERIFY2(next.outcome->ok(), qPrintable(next.error()));
        QCOMPARE(log.starts().size(), size_t(2));
        QCOMPARE(call.completions, 1);
    }

    void requestIdsKeepGrowingAcrossRestarts()
    {
        StandinLog log;
        CodexClient client(standinPath());
        for (const QString& text : {QStringLiteral("QUICK one"), QStringLiteral("QUICK two")}) {
            Recorder<QString> call;
            client.translate(text, language, {}, call.update(), call.done());
            QTRY_VERIFY(call.finished());
            QVERIFY(call.outcome->ok());
            QTRY_COMPARE(log.requests("thread/unsubscribe").size(),
                         size_t(text.endsWith(QStringLiteral("one")) ? 1 : 2));
            client.reset(Error::cancelled());
        }
        QCOMPARE(log.starts().size(), size_t(2));
        std::vector<long long> ids;
        for (const Json& message : log.received()) {
            if (message.contains("id") && message.contains("method")) {
                ids.push_back(message["id"]);
            }
        }
        QCOMPARE(ids.size(), size_t(8)); // initialize, thread/start, turn/start, thread/unsubscribe, twice
        for (size_t i = 0; i < ids.size(); ++i) {
            QCOMPARE(ids[i], static_cast<long long>(i + 1));
        }
    }

    void changedPathRestartsTheChild()
    {
        QTemporaryDir dir;
        const QString first = dir.filePath(QStringLiteral("first-cli"));
        const QString second = dir.filePath(QStringLiteral("second-cli"));
        QVERIFY(QFile::link(standinPath(), first));
        QVERIFY(QFile::link(standinPath(), second));
        StandinLog log;
        CodexClient client; // located through the setting

        Settings::setOverride(Settings::Key::codexPath, first);
        Recorder<QString> one;
        client.translate(QStringLiteral("QUICK a"), language, {}, one.update(), one.done());
        QTRY_VERIFY(one.finished());
        QVERIFY2(one.outcome->ok(), qPrintable(one.error()));

        Settings::setOverride(Settings::Key::codexPath, second);
        Recorder<QString> two;
        client.translate(QStringLiteral("QUICK a"), language, {}, two.update(), two.done());
        QTRY_VERIFY(two.finished());
        QVERIFY2(two.outcome->ok(), qPrintable(two.error()));

        const auto starts = log.starts();
        QCOMPARE(starts.size(), size_t(2)); // the path is part of the cache key, so the second ran a turn
        QCOMPARE(QString::fromStdString(starts[0]["argv0"]), first);
        QCOMPARE(QString::fromStdString(starts[1]["argv0"]), second);
        QTRY_VERIFY(!processAlive(starts[0]["pid"]));
        QVERIFY(processAlive(starts[1]["pid"]));
    }

    // A start-up cut short by a change of path must not take the new path's connection down with it.
    void pathChangeDuringStartUp()
    {
        QTemporaryDir dir;
        const QString silent = dir.filePath(QStringLiteral("silent-cli"));
        const QString answering = dir.filePath(QStringLiteral("cli"));
        QVERIFY(QFile::link(standinPath(), silent));
        QVERIFY(QFile::link(standinPath(), answering));
        StandinLog log;
        CodexClient client;

        Settings::setOverride(Settings::Key::codexPath, silent);
        Recorder<QString> stuck;
        client.translate(QStringLiteral("QUICK a"), language, {}, stuck.update(), stuck.done());
        QTRY_COMPARE(log.requests("initialize").size(), size_t(1));

        Settings::setOverride(Settings::Key::codexPath, answering);
        Recorder<QString> next;
        client.translate(QStringLiteral("QUICK a"), language, {}, next.update(), next.done());
        QTRY_VERIFY(stuck.finished() && next.finished());
        QVERIFY(stuck.outcome->error().isCancelled());
        QVERIFY2(next.outcome->ok(), qPrintable(next.error()));
        QCOMPARE(log.starts().size(), size_t(2));
        QTRY_VERIFY(!processAlive(log.starts()[0]["pid"]));
    }

    void missingExecutable()
    {
        Settings::setOverride(Settings::Key::codexPath, QStringLiteral("/nonexistent/codex"));
        if (Translation::codexPath().ok()) {
            QSKIP("an agent CLI is installed in one of the usual places");
        }
        CodexClient client;
        Recorder<QString> call;
        client.translate(QStringLiteral("hello"), language, {}, call.update(), call.done());
        QVERIFY(!call.finished());
        QTRY_VERIFY(call.finished());
        QCOMPARE(call.error(), english("未找到 Codex CLI，请在设置中填写路径，并先运行 codex login。"));
    }

    void unlaunchableExecutableReportsTheSystemError()
    {
        QTemporaryDir dir;
        const QString script = dir.filePath(QStringLiteral("not-runnable"));
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close(); // exists, but not executable
        CodexClient client(script);
        Recorder<void> start;
        client.ensureStarted(start.done());
        QTRY_VERIFY(start.finished());
        QVERIFY(!start.outcome->ok());
        QCOMPARE(start.outcome->error().kind(), Error::Kind::System);
        QVERIFY(!start.error().isEmpty());
    }

    void locatorTakesTheSettingAsStored()
    {
        QTemporaryDir dir;
        const QString cli = dir.filePath(QStringLiteral("cli"));
        QVERIFY(QFile::link(standinPath(), cli));
        Settings::setOverride(Settings::Key::codexPath, cli);
        QCOMPARE(located(), cli);
        Settings::setOverride(Settings::Key::codexPath, QString(QStringLiteral(" ") + cli)); // not trimmed
        QVERIFY(located() != cli);
    }

    // A setting that names something which cannot be run is named in the message, and a relative one means the
    // same file for the check and for the start.
    void locatorNamesWhatTheSettingPointsAt_data()
    {
        QTest::addColumn<QString>("entry"); // what the setting names inside a fresh folder
        QTest::addColumn<QString>("message");
        QTest::newRow("a folder") << QStringLiteral("folder") << english("设置中的 Codex CLI 路径是一个文件夹：%1");
        QTest::newRow("a file without execute permission")
            << QStringLiteral("plain") << english("设置中的 Codex CLI 无法执行，请检查文件和执行权限：%1");
        QTest::newRow("nothing at all") << QStringLiteral("missing")
                                        << english("未找到 Codex CLI，请在设置中填写路径，并先运行 codex login。");
    }
    void locatorNamesWhatTheSettingPointsAt()
    {
        QFETCH(QString, entry);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(entry);
        if (entry == QStringLiteral("folder")) {
            QVERIFY(QDir().mkdir(path));
        } else if (entry == QStringLiteral("plain")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        Settings::setOverride(Settings::Key::codexPath, path);
        const Outcome<QString> found = Translation::codexPath();
        if (found.ok()) {
            QSKIP("an agent CLI is installed in one of the usual places");
        }
        QCOMPARE(found.error().description(), message.contains(QLatin1String("%1")) ? message.arg(path) : message);
    }

    void relativeSettingStartsTheFileItNames()
    {
        const QString relative = QDir::current().relativeFilePath(standinPath());
        QVERIFY(QDir::isRelativePath(relative));
        Settings::setOverride(Settings::Key::codexPath, relative);
        QCOMPARE(located(), QFileInfo(standinPath()).absoluteFilePath());
        CodexClient client;
        Recorder<QString> call;
        client.translate(QStringLiteral("QUICK relative"), language, {}, call.update(), call.done());
        QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 20000);
        QVERIFY2(call.outcome->ok(), qPrintable(call.error()));
    }

    // Reset, a child that exits on its own, and the end of the client: each ends the child's whole process group,
    // grandchildren that hold the child's output (and shrug off SIGTERM) included.
    void noProcessOfTheGroupIsLeft_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("reset") << QStringLiteral("reset");
        QTest::newRow("the child exits") << QStringLiteral("exit");
        QTest::newRow("the client ends") << QStringLiteral("delete");
    }
    void noProcessOfTheGroupIsLeft()
    {
        QFETCH(QString, ending);
        StandinLog log;
        qputenv("CODEX_STANDIN_GRANDCHILD", "1");
        auto client = std::make_unique<CodexClient>(standinPath());
        Recorder<QString> call;
        client->translate(ending == QStringLiteral("exit") ? QStringLiteral("EXIT") : QStringLiteral("QUICK group"),
                          language, {}, call.update(), call.done());
        QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 20000);
        const qint64 group = log.starts().at(0)["pid"];
        const qint64 grandchild = log.named("grandchild").at(0)["pid"];
        const auto cleanup = qScopeGuard([&] { killAfterFailure({group, grandchild}); });
        if (ending != QStringLiteral("exit")) { // by now the exited child's group may already be on its way out
            QCOMPARE(stillRunning({group, grandchild}), (QList<qint64>{group, grandchild}));
        }
        if (ending == QStringLiteral("reset")) {
            client->reset(Error::cancelled());
        } else if (ending == QStringLiteral("delete")) {
            client.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(stillRunning({group, grandchild}).isEmpty() && runningMembersOf(group).isEmpty(),
                                 30000);
    }
};

QTEST_GUILESS_MAIN(TestCodexConnection)
#include "tst_codexconnection.moc"
