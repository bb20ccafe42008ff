#include "ScriptedEngines.h"
#include "foundation/Settings.h"
#include "session/Model.h"
#include "support/ManualClock.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

namespace {

class CountingPrompt final : public ConsentPrompt
{
public:
    Answer answer = Answer::Agree;
    int asked = 0;
    Answer ask() override
    {
        ++asked;
        return answer;
    }
};

// Every change signal of the model, counted together.
int watchAll(Model& model, int* count)
{
    for (auto signal : {&Model::sourceChanged, &Model::translatedChanged, &Model::statusChanged, &Model::errorChanged,
                        &Model::busyChanged, &Model::copiedChanged}) {
        QObject::connect(&model, signal, &model, [count] { ++*count; });
    }
    return 0;
}

} // namespace

class TestModel : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    std::shared_ptr<ScriptedEngines> m_engines;
    std::unique_ptr<Model> m_model;
    CountingPrompt m_prompt;

    ScriptedEngines::Call& call(qsizetype index) { return m_engines->calls[index]; }

    // Lets everything posted to the GUI thread so far run: an engine's late update, a queued step.
    static void settle()
    {
        bool reached = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
        QTRY_VERIFY(reached);
    }

    // Starts a translation of `source` and lets it reach its first engine call.
    void start(const QString& source, qsizetype expectedCalls = 1)
    {
        m_model->setSource(source);
        m_model->translate();
        QTRY_COMPARE(m_engines->calls.size(), expectedCalls);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    }

    void init()
    {
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        Settings::remove(Settings::Key::engine);
        Settings::remove(Settings::Key::language);
        m_engines = std::make_shared<ScriptedEngines>();
        m_engines->secrets.insert(QStringLiteral("service"), QStringLiteral("token-1"));
        m_engines->secrets.insert(QStringLiteral("minimax"), QStringLiteral(" sk-key "));
        m_model = std::make_unique<Model>(m_engines);
        m_prompt = CountingPrompt();
        m_model->setConsentPrompt(&m_prompt);
    }

    void cleanup() { m_model.reset(); }

    void startsReady()
    {
        QCOMPARE(m_model->status(), QStringLiteral("Ready"));
        QVERIFY(!m_model->busy());
        QVERIFY(m_model->sourceExpanded());
        QCOMPARE(m_model->error(), std::nullopt);
    }

    void absentSettingsTranslateWithTheHostedServiceIntoSimplifiedChinese()
    {
        start(QStringLiteral("  Hello\n world \n"));
        QCOMPARE(m_engines->kinds(), QStringList{QStringLiteral("hosted")});
        QCOMPARE(call(0).args, (QStringList{QStringLiteral("  Hello\n world \n"), QStringLiteral("zh-Hans"),
                                            QStringLiteral("token-1")}));
        QVERIFY(m_model->busy());
        QCOMPARE(m_model->status(), QStringLiteral("Translating…"));
    }

    void blankSourceOrDeclinedConsentChangesNothing_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("consentStored");
        QTest::addColumn<int>("asked");
        QTest::newRow("spaces and line breaks") << QStringLiteral(" \n\t \r\n") << true << 0;
        QTest::newRow("empty") << QString() << false << 0;
        QTest::newRow("consent declined") << QStringLiteral("Hello") << false << 1;
    }
    void blankSourceOrDeclinedConsentChangesNothing()
    {
        QFETCH(QString, source);
        QFETCH(bool, consentStored);
        QFETCH(int, asked);
        if (!consentStored) {
            Settings::remove(Settings::Key::translationPrivacyConsent);
        }
        m_prompt.answer = ConsentPrompt::Answer::Cancel;
        m_model->setSource(source);
        m_model->setTranslated(QStringLiteral("earlier translation"));
        m_model->setError(QStringLiteral("earlier error"));
        const QUuid generation = m_model->generation();
        int changes = 0;
        watchAll(*m_model, &changes);
        m_model->translate();
        settle();
        QCOMPARE(changes, 0);
        QCOMPARE(m_prompt.asked, asked);
        QCOMPARE(m_model->generation(), generation);
        QCOMPARE(m_model->translated(), QStringLiteral("earlier translation"));
        QCOMPARE(m_model->error(), std::optional<QString>(QStringLiteral("earlier error")));
        QVERIFY(m_engines->calls.isEmpty());
    }

    void agreedConsentTranslates()
    {
        Settings::remove(Settings::Key::translationPrivacyConsent);
        start(QStringLiteral("Hello"));
        QCOMPARE(m_prompt.asked, 1);
        m_model->stop();
        start(QStringLiteral("Again"), 2);
        QCOMPARE(m_prompt.asked, 1);
    }

    // A stored engine value no version wrote means the agent CLI, as the settings window shows it.
    void anyOtherStoredEngineIsTheAgentCli_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::newRow("unknown name") << QStringLiteral("Babel");
        QTest::newRow("another case") << QStringLiteral("codex");
        QTest::newRow("empty") << QString();
    }
    void anyOtherStoredEngineIsTheAgentCli()
    {
        QFETCH(QString, engine);
        Settings::setValue(Settings::Key::engine, engine);
        start(QStringLiteral("Hello"));
        call(0).finish(QString()); // input moderation
        QTRY_COMPARE(m_engines->calls.size(), 2);
        QCOMPARE(m_engines->kinds(), (QStringList{QStringLiteral("moderate"), QStringLiteral("codex")}));
    }

    // What keeps a translation from reaching its engine is shown as such: a keyring that cannot give the key or
    // the token.
    void translationThatCannotStartSaysWhy_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("unreadable"); // the keyring account that cannot be read
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("kinds");
        const QString locked = QStringLiteral("The keyring is locked. Unlock it and try again.");
        QTest::newRow("API key behind a locked keyring") << QStringLiteral("MiniMax") << QStringLiteral("minimax")
                                                         << locked << QStringList{QStringLiteral("moderate")};
        QTest::newRow("service token behind a locked keyring")
            << QStringLiteral("Sorn") << QStringLiteral("service") << locked << QStringList{};
    }
    void translationThatCannotStartSaysWhy()
    {
        QFETCH(QString, engine);
        QFETCH(QString, unreadable);
        QFETCH(QString, error);
        QFETCH(QStringList, kinds);
        Settings::setValue(Settings::Key::engine, engine);
        if (!unreadable.isEmpty()) {
            m_engines->secretFailures.insert(unreadable, error);
        }
        m_model->setSource(QStringLiteral("Hello"));
        m_model->translate();
        if (!kinds.isEmpty()) {
            QTRY_COMPARE(m_engines->calls.size(), 1);
            call(0).finish(QString()); // the source passed moderation
        }
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(m_model->error(), std::optional<QString>(error));
        QCOMPARE(m_model->status(), QStringLiteral("Translation failed"));
        QCOMPARE(m_engines->kinds(), kinds);
    }

    void hostedPartialTextIsShownWhileWriting()
    {
        start(QStringLiteral("Hello"));
        call(0).update(QStringLiteral("你"));
        QTRY_COMPARE(m_model->translated(), QStringLiteral("你"));
        QCOMPARE(m_model->status(), QStringLiteral("Writing translation…"));
        call(0).update(QStringLiteral("你好"));
        QTRY_COMPARE(m_model->translated(), QStringLiteral("你好"));
        call(0).finish(QStringLiteral("你好。"));
        QCOMPARE(m_model->translated(), QStringLiteral("你好。"));
        QCOMPARE(m_model->status(), QStringLiteral("Translation complete"));
        QVERIFY(!m_model->busy());
        QCOMPARE(m_model->error(), std::nullopt);
    }

    void otherEnginesShowNothingBeforeOutputModeration_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("engineArgs");
        QTest::newRow("chat completions") << QStringLiteral("MiniMax") << QStringLiteral("minimax")
                                          << QStringList{QStringLiteral(" Hi "),
                                                         QStringLiteral("Japanese"),
                                                         QStringLiteral("https://api.minimax.io/v1/chat/completions"),
                                                         QString(),
                                                         QStringLiteral(" sk-key "),
                                                         QStringLiteral("disabled")};
        QTest::newRow("agent") << QStringLiteral("Codex") << QStringLiteral("codex")
                               << QStringList{QStringLiteral(" Hi "), QStringLiteral("Japanese"),
                                              QStringLiteral("gpt-x")};
    }
    void otherEnginesShowNothingBeforeOutputModeration()
    {
        QFETCH(QString, engine);
        QFETCH(QString, kind);
        QFETCH(QStringList, engineArgs);
        Settings::setValue(Settings::Key::engine, engine);
        Settings::setValue(Settings::Key::language, QStringLiteral("ja"));
        Settings::setValue(Settings::Key::codexModel, QStringLiteral("  gpt-x\n"));
        start(QStringLiteral(" Hi "));
        QCOMPARE(call(0).kind, QStringLiteral("moderate"));
        const QString requestID = call(0).args.at(2);
        QCOMPARE(call(0).args,
                 (QStringList{QStringLiteral(" Hi "), QStringLiteral("input"), requestID, QStringLiteral("token-1")}));
        QCOMPARE(QUuid::fromString(requestID).toString(QUuid::WithoutBraces).toUpper(), requestID);

        call(0).finish(QString());
        QTRY_COMPARE(m_engines->calls.size(), 2);
        QCOMPARE(call(1).kind, kind);
        QCOMPARE(call(1).args, engineArgs);
        call(1).update(QStringLiteral("こん"));
        settle();
        QCOMPARE(m_model->translated(), QString());
        QCOMPARE(m_model->status(), QStringLiteral("Translating…"));

        call(1).finish(QStringLiteral("こんにちは"));
        QCOMPARE(m_engines->calls.size(), 3);
        QCOMPARE(call(2).args, (QStringList{QStringLiteral("こんにちは"), QStringLiteral("output"), requestID,
                                            QStringLiteral("token-1")}));
        QCOMPARE(m_model->translated(), QString());
        QVERIFY(m_model->busy());
        call(2).finish(QString());
        QCOMPARE(m_model->translated(), QStringLiteral("こんにちは"));
        QCOMPARE(m_model->status(), QStringLiteral("Translation complete"));
        QVERIFY(!m_model->busy());
    }

    void moderationRefusalsEndTheTranslation_data()
    {
        QTest::addColumn<int>("failingCall");
        QTest::newRow("input") << 0;
        QTest::newRow("output") << 2;
    }
    void moderationRefusalsEndTheTranslation()
    {
        QFETCH(int, failingCall);
        Settings::setValue(Settings::Key::engine, QStringLiteral("Codex"));
        start(QStringLiteral("Hi"));
        for (int index = 0; index < failingCall; ++index) {
            call(index).finish(QStringLiteral("译文"));
            QTRY_COMPARE(m_engines->calls.size(), index + 2);
        }
        call(failingCall).finish(Error::app(QStringLiteral("该内容不符合使用规范。")));
        QCOMPARE(m_model->error(),
                 std::optional<QString>(QStringLiteral("This content does not meet our usage guidelines.")));
        QCOMPARE(m_model->status(), QStringLiteral("Translation failed"));
        QCOMPARE(m_model->translated(), QString());
        QCOMPARE(m_engines->calls.size(), failingCall + 1);
    }

    void failureAfterPartialTextKeepsIt_data()
    {
        QTest::addColumn<bool>("appFailure");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("shown");
        QTest::newRow("catalogue key") << true << QStringLiteral("服务暂时不可用，请稍后重试。")
                                       << QStringLiteral("Service unavailable. Please try again shortly.");
        QTest::newRow("text that is not a key")
            << false << QStringLiteral("Connection reset by peer") << QStringLiteral("Connection reset by peer");
    }
    void failureAfterPartialTextKeepsIt()
    {
        QFETCH(bool, appFailure);
        QFETCH(QString, description);
        QFETCH(QString, shown);
        const Error error = appFailure ? Error::app(description) : Error::system(description);
        start(QStringLiteral("Hello"));
        call(0).update(QStringLiteral("你"));
        QTRY_COMPARE(m_model->translated(), QStringLiteral("你"));
        call(0).finish(error);
        QCOMPARE(m_model->translated(), QStringLiteral("你"));
        QCOMPARE(m_model->error(), std::optional<QString>(shown));
        QCOMPARE(m_model->status(), QStringLiteral("Translation failed"));
        QVERIFY(!m_model->busy());
    }

    // A translation that ran to its end is announced once, with what it was; one that failed or was stopped never.
    void completedTranslationsAreAnnounced_data()
    {
        QTest::addColumn<QString>("end"); // "finish", "fail" or "stop"
        QTest::addColumn<int>("announced");
        QTest::newRow("finished") << QStringLiteral("finish") << 1;
        QTest::newRow("failed") << QStringLiteral("fail") << 0;
        QTest::newRow("stopped") << QStringLiteral("stop") << 0;
    }
    void completedTranslationsAreAnnounced()
    {
        QFETCH(QString, end);
        QFETCH(int, announced);
        QList<CompletedTranslation> seen;
        connect(m_model.get(), &Model::translationCompleted, this,
                [&seen](const CompletedTranslation& completed) { seen.append(completed); });
        Settings::setValue(Settings::Key::language, QStringLiteral("ja"));
        const QDateTime before = QDateTime::currentDateTimeUtc();
        start(QStringLiteral("Hello"));
        if (end == QStringLiteral("stop")) {
            m_model->stop();
        }
        call(0).finish(end == QStringLiteral("fail") ? Outcome<QString>(Error::app(QStringLiteral("no")))
                                                     : Outcome<QString>(QStringLiteral("こんにちは")));
        settle();
        QCOMPARE(seen.size(), announced);
        if (announced == 1) {
            QCOMPARE(seen[0].source, QStringLiteral("Hello"));
            QCOMPARE(seen[0].translation, QStringLiteral("こんにちは"));
            QCOMPARE(seen[0].target, QStringLiteral("ja"));
            QCOMPARE(seen[0].engine, EngineKind::Hosted);
            QVERIFY(seen[0].time >= before && seen[0].time <= QDateTime::currentDateTimeUtc());
        }
    }

    void lateEventsOfAStoppedTranslationNeverAppear()
    {
        start(QStringLiteral("first"));
        call(0).update(QStringLiteral("a"));
        m_model->stop(); // the update above is still queued
        QVERIFY(*call(0).cancelled);
        QVERIFY(!m_model->busy());
        call(0).update(QStringLiteral("ab"));
        call(0).finish(QStringLiteral("abc"));
        settle();
        QCOMPARE(m_model->translated(), QString());
        QCOMPARE(m_model->status(), QStringLiteral("Translating…"));
        QCOMPARE(m_model->error(), std::nullopt);

        call(0).finish(Error::app(QStringLiteral("late failure")));
        QCOMPARE(m_model->error(), std::nullopt);
    }

    void aNewTranslationSupersedesTheRunningOne()
    {
        QStringList shown;
        connect(m_model.get(), &Model::translatedChanged, this, [&] { shown.append(m_model->translated()); });
        start(QStringLiteral("first"));
        m_model->setSource(QStringLiteral("second"));
        m_model->translate();
        QVERIFY(*call(0).cancelled);
        QTRY_COMPARE(m_engines->calls.size(), 2);
        call(0).update(QStringLiteral("old partial")); // the new translation is busy: only the generation differs
        call(0).finish(QStringLiteral("old result"));
        call(1).update(QStringLiteral("new partial"));
        QTRY_COMPARE(m_model->translated(), QStringLiteral("new partial"));
        call(1).finish(QStringLiteral("new result"));
        QCOMPARE(m_model->translated(), QStringLiteral("new result"));
        QCOMPARE(shown, (QStringList{QStringLiteral("new partial"), QStringLiteral("new result")}));
        QCOMPARE(call(1).args.first(), QStringLiteral("second"));
    }

    // However fast an engine reports, the GUI thread gets one text at a time: the latest.
    void partialTextsWaitInOneSlot()
    {
        start(QStringLiteral("Hello"));
        QSignalSpy changes(m_model.get(), &Model::translatedChanged);
        QString text;
        for (int i = 0; i < 1000; ++i) {
            text += QLatin1Char('x');
            call(0).update(text);
        }
        settle();
        QCOMPARE(changes.count(), 1);
        QCOMPARE(m_model->translated(), text);
    }

    // Every setting a translation uses is read when it starts: a change while the keyring answers is for the next.
    void settingsAreReadWhenATranslationStarts_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QStringList>("engineArgs");
        QTest::newRow("chat completions") << QStringLiteral("MiniMax")
                                          << QStringList{QStringLiteral("Hi"),
                                                         QStringLiteral("Simplified Chinese"),
                                                         QStringLiteral("https://a.example/v1/chat/completions"),
                                                         QStringLiteral("model-a"),
                                                         QStringLiteral(" sk-key "),
                                                         QStringLiteral("automatic")};
        QTest::newRow("agent") << QStringLiteral("Codex")
                               << QStringList{QStringLiteral("Hi"), QStringLiteral("Simplified Chinese"),
                                              QStringLiteral("gpt-a")};
    }
    void settingsAreReadWhenATranslationStarts()
    {
        QFETCH(QString, engine);
        QFETCH(QStringList, engineArgs);
        const auto set = [](const QString& letter) {
            Settings::setValue(Settings::Key::endpoint,
                               QStringLiteral("https://%1.example/v1/chat/completions").arg(letter));
            Settings::setValue(Settings::Key::minimaxModel, QString(QStringLiteral("model-") + letter));
            Settings::setValue(Settings::Key::minimaxThinking, letter == QStringLiteral("a")
                                                                   ? QStringLiteral("automatic")
                                                                   : QStringLiteral("disabled"));
            Settings::setValue(Settings::Key::codexModel, QString(QStringLiteral("gpt-") + letter));
        };
        Settings::setValue(Settings::Key::engine, engine);
        set(QStringLiteral("a"));
        m_model->setSource(QStringLiteral("Hi"));
        m_model->translate();
        set(QStringLiteral("b"));
        QTRY_COMPARE(m_engines->calls.size(), 1);
        call(0).finish(QString()); // input moderation; the keyring is asked next
        QTRY_COMPARE(m_engines->calls.size(), 2);
        QCOMPARE(call(1).args, engineArgs);
        for (const QString& key : {Settings::Key::endpoint, Settings::Key::minimaxModel, Settings::Key::minimaxThinking,
                                   Settings::Key::codexModel}) {
            Settings::remove(key);
        }
    }

    void stopBeforeTheEngineStartsCallsNothing()
    {
        m_model->setSource(QStringLiteral("Hello"));
        m_model->translate();
        m_model->stop();
        settle();
        QVERIFY(m_engines->calls.isEmpty());
    }

    void editingTheSource()
    {
        start(QStringLiteral("Hello"));
        call(0).update(QStringLiteral("你"));
        QTRY_COMPARE(m_model->translated(), QStringLiteral("你"));
        m_model->sourceEdited(QStringLiteral("Hello!"));
        QVERIFY(*call(0).cancelled);
        QVERIFY(!m_model->busy());
        QCOMPARE(m_model->status(), QStringLiteral("Source edited"));
        QCOMPARE(m_model->translated(), QStringLiteral("你"));
        QCOMPARE(m_model->source(), QStringLiteral("Hello!"));

        m_model->sourceEdited(QStringLiteral("Hello!!"));
        QCOMPARE(m_model->status(), QStringLiteral("Source edited"));

        m_model->setError(QStringLiteral("old error"));
        m_model->sourceEdited(QStringLiteral("  \n"));
        QCOMPARE(m_model->status(), QStringLiteral("Paste text to translate"));
        QCOMPARE(m_model->translated(), QString());
        QCOMPARE(m_model->error(), std::nullopt);
    }

    void clearingWhileTranslatingShowsThePastePrompt()
    {
        start(QStringLiteral("Hello"));
        QStringList statuses;
        connect(m_model.get(), &Model::statusChanged, this, [&] { statuses.append(m_model->status()); });
        m_model->sourceEdited(QString());
        QVERIFY(*call(0).cancelled);
        QCOMPARE(m_model->status(), QStringLiteral("Paste text to translate"));
        QCOMPARE(statuses.last(), QStringLiteral("Paste text to translate"));
        QVERIFY(!m_model->busy());
    }

    void engineCancellingOnItsOwnIsNoFailure()
    {
        start(QStringLiteral("Hello"));
        call(0).finish(Error::cancelled());
        QVERIFY(!m_model->busy());
        QCOMPARE(m_model->error(), std::nullopt);
        QVERIFY(m_model->status() != QStringLiteral("Translation failed"));
    }

    void copyToast()
    {
        using namespace std::chrono_literals;
        ManualClock clock;
        m_model->setScheduler(clock.scheduler());
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("left alone"));

        m_model->copy(QString(), QStringLiteral("原文"));
        QCOMPARE(m_model->copied(), QString());
        QCOMPARE(clipboard->text(), QStringLiteral("left alone"));
        QVERIFY(clock.pending().isEmpty());

        m_model->copy(QStringLiteral("source text"), QStringLiteral("原文"));
        QCOMPARE(clipboard->text(), QStringLiteral("source text"));
        QCOMPARE(m_model->copied(), QStringLiteral("原文"));
        clock.advance(1000ms);
        m_model->copy(QStringLiteral("译文内容"), QStringLiteral("译文"));
        QCOMPARE(clipboard->text(), QStringLiteral("译文内容"));
        QCOMPARE(m_model->copied(), QStringLiteral("译文"));
        QCOMPARE(clock.pending(), QList<std::chrono::milliseconds>{1400ms}); // the first copy's timer is gone

        clock.advance(1399ms); // the first copy's 1.4 s are over, the second's are not
        QCOMPARE(m_model->copied(), QStringLiteral("译文"));
        clock.advance(1ms);
        QCOMPARE(m_model->copied(), QString());
    }

    void copyToastClearsOnARealTimer()
    {
        m_model->copy(QStringLiteral("x"), QStringLiteral("原文"));
        QCOMPARE(m_model->copied(), QStringLiteral("原文"));
        QTRY_COMPARE_WITH_TIMEOUT(m_model->copied(), QString(), 5000);
    }
};

QTEST_MAIN(TestModel)
#include "tst_model.moc"
