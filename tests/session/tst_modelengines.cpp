#include "engines/codex/CodexClient.h"
#include "engines/hosted/HostedClient.h"
#include "engines/minimax/MiniMaxClient.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "session/ClientEngines.h"
#include "session/Model.h"
#include "support/ChildProcess.h"
#include "support/HttpsTestServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

namespace {

QByteArray sse(const QByteArray& name, const QByteArray& data)
{
    return "event: " + name + "\ndata: " + data + "\n\n";
}

} // namespace

// The session model against the real engine clients: the loopback HTTPS service for the hosted and
// chat-completions engines and for moderation, the app-server stand-in for the agent engine.
class TestModelEngines : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;
    HttpsTestServer m_server;
    QMutex m_lock;
    ServerResponse m_translation;
    std::unique_ptr<HostedClient> m_hosted;
    std::unique_ptr<MiniMaxClient> m_minimax;
    std::unique_ptr<CodexClient> m_codex;
    std::unique_ptr<Model> m_model;
    QStringList m_shown;    // every value `translated` took
    QStringList m_statuses; // every value `status` took

    void answerTranslation(const ServerResponse& response)
    {
        QMutexLocker guard(&m_lock);
        m_translation = response;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
        Settings::setValue(Settings::Key::translationPrivacyConsent, QStringLiteral("norvel-sift-1"));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        m_server.setHandler([this](const RecordedRequest& request) {
            if (request.path == "/v1/moderate") {
                return ServerResponse::json(200, "{\"action\":\"allow\"}");
            }
            if (request.path == "/v1/chat/completions") {
                return ServerResponse::eventStream(
                    {"data: {\"choices\":[{\"delta\":{\"content\":\"Bon\"}}]}\n\n",
                     "data: {\"choices\":[{\"delta\":{\"content\":\"jour\"},\"finish_reason\":\"stop\"}]}\n\n",
                     "data: [DONE]\n\n"},
                    20);
            }
            QMutexLocker guard(&m_lock);
            return m_translation;
        });
        Settings::setValue(Settings::Key::endpoint, m_server.url(QStringLiteral("/v1/chat/completions")).toString());
        Settings::setValue(Settings::Key::minimaxModel, QStringLiteral("MiniMax-M3"));
        QVERIFY(Secrets::save(QStringLiteral("sk-model"), Secrets::minimaxAccount));
        QVERIFY(Secrets::save(QStringLiteral("tok-model"), Secrets::serviceAccount));
    }

    void cleanupTestCase()
    {
        QVERIFY(Secrets::save(QString(), Secrets::minimaxAccount));
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount));
    }

    void init()
    {
        m_hosted = std::make_unique<HostedClient>(m_server.url(), http::HttpTransportOptions{m_server.caFile()});
        MiniMaxClientOptions options;
        options.caFile = m_server.caFile();
        m_minimax = std::make_unique<MiniMaxClient>(options);
        m_codex = std::make_unique<CodexClient>(testProgram(QStringLiteral("codex_standin")));
        m_model =
            std::make_unique<Model>(std::make_shared<ClientEngines>(m_hosted.get(), m_minimax.get(), m_codex.get()));
        m_shown.clear();
        m_statuses.clear();
        connect(m_model.get(), &Model::translatedChanged, this, [this] { m_shown.append(m_model->translated()); });
        connect(m_model.get(), &Model::statusChanged, this, [this] { m_statuses.append(m_model->status()); });
    }

    void cleanup()
    {
        m_model.reset();
        m_codex.reset();
        m_minimax.reset();
        m_hosted.reset();
        m_server.release();
    }

    void hostedPartialTextThenFailureKeepsIt()
    {
        Settings::setValue(Settings::Key::engine, QStringLiteral("Sorn"));
        ServerResponse response =
            ServerResponse::eventStream({sse("delta", "{\"text\":\"你\"}"), sse("delta", "{\"text\":\"你好\"}")}, 20);
        response.ending = ServerResponse::Ending::Hold;
        answerTranslation(response);
        m_model->setSource(QStringLiteral("Hello"));
        m_model->translate();
        QTRY_COMPARE(m_model->translated(), QStringLiteral("你好"));
        QCOMPARE(m_model->status(), QStringLiteral("Writing translation…"));
        QVERIFY(m_model->busy());
        QCOMPARE(m_server.requests().last().header("Authorization"), QByteArray("Bearer tok-model"));

        m_server.release(); // the body ends without a "done" event
        QTRY_VERIFY(!m_model->busy());
        QCOMPARE(m_model->translated(), QStringLiteral("你好"));
        QCOMPARE(m_model->status(), QStringLiteral("Translation failed"));
        QCOMPARE(m_model->errorText(),
                 QStringLiteral("The translation was interrupted before it finished. Please try again."));
    }

    void stoppingInsideAnUpdateDropsTheRest()
    {
        Settings::setValue(Settings::Key::engine, QStringLiteral("Sorn"));
        // Both deltas arrive in one piece and the result follows later: whatever the first text shown is, stopping
        // there keeps everything after it away.
        ServerResponse response =
            ServerResponse::eventStream({sse("delta", "{\"text\":\"一\"}") + sse("delta", "{\"text\":\"一二\"}"),
                                         sse("done", "{\"text\":\"一二三\",\"remainingCharacters\":1}")},
                                        100);
        answerTranslation(response);
        connect(m_model.get(), &Model::translatedChanged, this, [this] {
            if (!m_model->translated().isEmpty()) {
                m_model->stop();
            }
        });
        const int ended = m_server.abortedResponses() + m_server.completedResponses();
        m_model->setSource(QStringLiteral("Hello"));
        m_model->translate();
        QTRY_COMPARE(m_shown.size(), 1);
        QVERIFY(!m_model->busy());
        // The transfer has ended: nothing more is on its way.
        QTRY_COMPARE(m_server.abortedResponses() + m_server.completedResponses(), ended + 1);
        QCOMPARE(m_shown.size(), 1);
        QVERIFY(m_shown.first().startsWith(QStringLiteral("一")) && m_shown.first() != QStringLiteral("一二三"));
        QCOMPARE(m_model->error(), std::nullopt);
    }

    void otherEnginesShowOnlyTheModeratedResult_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("result");
        QTest::newRow("chat completions") << QStringLiteral("MiniMax") << QStringLiteral("Bonjour");
        QTest::newRow("agent") << QStringLiteral("Codex") << QStringLiteral("译文：测试");
    }
    void otherEnginesShowOnlyTheModeratedResult()
    {
        QFETCH(QString, engine);
        QFETCH(QString, result);
        Settings::setValue(Settings::Key::engine, engine);
        const int before = m_server.requestCount();
        m_model->setSource(QStringLiteral("Hello"));
        m_model->translate();
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->busy(), 30000);
        QCOMPARE(m_model->errorText(), QString());
        QCOMPARE(m_shown, QStringList{result});
        QVERIFY(!m_statuses.contains(QStringLiteral("Writing translation…")));
        QCOMPARE(m_model->status(), QStringLiteral("Translation complete"));

        QStringList stages;
        for (const RecordedRequest& request : m_server.requests().mid(before)) {
            if (request.path == "/v1/moderate") {
                const QJsonObject body = QJsonDocument::fromJson(request.body).object();
                stages.append(body.value(QStringLiteral("stage")).toString() + QLatin1Char(':') +
                              body.value(QStringLiteral("text")).toString());
            }
        }
        QCOMPARE(stages, (QStringList{QStringLiteral("input:Hello"), QStringLiteral("output:") + result}));
    }
};

QTEST_GUILESS_MAIN(TestModelEngines)
#include "tst_modelengines.moc"
