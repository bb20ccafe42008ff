#include "foundation/Secrets.h"
#include "support/BareBus.h"
#include "support/ChildProcess.h"
#include "support/HttpsTestServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

namespace {

QByteArray sse(const QByteArray& name, const QByteArray& data)
{
    return "event: " + name + "\ndata: " + data + "\n\n";
}

QJsonObject bodyOf(const RecordedRequest& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

} // namespace

// `quilvant --translate` end to end: the real program, the real keyring of the test session, the loopback HTTPS
// service standing in for the hosted one, and the agent CLI's stand-in.
class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;
    std::unique_ptr<Sandbox> m_sandbox;
    QMutex m_lock;
    QByteArray m_translateStream;
    QByteArray m_verdict = "{\"action\":\"allow\"}";

    RunResult translate(const QStringList& arguments, const QByteArray& input = {})
    {
        return runQuilvant(QStringList{QStringLiteral("--translate")} + arguments, *m_sandbox, {input, 90000});
    }

    QList<RecordedRequest> requestsTo(const QByteArray& path) const
    {
        QList<RecordedRequest> found;
        for (const RecordedRequest& request : m_server.requests()) {
            if (request.path == path) {
                found.append(request);
            }
        }
        return found;
    }

    void setStream(const QByteArray& stream)
    {
        QMutexLocker guard(&m_lock);
        m_translateStream = stream;
    }
    void setVerdict(const QByteArray& verdict)
    {
        QMutexLocker guard(&m_lock);
        m_verdict = verdict;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        m_server.setHandler([this](const RecordedRequest& request) {
            QMutexLocker guard(&m_lock);
            if (request.path == "/v1/moderate") {
                return ServerResponse::json(200, m_verdict);
            }
            if (request.path == "/v1/chat/completions") {
                ServerResponse response = ServerResponse::eventStream(
                    {"data: {\"choices\":[{\"delta\":{\"content\":\"Bonjour\"}}]}\n\n",
                     "data: {\"choices\":[{\"delta\":{\"content\":\" le monde\"},\"finish_reason\":\"stop\"}]}\n\n",
                     "data: [DONE]\n\n"},
                    5);
                response.chunks.append(ServerChunk{QByteArray(), 300}); // the body ends a while after "[DONE]"
                return response;
            }
            // One write per line, a little apart, so that partial text is seen on its own.
            QList<QByteArray> chunks;
            for (const QByteArray& piece : m_translateStream.split('\n')) {
                chunks.append(piece + '\n');
            }
            chunks.last().chop(1);
            return ServerResponse::eventStream(chunks, 15);
        });
        QVERIFY(Secrets::save(QStringLiteral("service-token-1"), Secrets::serviceAccount));
    }

