// The agent engine's translations: visible text, turn outcomes, cancellation, the turn limit and the memory
// cache, against the stand-in app-server as a real child process.
#include "CodexHarness.h"

using namespace quilvant;
using namespace quilvant::test;
using namespace std::chrono_literals;

class TestCodexTranslation : public QObject
{
    Q_OBJECT

    // Runs one translation to its end.
    static void translate(CodexClient& client, Recorder<QString>& call, const QString& text, const QString& model = {},
                          const QString& targetLanguage = language)
    {
        client.translate(text, targetLanguage, model, call.update(), call.done());
        QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 10000);
    }

    static std::vector<Json> turnStarts(const StandinLog& log) { return log.requests("turn/start"); }

private Q_SLOTS:
    void initTestCase() { Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en")); }

    void visibleText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("updates");
        QTest::addColumn<QString>("result");
        QTest::newRow("characters split across reads")
            << QStringLiteral("hello") << QStringList{QStringLiteral("译"), QStringLiteral("译文："), answer, answer}
            << answer;
        QTest::newRow("interleaved items in order of first appearance")
            << QStringLiteral("INTERLEAVE")
            << QStringList{QStringLiteral("甲一"), QStringLiteral("甲一\n\n乙"), QStringLiteral("甲一甲二\n\n乙")}
            << QStringLiteral("甲一甲二\n\n乙");
        QTest::newRow("completed items replace and append")
            << QStringLiteral("REPLACE")
            << QStringList{QStringLiteral("草稿"), QStringLiteral("定稿"), QStringLiteral("定稿\n\n附言")}
            << QStringLiteral("定稿\n\n附言");
    }

    void visibleText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, updates);
        QFETCH(QString, result);
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        translate(client, call, text);
        QVERIFY2(call.outcome->ok(), qPrintable(call.error()));
        QCOMPARE(call.outcome->value(), result);
        QCOMPARE(call.updates, updates);
        QCOMPARE(call.completions, 1);
        // Each thread serves one turn and is given up afterwards.
        QTRY_COMPARE(log.requests("thread/unsubscribe").size(), size_t(1));
        QCOMPARE_JSON(log.requests("thread/unsubscribe")[0]["params"]["threadId"], "thr_1");
    }

    void failedTurns_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("updates");
        QTest::newRow("interrupted turn with text is no success")
            << QStringLiteral("INTERRUPTED") << QString() << english("Codex 未完成翻译，请重试。")
            << QStringList{QStringLiteral("半截")};
        QTest::newRow("error object wins over streamed text")
            << QStringLiteral("FAIL") << QString() << QStringLiteral("simulated model failure")
            << QStringList{QStringLiteral("部分译文")};
        QTest::newRow("only white space streamed")
            << QStringLiteral("BLANK") << QString() << english("Codex 未完成翻译，请重试。")
            << QStringList{QStringLiteral("  \n\t ")};
        QTest::newRow("turn/completed without a turn runs into the turn limit")
            << QStringLiteral("NOTURN") << QString() << english("翻译等待超过 60 秒，请检查网络后重试。")
            << QStringList{QStringLiteral("半截")};
        QTest::newRow("thread without id") << QStringLiteral("hello") << QStringLiteral("no-thread")
                                           << english("Codex 未返回会话信息。") << QStringList{};
    }

    void failedTurns()
    {
        QFETCH(QString, text);
        QFETCH(QString, model);
        QFETCH(QString, message);
        QFETCH(QStringList, updates);
        StandinLog log;
        ManualClock clock;
        CodexClient client(standinPath());
        client.setScheduler(clock.scheduler());
        // A turn that never completes ends at its limit, once what it streamed has been read.
        const auto run = [&](Recorder<QString>& call) {
            client.translate(text, language, model, call.update(), call.done());
            if (text == QStringLiteral("NOTURN")) {
                QTRY_COMPARE(call.updates, updates);
                clock.advance(CodexClient::turnLimit);
            }
            QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 10000);
        };
        Recorder<QString> call;
        run(call);
        QCOMPARE(call.error(), message);
        QCOMPARE(call.updates, updates);

        // Failures are not remembered: the same request runs again.
        const size_t turns = turnStarts(log).size();
        Recorder<QString> again;
        run(again);
        QCOMPARE(again.error(), message);
        QCOMPARE(turnStarts(log).size(), turns == 0 ? size_t(0) : turns + 1);
    }

    void usageAndTimingLines()
    {
        CodexClient client(standinPath());
        Recorder<QString> call;
        translate(client, call, QStringLiteral("USAGE"));
        QVERIFY(call.outcome->ok());
        const QString log = diagnostics();
        QVERIFY2(log.contains(QStringLiteral(" codex.usage input=1234 output=56\n")), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral(" codex.usage input=7 output=0\n")));
        QVERIFY(log.contains(QStringLiteral(" codex.first-text seconds=")));
        QVERIFY(log.contains(QStringLiteral(" codex.completed seconds=")));
    }

    void threadParameters_data()
    {
        QTest::addColumn<QString>("model");
        QTest::newRow("default model") << QString();
        QTest::newRow("named model") << QStringLiteral("gpt-6-luna");
    }

    void threadParameters()
    {
        QFETCH(QString, model);
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        translate(client, call, QStringLiteral("QUICK params"), model, QStringLiteral("Japanese"));
        QVERIFY(call.outcome->ok());

        const Json params = log.requests("thread/start").front()["params"];
        QCOMPARE(params.contains("model"), !model.isEmpty());
        if (!model.isEmpty()) {
            QCOMPARE(QString::fromStdString(params["model"]), model);
        }
        QCOMPARE_JSON(params["developerInstructions"], "Translate into Japanese. Output only the translation.");
        QCOMPARE_JSON(params["approvalPolicy"], "never");
        QCOMPARE_JSON(params["sandbox"], "read-only");
        QCOMPARE_JSON(params["ephemeral"], true);
        QCOMPARE_JSON(params["config"], Json({{"project_doc_max_bytes", 0}, {"skills.max_context_tokens", 1}}));
        QVERIFY(QString::fromStdString(params["cwd"]).endsWith(QStringLiteral("/kestu-translation")));

        const Json turn = turnStarts(log).front()["params"];
        QCOMPARE_JSON(turn["threadId"], "thr_1");
        QCOMPARE_JSON(turn["input"], Json::array({{{"type", "text"}, {"text", "QUICK params"}}}));
        QCOMPARE_JSON(turn["effort"], "low");
    }

    void cacheAnswersRepeats()
    {
        StandinLog log;
        CodexClient client(standinPath());
        double now = 1000;
        client.setClock([&now] { return now; });
        Recorder<QString> first;
        translate(client, first, QStringLiteral("hello"));
        QCOMPARE(first.outcome->value(), answer);

        now += CodexClient::cacheLifetimeSeconds - 1;
        Recorder<QString> repeat;
        client.translate(QStringLiteral("hello"), language, {}, repeat.update(), repeat.done());
        QVERIFY(!repeat.finished()); // not from inside the call
        QTRY_VERIFY(repeat.finished());
        QCOMPARE(repeat.outcome->value(), answer);
        QCOMPARE(repeat.updates, QStringList{answer});
        QCOMPARE(turnStarts(log).size(), size_t(1));
        QVERIFY(diagnostics().contains(QStringLiteral(" codex.cache-hit\n")));
        Recorder<QString> quiet; // a caller without an update callback
        client.translate(QStringLiteral("hello"), language, {}, nullptr, quiet.done());
        QTRY_VERIFY(quiet.finished());
        QCOMPARE(quiet.outcome->value(), answer);

        // Every part of the key counts, exactly.
        const struct
        {
            QString text, model, language;
        } variants[] = {
            {QStringLiteral("hello "), {}, language},
            {QStringLiteral("Hello"), {}, language},
            {QStringLiteral("hello"), QStringLiteral("gpt-6-luna"), language},
            {QStringLiteral("hello"), {}, QStringLiteral("Japanese")},
        };
        size_t turns = 1;
        for (const auto& variant : variants) {
            Recorder<QString> call;
            translate(client, call, variant.text, variant.model, variant.language);
            QVERIFY(call.outcome->ok());
            QCOMPARE(turnStarts(log).size(), ++turns);
        }

        // Past its lifetime (counted from the store, not from the last hit) the entry is run and stored again.
        now += 2;
        Recorder<QString> expired;
        translate(client, expired, QStringLiteral("hello"));
        QCOMPARE(turnStarts(log).size(), ++turns);
        Recorder<QString> fresh;
        translate(client, fresh, QStringLiteral("hello"));
        QCOMPARE(turnStarts(log).size(), turns);
    }

    void cacheEvictsInStoreOrder()
    {
        StandinLog log;
        CodexClient client(standinPath());
        double now = 0;
        client.setClock([&now] { return now; });
        auto key = [](int i) { return QStringLiteral("QUICK %1").arg(i); };
        auto run = [&](int i) {
            Recorder<QString> call;
            client.translate(key(i), language, {}, call.update(), call.done());
            QTRY_VERIFY_WITH_TIMEOUT(call.finished(), 10000);
            QVERIFY2(call.outcome->ok(), qPrintable(call.error()));
        };
        auto cached = [&](int i) {
            const size_t before = turnStarts(log).size();
            run(i);
            return turnStarts(log).size() == before;
        };

        run(1);
        now = 1000;
        for (int i = 2; i <= CodexClient::cacheCapacity; ++i) {
            run(i);
        }
        // Key 1 expires; storing it again makes it the newest, so the 33rd key evicts key 2 instead.
        now = 1801;
        QVERIFY(!cached(1));
        run(CodexClient::cacheCapacity + 1);
        QVERIFY(cached(1));
        // Hits do not count as use: key 3, just hit, is now the oldest store and goes next.
        QVERIFY(cached(3));
        run(CodexClient::cacheCapacity + 2);
        QVERIFY(cached(4));
        QVERIFY(!cached(2));
        QVERIFY(!cached(3));
        QVERIFY(cached(CodexClient::cacheCapacity + 2));
    }

    void cacheHitLeavesRunningTurnAlone()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> stored;
        translate(client, stored, QStringLiteral("QUICK stored"));

        Recorder<QString> waiting;
        Cancellation handle = client.translate(QStringLiteral("WAIT"), language, {}, waiting.update(), waiting.done());
        QTRY_COMPARE(turnStarts(log).size(), size_t(2));
        Recorder<QString> hit;
        translate(client, hit, QStringLiteral("QUICK stored"));
        QCOMPARE(hit.outcome->value(), stored.outcome->value());
        // Ending the running turn would have posted its end before the hit's, which has arrived.
        QVERIFY(!waiting.finished());
        QVERIFY(processAlive(log.starts().back()["pid"]));
        handle.cancel();
        QTRY_VERIFY(waiting.finished());
        QVERIFY(waiting.outcome->error().isCancelled());
    }

    void cancelWhileTurnRuns()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        Cancellation handle = client.translate(QStringLiteral("WAIT"), language, {}, call.update(), call.done());
        QTRY_COMPARE(turnStarts(log).size(), size_t(1));
        handle.cancel();
        QVERIFY(!call.finished());
        QTRY_VERIFY(call.finished());
        QVERIFY(call.outcome->error().isCancelled());
        QTRY_VERIFY(!processAlive(log.starts().front()["pid"]));
        handle.cancel(); // idempotent

        Recorder<QString> next;
        translate(client, next, QStringLiteral("AFTER_CANCEL"));
        QCOMPARE(next.outcome->value(), answer);
        QCOMPARE(log.starts().size(), size_t(2));
        QCOMPARE(call.completions, 1);
    }

    void cancelBetweenThreadStartAndTurn()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        Cancellation handle = client.translate(QStringLiteral("hello"), language, QStringLiteral("slow-thread"),
                                               call.update(), call.done());
        QTRY_COMPARE(log.requests("thread/start").size(), size_t(1));
        handle.cancel();
        QTRY_VERIFY(call.finished());
        QVERIFY(call.outcome->error().isCancelled());
        QTRY_COMPARE(log.requests("thread/unsubscribe").size(), size_t(1));
        QCOMPARE_JSON(log.requests("thread/unsubscribe")[0]["params"]["threadId"], "thr_1");
        QVERIFY(turnStarts(log).empty());
        QCOMPARE(call.completions, 1);
        QVERIFY(processAlive(log.starts().front()["pid"])); // the connection itself stays
    }

    void cancelledResultIsNotStored_data()
    {
        QTest::addColumn<bool>("afterTheEnd");
        QTest::newRow("cancelled inside the update") << false;
        // The delta and the completed turn are read together: the cancel comes once the result is decided, before
        // it is delivered.
        QTest::newRow("cancelled between result and delivery") << true;
    }
    void cancelledResultIsNotStored()
    {
        QFETCH(bool, afterTheEnd);
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> call;
        Cancellation handle = client.translate(
            QStringLiteral("QUICK late"), language, {},
            [&](const QString& text) {
                call.updates << text;
                if (afterTheEnd) {
                    QMetaObject::invokeMethod(
                        QCoreApplication::instance(), [&handle] { handle.cancel(); }, Qt::QueuedConnection);
                } else {
                    handle.cancel();
                }
            },
            call.done());
        QTRY_VERIFY(call.finished());
        QVERIFY(call.outcome->error().isCancelled());
        Recorder<QString> again;
        translate(client, again, QStringLiteral("QUICK late"));
        QVERIFY(again.outcome->ok());
        QCOMPARE(turnStarts(log).size(), size_t(2));
    }

    void newTranslationEndsTheRunningOne()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> waiting;
        client.translate(QStringLiteral("WAIT"), language, {}, waiting.update(), waiting.done());
        QTRY_COMPARE(turnStarts(log).size(), size_t(1));
        Recorder<QString> next;
        translate(client, next, QStringLiteral("QUICK next"));
        QVERIFY2(next.outcome->ok(), qPrintable(next.error()));
        QVERIFY(waiting.finished());
        QVERIFY(waiting.outcome->error().isCancelled());
        QCOMPARE(log.starts().size(), size_t(2));
    }

    // Two calls that both start their threads before either registers its turn: the earlier one must still end.
    void overlappingCallsBeforeRegistration()
    {
        StandinLog log;
        CodexClient client(standinPath());
        Recorder<QString> earlier;
        Recorder<QString> later;
        client.translate(QStringLiteral("WAIT"), language, QStringLiteral("slow-thread"), earlier.update(),
                         earlier.done());
        client.translate(QStringLiteral("QUICK later"), language, QStringLiteral("slow-thread"), later.update(),
                         later.done());
        QTRY_VERIFY_WITH_TIMEOUT(later.finished(), 10000);
        QVERIFY2(later.outcome->ok(), qPrintable(later.error()));
        QVERIFY(earlier.finished());
        QVERIFY(earlier.outcome->error().isCancelled());
        QTRY_VERIFY(!log.requests("thread/unsubscribe").empty());
        QCOMPARE_JSON(log.requests("thread/unsubscribe")[0]["params"]["threadId"], "thr_1");
    }

    void destroyingTheClientEndsEverything()
    {
        StandinLog log;
        auto client = std::make_unique<CodexClient>(standinPath());
        Recorder<QString> call;
        client->translate(QStringLiteral("WAIT"), language, {}, call.update(), call.done());
        QTRY_COMPARE(turnStarts(log).size(), size_t(1));
        client.reset();
        QTRY_VERIFY(call.finished());
        QVERIFY(call.outcome->error().isCancelled());
        QVERIFY(!processAlive(log.starts().front()["pid"]));
    }
};

QTEST_GUILESS_MAIN(TestCodexTranslation)
#include "tst_codextranslation.moc"
