// Two replicas of the service on one PostgreSQL database, as a team runs it: many translations at once from
// many tokens, with allowances and rate limits that must hold across both.
#include "Ledger.h"
#include "TestDatabases.h"
#include "service/Store.h"
#include "support/HttpClient.h"
#include "support/ServiceProcess.h"

#include <QJsonDocument>
#include <QTest>
#include <mutex>
#include <thread>

using namespace quilvant::test;

class TestServiceScale : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_provider;
    QString m_database;
    std::unique_ptr<ServiceProcess> m_replicas[2];

    static constexpr int tokenCount = 20;
    static constexpr int attemptsPerToken = 10;
    static constexpr int perWindow = 8;  // so two attempts of each token hit the rate limit...
    static constexpr int affordable = 7; // ...and one more finds the allowance spent
    static inline const QString source = QStringLiteral("Hello");

    RunResult psql(const QString& statement) const
    {
        Sandbox sandbox;
        return runProgram(QStringLiteral("psql"),
                          {QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                           m_database.mid(QStringLiteral("postgresql:").size()), QStringLiteral("-c"), statement},
                          sandbox);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_provider.start(), qPrintable(m_provider.errorString()));
        m_provider.setHandler([](const RecordedRequest& request) {
            ServerResponse response = chatStream({QStringLiteral("Bon"), QStringLiteral("jour")});
            response.silent = request.body.contains("silent"); // a provider that never answers
            return response;
        });
        QString error;
        m_database = freshPostgres(QStringLiteral("replicas"), &error);
        QVERIFY2(!m_database.isEmpty(), qPrintable(error));
        const QJsonObject config{
            {QStringLiteral("database"), m_database},
            {QStringLiteral("databaseThreads"), 8},
            {QStringLiteral("upstream"),
             QJsonObject{{QStringLiteral("url"), m_provider.url(QStringLiteral("/v1/chat/completions")).toString()},
                         {QStringLiteral("model"), QStringLiteral("test-model")}}},
            // One window for the whole run, so that the counts below cannot straddle two.
            {QStringLiteral("limits"), QJsonObject{{QStringLiteral("rateWindowSeconds"), 1'000'000'000}}}};
        for (auto& replica : m_replicas) {
            replica = std::make_unique<ServiceProcess>(config);
            replica->sandbox().setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());
            QVERIFY2(replica->start(), qPrintable(replica->errorString()));
        }
    }

    void concurrentTranslationsAcrossReplicas()
    {
        QList<QByteArray> secrets;
        for (int t = 0; t < tokenCount; ++t) {
            QString error;
            secrets.append(m_replicas[t % 2]->createToken(QStringLiteral("member%1").arg(t), affordable * source.size(),
                                                          perWindow, &error));
            QVERIFY2(!secrets.last().isEmpty(), qPrintable(error));
        }

        struct Outcome
        {
            int token;
            int replica;
            HttpReply reply;
        };
        std::mutex lock;
        std::vector<Outcome> outcomes;
        std::vector<std::thread> clients;
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("source"), source},
                                                          {QStringLiteral("target"), QStringLiteral("fr")}})
                                    .toJson(QJsonDocument::Compact);
        for (int i = 0; i < tokenCount * attemptsPerToken; ++i) {
            const int token = i % tokenCount;
            const int replica = (i / tokenCount) % 2;
            const quint16 port = m_replicas[replica]->port();
            const QByteArray secret = secrets.at(token);
            clients.emplace_back([&, token, replica, port, secret] {
                HttpReply reply = httpCall(port, {"POST", "/v1/translate", clientHeaders(secret), body});
                const std::lock_guard guard(lock);
                outcomes.push_back({token, replica, std::move(reply)});
            });
        }
        for (std::thread& client : clients) {
            client.join();
        }

        QCOMPARE(int(outcomes.size()), tokenCount * attemptsPerToken);
        QMap<int, QMap<QString, int>> codes;
        QMap<int, QList<qint64>> remainders;
        int perReplica[2] = {0, 0};
        for (const Outcome& outcome : outcomes) {
            const QString code = outcome.reply.done().isEmpty() ? outcome.reply.errorCode() : QStringLiteral("ok");
            QVERIFY2(!code.isEmpty(), outcome.reply.body.constData());
            ++codes[outcome.token][code];
            ++perReplica[outcome.replica];
            if (code == QStringLiteral("ok")) {
                QCOMPARE(outcome.reply.done().value(QStringLiteral("text")).toString(), QStringLiteral("Bonjour"));
                remainders[outcome.token].append(
                    outcome.reply.done().value(QStringLiteral("remainingCharacters")).toInteger());
            }
        }
        QCOMPARE(perReplica[0], perReplica[1]);

        const QList<qint64> everyStep = {30, 25, 20, 15, 10, 5, 0};
        const std::unique_ptr<quilvant::service::Store> store =
            quilvant::service::Store::open(m_database.toStdString(), 1);
        for (int t = 0; t < tokenCount; ++t) {
            const QMap<QString, int> expected{{QStringLiteral("ok"), affordable},
                                              {QStringLiteral("allowance_exhausted"), perWindow - affordable},
                                              {QStringLiteral("rate_limit"), attemptsPerToken - perWindow}};
            QCOMPARE(codes.value(t), expected);
            // Each admitted translation took its own step down the allowance: none charged twice, none lost.
            QList<qint64> steps = remainders.value(t);
            std::sort(steps.begin(), steps.end(), std::greater<>());
            QCOMPARE(steps, everyStep);
            const QJsonObject listed = m_replicas[0]->token(QStringLiteral("member%1").arg(t));
            QCOMPARE(listed.value(QStringLiteral("remaining")).toInteger(), 0);
            QCOMPARE(listed.value(QStringLiteral("used")).toInteger(), affordable * source.size());
            const auto ledger = store->ledger(listed.value(QStringLiteral("id")).toString().toStdString());
            QCOMPARE(ledger.settled, std::int64_t(affordable * source.size()));
            QCOMPARE(ledger.refunded + ledger.reserved, std::int64_t(0));
        }
    }

    // A database that fails answers "service_unavailable"; once it is back, so is the service.
    void databaseFailureIsServiceUnavailable()
    {
        const QByteArray secret = m_replicas[0]->createToken(QStringLiteral("steady"), 100);
        QVERIFY(!secret.isEmpty());
        const QByteArray body = R"({"source":"Hello","target":"fr"})";
        QCOMPARE(psql(QStringLiteral("ALTER TABLE tokens RENAME TO tokens_away")).exitCode, 0);
        const HttpReply refused =
            httpCall(m_replicas[0]->port(), {"POST", "/v1/translate", clientHeaders(secret), body});
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.errorCode(), QStringLiteral("service_unavailable"));
        QCOMPARE(psql(QStringLiteral("ALTER TABLE tokens_away RENAME TO tokens")).exitCode, 0);
        const HttpReply served =
            httpCall(m_replicas[0]->port(), {"POST", "/v1/translate", clientHeaders(secret), body});
        QCOMPARE(served.done().value(QStringLiteral("remainingCharacters")).toInteger(), 95);
    }

    // A replica that stops refunds its own open translations at once, on the shared database, and leaves the
    // other replica's alone.
    void stoppingReplicaRefundsItsOwn()
    {
        QJsonObject config{
            {QStringLiteral("database"), m_database},
            {QStringLiteral("upstream"),
             QJsonObject{{QStringLiteral("url"), m_provider.url(QStringLiteral("/v1/chat/completions")).toString()},
                         {QStringLiteral("model"), QStringLiteral("test-model")}}},
            {QStringLiteral("limits"), QJsonObject{{QStringLiteral("shutdownSeconds"), 1}}}};
        ServiceProcess stopping(config);
        stopping.sandbox().setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());
        QVERIFY2(stopping.start(), qPrintable(stopping.errorString()));
        const QByteArray secret = m_replicas[0]->createToken(QStringLiteral("shared"), 100);
        const QByteArray request =
            requestBytes({"POST", "/v1/translate", clientHeaders(secret), R"({"source":"silent","target":"fr"})"});
        RawConnection mine;
        RawConnection other;
        QVERIFY(mine.connectTo(stopping.port()) && mine.send(request));
        QVERIFY(other.connectTo(m_replicas[1]->port()) && other.send(request));
        QTRY_COMPARE_WITH_TIMEOUT(
            m_replicas[0]->token(QStringLiteral("shared")).value(QStringLiteral("remaining")).toInteger(), 100 - 2 * 6,
            60'000);
        stopping.terminate();
        QVERIFY(mine.readToClose(60'000));
        QCOMPARE(parseReply(mine.received()).errorCode(), QStringLiteral("service_unavailable"));
        QCOMPARE(stopping.waitForExit(), 0);
        QCOMPARE(m_replicas[0]->token(QStringLiteral("shared")).value(QStringLiteral("remaining")).toInteger(), 94);
        QString problem = ledgerProblem(m_database, false);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        other.close();
        QTRY_COMPARE_WITH_TIMEOUT(
            m_replicas[0]->token(QStringLiteral("shared")).value(QStringLiteral("remaining")).toInteger(), 100, 60'000);
        problem = ledgerProblem(m_database, true);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void cleanupTestCase()
    {
        for (auto& replica : m_replicas) {
            if (replica) {
                replica->terminate();
                QCOMPARE(replica->waitForExit(), 0);
                // Only the service's own lines: no sanitizer report, no stray output of a library.
                for (const QString& line : replica->log().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
                    QVERIFY2(line.startsWith(QStringLiteral("quilvant-service: ")), qPrintable(line));
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceScale)
#include "tst_servicescale.moc"