    void cleanupTestCase()
    {
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount));
        QVERIFY(Secrets::save(QString(), Secrets::minimaxAccount));
    }

    void init()
    {
        m_sandbox = std::make_unique<Sandbox>();
        m_sandbox->setEnv(QStringLiteral("SSL_CERT_FILE"), m_server.caFile());
        m_sandbox->writeSetting(QStringLiteral("serviceURL"), m_server.url().toString());
        m_sandbox->writeSetting(QStringLiteral("translationPrivacyConsent"), QStringLiteral("norvel-sift-1"));
        setStream(sse("delta", "{\"text\":\"你\"}") + sse("delta", "{\"text\":\"你好\"}") +
                  sse("done", "{\"text\":\"你好。\",\"remainingCharacters\":9}"));
        setVerdict("{\"action\":\"allow\"}");
    }

    void hostedWords()
    {
        const int before = m_server.requestCount();
        const RunResult result = translate({QStringLiteral("Hello,"), QStringLiteral(" big"), QStringLiteral("world")});
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(), QStringLiteral("你好。\n"));
        QCOMPARE(m_server.requestCount(), before + 1);
        const RecordedRequest request = m_server.requests().last();
        QCOMPARE(request.path, QByteArray("/v1/translate"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer service-token-1"));
        QCOMPARE(bodyOf(request).value(QStringLiteral("source")).toString(), QStringLiteral("Hello,  big world"));
        QCOMPARE(bodyOf(request).value(QStringLiteral("target")).toString(), QStringLiteral("zh-Hans"));
    }

    void standardInputAndOverrides()
    {
        const QByteArray before = [this] {
            QFile file(m_sandbox->settingsFile());
            file.open(QIODevice::ReadOnly);
            return file.readAll();
        }();
        const RunResult result = translate(
            {QStringLiteral("--to"), QStringLiteral("JA"), QStringLiteral("--engine"), QStringLiteral("quilvant")},
            "  line one\nline two\n");
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(), QStringLiteral("你好。\n"));
        const QJsonObject body = bodyOf(m_server.requests().last());
        QCOMPARE(body.value(QStringLiteral("source")).toString(), QStringLiteral("  line one\nline two"));
        QCOMPARE(body.value(QStringLiteral("target")).toString(), QStringLiteral("ja"));
        QFile file(m_sandbox->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("message");
        const QByteArray fine = sse("done", "{\"text\":\"ok\",\"remainingCharacters\":1}");
        QTest::newRow("error event") << QStringList{QStringLiteral("Hello")}
                                     << sse("error", "{\"error\":{\"code\":\"moderation_blocked\",\"message\":\"m\"}}")
                                     << QStringLiteral("This content does not meet our usage guidelines.");
        QTest::newRow("interrupted after partial text")
            << QStringList{QStringLiteral("Hello")} << sse("delta", "{\"text\":\"你\"}")
            << QStringLiteral("The translation was interrupted before it finished. Please try again.");
        QTest::newRow("blank words") << QStringList{QStringLiteral(" "), QStringLiteral("\n")} << fine
                                     << QStringLiteral("nothing to translate.");
        QTest::newRow("unknown engine")
            << QStringList{QStringLiteral("--engine"), QStringLiteral("Babel"), QStringLiteral("x")} << fine
            << QStringLiteral("unknown engine \"Babel\"; use Quilvant (hosted), MiniMax or Codex.");
        QTest::newRow("unknown language")
            << QStringList{QStringLiteral("x"), QStringLiteral("--to"), QStringLiteral("de")} << fine
            << QStringLiteral("unknown target language \"de\"; use one of zh-Hans, zh-Hant, ja, ko, fr, en.");
        QTest::newRow("option without its value") << QStringList{QStringLiteral("x"), QStringLiteral("--to")} << fine
                                                  << QStringLiteral("--to needs a value.");
    }
    void failures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, stream);
        QFETCH(QString, message);
        setStream(stream);
        const RunResult result = translate(arguments);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("Translation failed: ") + message + QLatin1Char('\n'));
        QCOMPARE(result.outText(), QString());
    }

    // Text from a server reaches a terminal without its control sequences (no clipboard write, no title), and a
    // pipe byte for byte. Error lines are cleaned either way.
    void outputOnATerminalIsCleaned_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("terminal") << true;
        QTest::newRow("pipe") << false;
    }
    void outputOnATerminalIsCleaned()
    {
        QFETCH(bool, terminal);
        setStream(sse(
            "done",
            "{\"text\":\"\\u001b]52;c;SGk=\\u0007\\u4f60\\u597d\\u001b]0;x\\u001b\\\\\",\"remainingCharacters\":1}"));
        const QByteArray raw = "\x1b]52;c;SGk=\x07你好\x1b]0;x\x1b\\";
        if (!terminal) {
            const RunResult result = translate({QStringLiteral("Hello")});
            QCOMPARE(result.exitCode, 0);
            QCOMPARE(result.out, raw + '\n');
            return;
        }
        const QString command = quilvantBinary() + QStringLiteral(" --translate Hello");
        const RunResult result =
            runProgram(QStringLiteral("script"), {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")},
                       *m_sandbox, {{}, 90000});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(!result.out.contains('\x1b') && !result.out.contains('\x07'), result.out.constData());
        QVERIFY2(result.out.endsWith("\xef\xbf\xbd]52;c;SGk=\xef\xbf\xbd你好\xef\xbf\xbd]0;x\xef\xbf\xbd\\\r\n"),
                 result.out.constData());
    }

    void agentErrorLineIsCleaned()
    {
        m_sandbox->writeSetting(QStringLiteral("codexPath"), testProgram(QStringLiteral("codex_standin")));
        const RunResult result =
            translate({QStringLiteral("--engine"), QStringLiteral("Codex"), QStringLiteral("FAILCTRL")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("Translation failed: model\uFFFD]0;owned\uFFFD failed\uFFFD\n"));
    }

    // More standard input than any engine takes is refused after reading just past the limit.
    void oversizedInputIsRefused_data()
    {
        QTest::addColumn<QString>("source"); // "" for 2,000,001 bytes through a pipe
        QTest::newRow("one byte too many") << QString();
        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero");
    }
    void oversizedInputIsRefused()
    {
        QFETCH(QString, source);
        const int before = m_server.requestCount();
        const RunResult result =
            source.isEmpty() ? translate({}, QByteArray(2'000'001, 'a'))
                             : runProgram(QStringLiteral("sh"),
                                          {QStringLiteral("-c"), QStringLiteral("exec \"$0\" --translate < ") + source,
                                           quilvantBinary()},
                                          *m_sandbox, {{}, 90000});
        QCOMPARE(result.errText(), QStringLiteral("Translation failed: Standard input is longer than 2000000 bytes, "
                                                  "more than any translation engine accepts.\n"));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(m_server.requestCount(), before);
    }

    void unreadableSettingsAreNotMissingConsent()
    {
        QVERIFY(QFile::remove(m_sandbox->settingsFile()));
        QVERIFY(QDir().mkpath(m_sandbox->settingsFile()));
        const RunResult result = translate({QStringLiteral("Hello")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("Translation failed: Cannot read the settings file %1: not a regular "
                                                  "file\n")
                                       .arg(m_sandbox->settingsFile()));
    }

    // Without any keyring the hosted service is still reached (no token could have been stored); the API key of
    // the chat-completions engine is missing for a reason that is not "save it first".
    void withoutAKeyring()
    {
        BareBus bus;
        m_sandbox->setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        const RunResult hosted = translate({QStringLiteral("Hello")});
        QCOMPARE(hosted.errText(), QString());
        QCOMPARE(hosted.outText(), QStringLiteral("你好。\n"));
        QCOMPARE(m_server.requests().last().header("Authorization"), QByteArray());

        m_sandbox->writeSetting(QStringLiteral("engine"), QStringLiteral("MiniMax"));
        m_sandbox->writeSetting(QStringLiteral("minimaxModel"), QStringLiteral("MiniMax-M3"));
        const RunResult chat = translate({QStringLiteral("Hello")});
        QCOMPARE(chat.exitCode, 1);
        QVERIFY2(chat.errText().startsWith(QStringLiteral("Translation failed: The keyring cannot be reached: ")),
                 chat.err.constData());
    }

    void withoutServiceAddress()
    {
        m_sandbox->writeSetting(QStringLiteral("serviceURL"), QString());
        const RunResult result = translate({QStringLiteral("Hello")});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("Translation failed: Hosted service is not available yet\n"));
    }

    void consentRefusedWithoutATerminal()
    {
        m_sandbox->writeSetting(QStringLiteral("translationPrivacyConsent"), QStringLiteral("norvel-sift-0"));
        const int before = m_server.requestCount();
        const RunResult result = translate({QStringLiteral("Hello")}, "y\n");
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errText().startsWith(QStringLiteral("Translation failed: consent")), result.err.constData());
        QVERIFY(result.errText().contains(QStringLiteral("translationPrivacyConsent=norvel-sift-1")));
        QCOMPARE(m_server.requestCount(), before);
        QCOMPARE(result.outText(), QString());
    }

    void onATerminal_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("translated");
        QTest::newRow("agreed") << QByteArray("y\n") << 0 << true;
        QTest::newRow("declined") << QByteArray("n\n") << 1 << false;
    }
    void onATerminal()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, status);
        QFETCH(bool, translated);
        m_sandbox->writeSetting(QStringLiteral("translationPrivacyConsent"), QString());
        const int before = m_server.requestCount();
        // `script` runs the program on a pseudo-terminal; its standard output and error both land there.
        const QString command = quilvantBinary() + QStringLiteral(" --translate Hello");
        const RunResult result =
            runProgram(QStringLiteral("script"), {QStringLiteral("-qec"), command, QStringLiteral("/dev/null")},
                       *m_sandbox, {answer, 90000});
        const QString screen = result.outText();
        QCOMPARE(result.exitCode, status);
        QVERIFY2(screen.contains(QStringLiteral("Before you translate")), result.out.constData());
        QVERIFY(screen.contains(QStringLiteral("screenshots are never uploaded")));
        QSettings settings(m_sandbox->settingsFile(), QSettings::IniFormat);
        if (translated) {
            QVERIFY2(screen.contains(QStringLiteral("[Writing translation…]")), result.out.constData());
            QVERIFY(screen.contains(QStringLiteral("你好")));
            QVERIFY(screen.endsWith(QStringLiteral("你好。\r\n")));
            QCOMPARE(settings.value(QStringLiteral("translationPrivacyConsent")).toString(),
                     QStringLiteral("norvel-sift-1"));
            QCOMPARE(m_server.requestCount(), before + 1);
        } else {
            QVERIFY(screen.contains(QStringLiteral("Translation failed: consent was not given; nothing was sent.")));
            QCOMPARE(settings.value(QStringLiteral("translationPrivacyConsent")).toString(), QString());
            QCOMPARE(m_server.requestCount(), before);
        }
    }

    void chatCompletionsEngine_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("key from the keyring")
            << QStringLiteral(" sk-e2e ") << 0 << QStringLiteral("Bonjour le monde\n") << QString();
        QTest::newRow("no key stored") << QString() << 1 << QString()
                                       << QStringLiteral(
                                              "Translation failed: Save your MiniMax API key in Settings first.\n");
    }
    void chatCompletionsEngine()
    {
        QFETCH(QString, key);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QVERIFY(Secrets::save(key, Secrets::minimaxAccount));
        m_sandbox->writeSetting(QStringLiteral("engine"), QStringLiteral("MiniMax"));
        m_sandbox->writeSetting(QStringLiteral("endpoint"),
                                m_server.url(QStringLiteral("/v1/chat/completions")).toString());
        m_sandbox->writeSetting(QStringLiteral("minimaxModel"), QStringLiteral("MiniMax-M3"));
        const qsizetype before = requestsTo("/v1/chat/completions").size();
        const RunResult result =
            translate({QStringLiteral("--to"), QStringLiteral("fr"), QStringLiteral("Hello world")});
        QCOMPARE(result.errText(), err);
        QCOMPARE(result.exitCode, status);
        QCOMPARE(result.outText(), out);
        const QList<RecordedRequest> chats = requestsTo("/v1/chat/completions").mid(before);
        QCOMPARE(chats.size(), status == 0 ? 1 : 0);
        if (status == 0) {
            // The transfer read to the end of its body before the program left, and wrote what it measured.
            QFile log(m_sandbox->privateTempDir() + QStringLiteral("/kestu-diagnostics.log"));
            QVERIFY(log.open(QIODevice::ReadOnly));
            QVERIFY(log.readAll().contains(" minimax.network reused="));
            QCOMPARE(chats.first().header("Authorization"), QByteArray("Bearer sk-e2e"));
            QVERIFY(chats.first().body.contains("French"));
            const QList<RecordedRequest> checks = requestsTo("/v1/moderate");
            QCOMPARE(bodyOf(checks.last()).value(QStringLiteral("text")).toString(),
                     QStringLiteral("Bonjour le monde"));
        }
    }

    void agentEngine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("verdict");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<int>("moderations");
        QTest::newRow("translated and moderated twice")
            << QStringLiteral("Hello") << QByteArray("{\"action\":\"allow\"}") << 0 << QStringLiteral("译文：测试\n")
            << QString() << 2;
        QTest::newRow("input refused") << QStringLiteral("Hello") << QByteArray("{\"action\":\"block\"}") << 1
                                       << QString()
                                       << QStringLiteral("Translation failed: Safety checks are unavailable. Try again "
                                                         "later; no allowance was used.\n")
                                       << 1;
        QTest::newRow("engine failure") << QStringLiteral("FAIL") << QByteArray("{\"action\":\"allow\"}") << 1
                                        << QString() << QStringLiteral("Translation failed: simulated model failure\n")
                                        << 1;
    }
    void agentEngine()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, verdict);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(int, moderations);
        setVerdict(verdict);
        m_sandbox->writeSetting(QStringLiteral("codexPath"), testProgram(QStringLiteral("codex_standin")));
        const qsizetype before = requestsTo("/v1/moderate").size();
        const RunResult result = translate({QStringLiteral("--engine"), QStringLiteral("Codex"), text});
        QCOMPARE(result.errText(), err);
        QCOMPARE(result.exitCode, status);
        QCOMPARE(result.outText(), out);
        const QList<RecordedRequest> checks = requestsTo("/v1/moderate").mid(before);
        QCOMPARE(checks.size(), moderations);
        QCOMPARE(bodyOf(checks.first()).value(QStringLiteral("text")).toString(), text);
        QCOMPARE(bodyOf(checks.first()).value(QStringLiteral("stage")).toString(), QStringLiteral("input"));
        if (moderations == 2) {
            QCOMPARE(bodyOf(checks.last()).value(QStringLiteral("text")).toString(), QStringLiteral("译文：测试"));
            QCOMPARE(bodyOf(checks.last()).value(QStringLiteral("stage")).toString(), QStringLiteral("output"));
            QCOMPARE(bodyOf(checks.last()).value(QStringLiteral("requestID")),
                     bodyOf(checks.first()).value(QStringLiteral("requestID")));
        }
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
