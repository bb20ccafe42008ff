// A person's own service from start to end: `quilvant-service init` sets it up, `serve` runs it, and the real
// `quilvant --translate` translates with each engine: the hosted one through the service to a loopback provider,
// the other two moderated by the service.
#include "foundation/Secrets.h"
#include "support/ServiceProcess.h"
#include "support/TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QTcpServer>
#include <QTest>

using namespace quilvant;
using namespace quilvant::test;

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestServiceEndToEnd : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_provider;
    Sandbox m_sandbox;
    std::unique_ptr<ServiceProcess> m_service;
    QString m_configPath;

    RunResult translate(const QStringList& arguments, Sandbox& sandbox)
    {
        return runQuilvant(QStringList{QStringLiteral("--translate")} + arguments, sandbox, {{}, 120'000});
    }

    int countInLog(const QString& text) const { return int(m_service->log().count(text)); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_provider.start(), qPrintable(m_provider.errorString()));
        m_provider.setHandler([](const RecordedRequest&) {
            return chatStream({QStringLiteral("Bonjour"), QStringLiteral(" le monde")}, 5);
        });
        m_sandbox.setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());

        const quint16 port = freePort();
        const RunResult init =
            runProgram(serviceBinary(),
                       {QStringLiteral("init"), QStringLiteral("--upstream"),
                        m_provider.url(QStringLiteral("/v1/chat/completions")).toString(), QStringLiteral("--model"),
                        QStringLiteral("test-model"), QStringLiteral("--port"), QString::number(port)},
                       m_sandbox, {"sk-init-upstream-key\n", 120'000});
        QVERIFY2(init.exitCode == 0, init.err.constData());
        QVERIFY2(init.outText().contains(QStringLiteral("http://127.0.0.1:%1").arg(port)), init.out.constData());
        QVERIFY(init.outText().contains(QStringLiteral("quilvant-service serve")));

        // Quilvant on this machine now points at the service, with the token in the keyring.
        QSettings settings(m_sandbox.settingsFile(), QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("serviceURL")).toString(),
                 QStringLiteral("http://127.0.0.1:%1").arg(port));
        QVERIFY(Secrets::read(Secrets::serviceAccount).value.startsWith(QStringLiteral("qvs_")));
        m_configPath = m_sandbox.configHome() + QStringLiteral("/quilvant-service/config.json");
        const QString keyFile = m_sandbox.configHome() + QStringLiteral("/quilvant-service/upstream-key");
        QCOMPARE(QFile::permissions(keyFile) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QFile file(m_configPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray written = file.readAll();
        file.close();
        QVERIFY(!written.contains("sk-init-upstream-key"));

        // The operator adds a block list to what init wrote.
        QJsonObject config = QJsonDocument::fromJson(written).object();
        const QString blockList = m_sandbox.root() + QStringLiteral("/block.txt");
        QVERIFY(writeFile(blockList, "forbidden\n"));
        config.insert(QStringLiteral("moderation"), QJsonObject{{QStringLiteral("blockList"), blockList}});
        QVERIFY(writeFile(m_configPath, QJsonDocument(config).toJson()));

        m_sandbox.writeSetting(QStringLiteral("translationPrivacyConsent"), QStringLiteral("norvel-sift-1"));
        m_service = std::make_unique<ServiceProcess>(m_sandbox, m_configPath);
        QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
        QCOMPARE(m_service->port(), port);
    }

    void cleanupTestCase()
    {
        QVERIFY(Secrets::save(QString(), Secrets::serviceAccount));
        QVERIFY(Secrets::save(QString(), Secrets::minimaxAccount));
    }

    void eachEngineTranslates_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("translations"); // requests to the service's translate endpoint
        QTest::addColumn<int>("moderations");  // ... and to its moderation endpoint
        QTest::newRow("hosted") << QStringLiteral("Quilvant") << QStringLiteral("Hello world") << 0
                                << QStringLiteral("Bonjour le monde\n") << 1 << 0;
        QTest::newRow("chat completions with its own key") << QStringLiteral("MiniMax") << QStringLiteral("Hello world")
                                                           << 0 << QStringLiteral("Bonjour le monde\n") << 0 << 2;
        QTest::newRow("agent") << QStringLiteral("Codex") << QStringLiteral("Hello") << 0
                               << QStringLiteral("译文：测试\n") << 0 << 2;
        QTest::newRow("hosted, refused by the block list")
            << QStringLiteral("Quilvant") << QStringLiteral("forbidden words") << 1
            << QStringLiteral("Translation failed: This content does not meet our usage guidelines.\n") << 1 << 0;
        QTest::newRow("chat completions, input refused by the service")
            << QStringLiteral("MiniMax") << QStringLiteral("forbidden words") << 1
            << QStringLiteral("Translation failed: This content does not meet our usage guidelines.\n") << 0 << 1;
    }
    void eachEngineTranslates()
    {
        QFETCH(QString, engine);
        QFETCH(QString, text);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(int, translations);
        QFETCH(int, moderations);
        QVERIFY(Secrets::save(QStringLiteral("sk-own-minimax-key"), Secrets::minimaxAccount));
        m_sandbox.writeSetting(QStringLiteral("endpoint"),
                               m_provider.url(QStringLiteral("/v1/chat/completions")).toString());
        m_sandbox.writeSetting(QStringLiteral("minimaxModel"), QStringLiteral("test-model"));
        m_sandbox.writeSetting(QStringLiteral("codexPath"), testProgram(QStringLiteral("codex_standin")));
        const int translated = countInLog(QStringLiteral("path=/v1/translate"));
        const int moderated = countInLog(QStringLiteral("path=/v1/moderate"));
        const int providerCalls = m_provider.requestCount();

        const RunResult result = translate(
            {QStringLiteral("--engine"), engine, QStringLiteral("--to"), QStringLiteral("fr"), text}, m_sandbox);
        QCOMPARE(result.exitCode, status);
        QCOMPARE(status == 0 ? result.outText() : result.errText(), output);
        QTRY_COMPARE_WITH_TIMEOUT(countInLog(QStringLiteral("path=/v1/translate")) - translated, translations, 30'000);
        QCOMPARE(countInLog(QStringLiteral("path=/v1/moderate")) - moderated, moderations);
        if (engine == QStringLiteral("MiniMax") && status == 0) {
            // The engine's own key went to the provider directly; the service saw only the two checks.
            QCOMPARE(m_provider.requestCount(), providerCalls + 1);
            QCOMPARE(m_provider.requests().last().header("Authorization"), QByteArray("Bearer sk-own-minimax-key"));
        }
        if (engine == QStringLiteral("Quilvant") && status == 0) {
            QCOMPARE(m_provider.requests().last().header("Authorization"), QByteArray("Bearer sk-init-upstream-key"));
        }
    }

    // The service can speak TLS itself; the desktop program then reaches it over https.
    void hostedOverTls()
    {
        QString error;
        const TestCertificates certificates = TestCertificates::generate(&error);
        QVERIFY2(!certificates.caPem.isEmpty(), qPrintable(error));
        const QString directory = m_sandbox.root();
        QVERIFY(writeFile(directory + QStringLiteral("/tls.pem"), certificates.serverPem));
        QVERIFY(writeFile(directory + QStringLiteral("/tls.key"), certificates.serverKeyPem));
        QFile providerCa(m_provider.caFile());
        QVERIFY(providerCa.open(QIODevice::ReadOnly));
        QVERIFY(writeFile(directory + QStringLiteral("/trusted.pem"), providerCa.readAll() + certificates.caPem));

        QFile file(m_configPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
        config.insert(QStringLiteral("listen"), QStringLiteral("127.0.0.1:0"));
        config.insert(QStringLiteral("tlsCertificate"), QString(directory + QStringLiteral("/tls.pem")));
        config.insert(QStringLiteral("tlsKey"), QString(directory + QStringLiteral("/tls.key")));
        const QString tlsConfig = directory + QStringLiteral("/tls-config.json");
        QVERIFY(writeFile(tlsConfig, QJsonDocument(config).toJson()));

        Sandbox& sandbox = m_sandbox;
        sandbox.setEnv(QStringLiteral("SSL_CERT_FILE"), directory + QStringLiteral("/trusted.pem"));
        ServiceProcess secure(sandbox, tlsConfig);
        QVERIFY2(secure.start(), qPrintable(secure.errorString()));
        sandbox.writeSetting(QStringLiteral("serviceURL"), QStringLiteral("https://127.0.0.1:%1").arg(secure.port()));
        const RunResult result =
            translate({QStringLiteral("--engine"), QStringLiteral("Quilvant"), QStringLiteral("Hello")}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.outText(), QStringLiteral("Bonjour le monde\n"));
        QVERIFY(secure.log().contains(QStringLiteral("(https)")));
        QVERIFY(secure.log().contains(QStringLiteral("path=/v1/translate status=200 code=ok")));
    }
};

QTEST_GUILESS_MAIN(TestServiceEndToEnd)
#include "tst_servicee2e.moc"
