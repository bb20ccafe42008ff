// The service as a client meets it: the real quilvant-service process on SQLite, a loopback provider that speaks
// the chat-completions stream and the moderation endpoint over TLS, and plain sockets for the client's side.
#include "support/HttpClient.h"
#include "support/ServiceProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QTest>
#include <csignal>

using namespace quilvant::test;

namespace {

const QByteArray upstreamKey = "sk-test-upstream-key-0123456789";

QString sourceOf(const RecordedRequest& request)
{
    const QJsonArray messages =
        QJsonDocument::fromJson(request.body).object().value(QStringLiteral("messages")).toArray();
    return messages.last().toObject().value(QStringLiteral("content")).toString();
}

// The provider's answers, chosen by the text they are given.
ServerResponse provide(const RecordedRequest& request)
{
    if (request.path == "/v1/moderations") {
        const QString input = QJsonDocument::fromJson(request.body).object().value(QStringLiteral("input")).toString();
        if (input.contains(QStringLiteral("modfail"))) {
            return ServerResponse::json(500, "{}");
        }
        const bool flagged = input.contains(QStringLiteral("flagme"));
        return ServerResponse::json(200,
                                    QByteArray(R"({"results":[{"flagged":)") + (flagged ? "true" : "false") + "}]}");
    }
    const QString source = sourceOf(request);
    if (source.contains(QStringLiteral("upstream-down"))) {
        // Providers echo the key they were given; it must go no further.
        return ServerResponse::json(401, R"({"error":{"message":"Incorrect API key provided: )" +
                                             request.header("Authorization") + "\"}}");
    }
    ServerResponse response = chatStream({QStringLiteral("Bon"), QStringLiteral("jour")});
    if (source.contains(QStringLiteral("cut-stream")) || source.contains(QStringLiteral("hold-stream"))) {
        // The text is complete as far as the provider says, but its answer has not ended yet.
        response.chunks = {ServerChunk{chatEvent(QStringLiteral("Bon"), true), 0}};
        response.ending =
            source.contains(QStringLiteral("cut")) ? ServerResponse::Ending::Cut : ServerResponse::Ending::Hold;
    } else if (source.contains(QStringLiteral("hold-silent"))) {
        response.chunks.clear();
        response.ending = ServerResponse::Ending::Hold;
    } else if (source.contains(QStringLiteral("bad-output"))) {
        response = chatStream({QStringLiteral("this is "), QStringLiteral("forbidden")});
    } else if (source.contains(QStringLiteral("flag-output"))) {
        response = chatStream({QStringLiteral("flagme")});
    }
    return response;
}

} // namespace

class TestServiceHttp : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_provider;
    QTemporaryDir m_files;
    std::unique_ptr<ServiceProcess> m_service;
    QByteArray m_token;
    QList<QByteArray> m_secrets; // every token made, to look for in the logs
    QList<QByteArray> m_answers; // every answer the service gave
    int m_labels = 0;

    QJsonObject serviceConfig(const QJsonObject& limits = {}) const
    {
        QJsonObject bounded{{QStringLiteral("translateCharacters"), 40},
                            {QStringLiteral("moderateCharacters"), 60},
                            {QStringLiteral("headerBytes"), 4096},
                            {QStringLiteral("headerSeconds"), 2},
                            {QStringLiteral("bodySeconds"), 2},
                            {QStringLiteral("idleSeconds"), 3},
                            // One window for the whole run: the rate limits below never meet a window's end.
                            {QStringLiteral("rateWindowSeconds"), 1'000'000'000}};
        for (auto it = limits.begin(); it != limits.end(); ++it) {
            bounded.insert(it.key(), it.value());
        }
        return {{QStringLiteral("upstream"),
                 QJsonObject{{QStringLiteral("url"), m_provider.url(QStringLiteral("/v1/chat/completions")).toString()},
                             {QStringLiteral("model"), QStringLiteral("test-model")},
                             {QStringLiteral("keyFile"), m_files.filePath(QStringLiteral("upstream-key"))}}},
                {QStringLiteral("moderation"),
                 QJsonObject{{QStringLiteral("blockList"), m_files.filePath(QStringLiteral("block.txt"))},
                             {QStringLiteral("reviewList"), m_files.filePath(QStringLiteral("review.txt"))},
                             {QStringLiteral("url"), m_provider.url(QStringLiteral("/v1/moderations")).toString()}}},
                {QStringLiteral("limits"), bounded}};
    }

    std::unique_ptr<ServiceProcess> startService(const QJsonObject& config)
    {
        auto service = std::make_unique<ServiceProcess>(config);
        service->sandbox().setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());
        if (!service->start()) {
            qWarning("%s", qPrintable(service->errorString()));
            return nullptr;
        }
        return service;
    }

    QByteArray token(const QString& label, qint64 characters, qint64 perMinute = 0, ServiceProcess* service = nullptr)
    {
        QString error;
        const QByteArray secret =
            (service ? service : m_service.get())->createToken(label, characters, perMinute, &error);
        if (secret.isEmpty()) {
            qWarning("%s", qPrintable(error));
        }
        m_secrets.append(secret);
        return secret;
    }

    qint64 remaining(const QString& label, ServiceProcess* service = nullptr) const
    {
        return (service ? service : m_service.get())->token(label).value(QStringLiteral("remaining")).toInteger(-1);
    }

    HttpReply call(const QByteArray& path, const QJsonObject& body, const HeaderList& headers,
                   ServiceProcess* service = nullptr)
    {
        const HttpReply reply = httpCall((service ? service : m_service.get())->port(),
                                         {"POST", path, headers, QJsonDocument(body).toJson(QJsonDocument::Compact)});
        m_answers.append(reply.body);
        return reply;
    }

    HttpReply translate(const QByteArray& secret, const QString& source, ServiceProcess* service = nullptr)
    {
        return call("/v1/translate",
                    {{QStringLiteral("source"), source},
                     {QStringLiteral("target"), QStringLiteral("fr")},
                     {QStringLiteral("requestID"), QStringLiteral("C0FFEE")}},
                    clientHeaders(secret), service);
    }

    HttpReply moderate(const QByteArray& secret, const QString& text)
    {
        return call("/v1/moderate",
                    {{QStringLiteral("text"), text},
                     {QStringLiteral("stage"), QStringLiteral("input")},
                     {QStringLiteral("requestID"), QStringLiteral("C0FFEE")}},
                    clientHeaders(secret));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_provider.start(), qPrintable(m_provider.errorString()));
        m_provider.setHandler(provide);
        for (const auto& [name, content] : {std::pair{"upstream-key", QByteArray(upstreamKey + "\n")},
                                            std::pair{"block.txt", QByteArray("# blocked\nForbidden\n")},
                                            std::pair{"review.txt", QByteArray("dubious\n")}}) {
            QFile file(m_files.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        m_service = startService(serviceConfig());
        QVERIFY(m_service);
        m_token = token(QStringLiteral("main"), 1'000'000);
        QVERIFY(!m_token.isEmpty());
    }

    void translatesAsAStreamAndReusesUpstreamConnections()
    {
        const int connectionsBefore = m_provider.connectionCount();
        const qint64 before = remaining(QStringLiteral("main"));
        for (int i = 0; i < 3; ++i) {
            const HttpReply reply = translate(m_token, QStringLiteral("Hello"));
            QCOMPARE(reply.status, 200);
            QCOMPARE(reply.header("Content-Type"), QByteArray("text/event-stream; charset=utf-8"));
            QCOMPARE(reply.header("Cache-Control"), QByteArray("no-cache"));
            QCOMPARE(reply.header("X-Accel-Buffering"), QByteArray("no"));
            QCOMPARE(reply.deltas(), (QStringList{QStringLiteral("Bon"), QStringLiteral("Bonjour")}));
            const QJsonObject done = reply.done();
            QCOMPARE(done.value(QStringLiteral("text")).toString(), QStringLiteral("Bonjour"));
            QCOMPARE(done.value(QStringLiteral("remainingCharacters")).toInteger(), before - 5 * (i + 1));
            QVERIFY(!done.value(QStringLiteral("requestID")).toString().isEmpty());
        }
        RecordedRequest upstream;
        for (const RecordedRequest& request : m_provider.requests()) {
            if (request.path == "/v1/chat/completions") {
                upstream = request;
            }
        }
        QCOMPARE(upstream.header("Authorization"), "Bearer " + upstreamKey);
        const QJsonObject body = QJsonDocument::fromJson(upstream.body).object();
        QCOMPARE(body.value(QStringLiteral("model")).toString(), QStringLiteral("test-model"));
        QCOMPARE(body.value(QStringLiteral("stream")).toBool(), true);
        QVERIFY(body.value(QStringLiteral("messages"))
                    .toArray()
                    .first()
                    .toObject()
                    .value(QStringLiteral("content"))
                    .toString()
                    .contains(QStringLiteral("French")));
        QCOMPARE(sourceOf(upstream), QStringLiteral("Hello"));
        QCOMPARE(remaining(QStringLiteral("main")), before - 15);
        // A translation holds at most two upstream connections at once (its stream and its output check), and
        // checks made one after another share one connection.
        const int connections = m_provider.connectionCount();
        QVERIFY(connections - connectionsBefore <= 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(moderate(m_token, QStringLiteral("fine")).status, 200);
        }
        QCOMPARE(m_provider.connectionCount(), connections);
    }

    // Every error code, each reached by a real cause. A request that fails leaves the allowance as it was.
    void errorCodes_data()
    {
        QTest::addColumn<QByteArray>("who");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("text"); // UTF-8; null: a body that is not JSON
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QStringList>("deltas");
        const QByteArray t = "/v1/translate";
        const QByteArray m = "/v1/moderate";
        const QByteArray over = QByteArray(41, 'x');
        const QStringList none;
        QTest::newRow("bad JSON") << QByteArray("main") << t << QByteArray() << 400 << QByteArray("invalid_request")
                                  << none;
        QTest::newRow("no privacy header")
            << QByteArray("noprivacy") << t << QByteArray("Hello") << 400 << QByteArray("privacy_required") << none;
        QTest::newRow("no token") << QByteArray("none") << t << QByteArray("Hello") << 401
                                  << QByteArray("invalid_token") << none;
        QTest::newRow("unknown token") << QByteArray("unknown") << m << QByteArray("Hello") << 401
                                       << QByteArray("invalid_token") << none;
        QTest::newRow("revoked token") << QByteArray("revoked") << t << QByteArray("Hello") << 401
                                       << QByteArray("invalid_token") << none;
        QTest::newRow("unknown target") << QByteArray("main") << t << QByteArray("de") << 400
                                        << QByteArray("unsupported_target") << none;
        QTest::newRow("text too long") << QByteArray("main") << t << over << 413 << QByteArray("text_too_long") << none;
        QTest::newRow("moderated text too long")
            << QByteArray("main") << m << over + over << 413 << QByteArray("moderation_text_too_long") << none;
        QTest::newRow("input on the block list") << QByteArray("main") << t << QByteArray("a ＦＯＲＢＩＤＤＥＮ word")
                                                 << 422 << QByteArray("moderation_blocked") << none;
        QTest::newRow("input on the review list") << QByteArray("main") << t << QByteArray("a Dubious word") << 422
                                                  << QByteArray("moderation_review") << none;
        QTest::newRow("input flagged upstream")
            << QByteArray("main") << t << QByteArray("flagme") << 422 << QByteArray("moderation_blocked") << none;
        QTest::newRow("moderation endpoint down")
            << QByteArray("main") << t << QByteArray("modfail") << 503 << QByteArray("moderation_unavailable") << none;
        QTest::newRow("moderate: blocked")
            << QByteArray("main") << m << QByteArray("forbidden") << 422 << QByteArray("moderation_blocked") << none;
        QTest::newRow("moderate: review")
            << QByteArray("main") << m << QByteArray("dubious") << 422 << QByteArray("moderation_review") << none;
        QTest::newRow("moderate: unavailable")
            << QByteArray("main") << m << QByteArray("modfail") << 503 << QByteArray("moderation_unavailable") << none;
        QTest::newRow("moderate: allowed")
            << QByteArray("main") << m << QByteArray("fine") << 200 << QByteArray() << none;
        QTest::newRow("allowance too small")
            << QByteArray("poor") << t << QByteArray("Hello") << 402 << QByteArray("allowance_exhausted") << none;
        QTest::newRow("rate limit") << QByteArray("limited") << t << QByteArray("Hello") << 429
                                    << QByteArray("rate_limit") << none;
        QTest::newRow("moderation rate limit")
            << QByteArray("limited") << m << QByteArray("Hello") << 429 << QByteArray("moderation_rate_limit") << none;
        QTest::newRow("provider refuses") << QByteArray("main") << t << QByteArray("upstream-down") << 502
                                          << QByteArray("provider_unavailable") << none;
        QTest::newRow("provider cut off after text")
            << QByteArray("main") << t << QByteArray("cut-stream") << 200 << QByteArray("translation_failed")
            << QStringList{QStringLiteral("Bon")};
        QTest::newRow("output on the block list")
            << QByteArray("main") << t << QByteArray("bad-output") << 200 << QByteArray("moderation_blocked")
            << QStringList{QStringLiteral("this is")};
        QTest::newRow("output flagged upstream")
            << QByteArray("main") << t << QByteArray("flag-output") << 200 << QByteArray("moderation_blocked")
            << QStringList{QStringLiteral("flagme")};
    }
    void errorCodes()
    {
        QFETCH(QByteArray, who);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, text);
        QFETCH(int, status);
        QFETCH(QByteArray, code);
        QFETCH(QStringList, deltas);
        QString label = QStringLiteral("main");
        QByteArray secret = m_token;
        if (who == "revoked" || who == "poor" || who == "limited") {
            label = QString::fromLatin1(who) + QString::number(++m_labels);
            secret = token(label, who == "poor" ? 3 : 100, who == "limited" ? 1 : 0);
        }
        if (who == "revoked") {
            QCOMPARE(m_service->command({QStringLiteral("token"), QStringLiteral("revoke"), label}).exitCode, 0);
        }
        if (who == "limited") {
            // One translation a window, and four checks: use them up.
            const int allowed = path == "/v1/translate" ? 1 : 4;
            for (int i = 0; i < allowed; ++i) {
                QCOMPARE(path == "/v1/translate" ? translate(secret, QStringLiteral("ok")).status
                                                 : moderate(secret, QStringLiteral("ok")).status,
                         200);
            }
        }
        HeaderList headers = clientHeaders(secret);
        if (who == "none" || who == "noprivacy") {
            headers.removeIf([&](const auto& header) {
                return header.first == (who == "none" ? "Authorization" : "X-Quilvant-Privacy");
            });
        } else if (who == "unknown") {
            headers.last().second = "Bearer qvs_0000";
        }
        const qint64 before = remaining(label);
        const QString words = QString::fromUtf8(text);
        HttpReply reply;
        if (text.isNull()) {
            reply = httpCall(m_service->port(), {"POST", path, headers, "{"});
        } else if (text == "de") {
            reply = call(path, {{QStringLiteral("source"), QStringLiteral("Hallo")}, {QStringLiteral("target"), words}},
                         headers);
        } else if (path == "/v1/translate") {
            reply = call(path, {{QStringLiteral("source"), words}, {QStringLiteral("target"), QStringLiteral("fr")}},
                         headers);
        } else {
            reply = call(path, {{QStringLiteral("text"), words}, {QStringLiteral("stage"), QStringLiteral("output")}},
                         headers);
        }
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.errorCode(), QString::fromLatin1(code));
        QCOMPARE(reply.deltas(), deltas);
        if (status == 429) {
            QVERIFY(reply.header("Retry-After").toLongLong() > 0);
        }
        if (code.isEmpty()) {
            QCOMPARE(reply.body, QByteArray(R"({"action":"allow"})"));
        }
        QCOMPARE(remaining(label), before);
    }

    void allowanceRunsOutMidWay()
    {
        const QByteArray secret = token(QStringLiteral("twelve"), 12);
        QCOMPARE(translate(secret, QStringLiteral("Hello")).done().value(QStringLiteral("remainingCharacters")).toInt(),
                 7);
        QCOMPARE(translate(secret, QStringLiteral("World")).done().value(QStringLiteral("remainingCharacters")).toInt(),
                 2);
        QCOMPARE(translate(secret, QStringLiteral("Again")).errorCode(), QStringLiteral("allowance_exhausted"));
        QCOMPARE(remaining(QStringLiteral("twelve")), 2);
        QCOMPARE(m_service
                     ->command({QStringLiteral("token"), QStringLiteral("top-up"), QStringLiteral("twelve"),
                                QStringLiteral("--characters"), QStringLiteral("10")})
                     .exitCode,
                 0);
        QCOMPARE(translate(secret, QStringLiteral("Again")).done().value(QStringLiteral("remainingCharacters")).toInt(),
                 7);
    }

    // A client that leaves mid-stream: the upstream request is cancelled at once, and the translation is charged
    // when text had reached the client, refunded when none had.
    void clientLeavingCancelsUpstream_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("readUntil");
        QTest::addColumn<bool>("charged");
        QTest::newRow("after text") << QStringLiteral("hold-stream") << QByteArray("event: delta") << true;
        QTest::newRow("before text") << QStringLiteral("hold-silent") << QByteArray("\r\n\r\n") << false;
    }
    void clientLeavingCancelsUpstream()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, readUntil);
        QFETCH(bool, charged);
        const QString label = QStringLiteral("leaver-") + source;
        const QByteArray secret = token(label, 100);
        const int aborted = m_provider.abortedResponses();
        RawConnection client;
        QVERIFY(client.connectTo(m_service->port()));
        QVERIFY(client.send(requestBytes({"POST", "/v1/translate", clientHeaders(secret),
                                          QJsonDocument(QJsonObject{{QStringLiteral("source"), source},
                                                                    {QStringLiteral("target"), QStringLiteral("en")}})
                                              .toJson(QJsonDocument::Compact)})));
        QVERIFY(client.readUntil(readUntil, 60'000).contains(readUntil));
        client.close();
        QTRY_COMPARE_WITH_TIMEOUT(m_provider.abortedResponses(), aborted + 1, 60'000);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_service->log().contains(QStringLiteral("code=client_closed token=") +
                                      m_service->token(label).value(QStringLiteral("id")).toString()),
            60'000);
        QCOMPARE(remaining(label), charged ? 100 - source.size() : 100);
    }

    void slowClientsAreCut_data()
    {
        QTest::addColumn<QByteArray>("opening");
        QTest::addColumn<bool>("trickle");
        QTest::newRow("idle connection") << QByteArray() << false;
        QTest::newRow("header a byte at a time") << QByteArray("POST /v1/translate HTTP/1.1\r\n") << true;
        QTest::newRow("body that stops") << QByteArray(
                                                "POST /v1/translate HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"so")
                                         << false;
    }
    void slowClientsAreCut()
    {
        QFETCH(QByteArray, opening);
        QFETCH(bool, trickle);
        RawConnection client;
        QVERIFY(client.connectTo(m_service->port()));
        QVERIFY(client.send(opening));
        // However long the client keeps sending, the header's deadline holds; the server just closes.
        QDeadlineTimer deadline(60'000);
        while (!client.peerClosed() && !deadline.hasExpired()) {
            if (trickle && !client.send("X")) {
                break;
            }
            client.readSome(100);
        }
        QVERIFY(client.readToClose(60'000));
        QCOMPARE(client.received(), QByteArray());
    }

    void oversizedRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        const QByteArray head = "POST /v1/translate HTTP/1.1\r\nHost: x\r\nX-Quilvant-Privacy: norvel-sift-1\r\n";
        QTest::newRow("headers") << head + "X-Filler: " + QByteArray(5000, 'a') + "\r\n\r\n"
                                 << 431 << QStringLiteral("headers_too_large");
        QTest::newRow("declared body") << head + "Content-Length: 1000000000\r\n\r\n"
                                       << 413 << QStringLiteral("text_too_long");
        QTest::newRow("declared body to moderate")
            << QByteArray("POST /v1/moderate HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n") << 413
            << QStringLiteral("moderation_text_too_long");
        QByteArray chunks;
        for (int i = 0; i < 64; ++i) {
            chunks += "4000\r\n" + QByteArray(0x4000, ' ') + "\r\n";
        }
        QTest::newRow("chunked body") << head + "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n"
                                      << 413 << QStringLiteral("text_too_long");
    }
    void oversizedRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, code);
        RawConnection client;
        QVERIFY(client.connectTo(m_service->port()));
        client.send(request); // the server may stop reading early
        QVERIFY(client.readToClose(60'000));
        const HttpReply reply = parseReply(client.received());
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.errorCode(), code);
    }

    void healthAndMetrics()
    {
        const HttpReply health = httpCall(m_service->port(), {"GET", "/healthz", {}, {}});
        QCOMPARE(health.status, 200);
        QCOMPARE(health.body, QByteArray(R"({"status":"ok","upstream":"ok"})"));
        const HttpReply metrics = httpCall(m_service->port(), {"GET", "/metrics", {}, {}});
        QCOMPARE(metrics.status, 200);
        for (const char* expected : {"quilvant_requests_total{route=\"translate\",code=\"ok\"}",
                                     "quilvant_requests_total{route=\"translate\","
                                     "code=\"provider_unavailable\"} 1",
                                     "quilvant_upstream_errors_total{kind=\"status\"} 1", "quilvant_open_streams 0",
                                     "quilvant_request_duration_seconds_bucket{route=\"translate\",le=\"+Inf\"}",
                                     "quilvant_allowance_refunded_characters_total"}) {
            QVERIFY2(metrics.body.contains(expected), expected);
        }
    }

    void notConfiguredWithoutUpstream()
    {
        QJsonObject config = serviceConfig();
        config.remove(QStringLiteral("upstream"));
        const auto bare = startService(config);
        QVERIFY(bare);
        const QByteArray secret = token(QStringLiteral("bare"), 100, 0, bare.get());
        const HttpReply reply = translate(secret, QStringLiteral("Hello"), bare.get());
        QCOMPARE(reply.status, 503);
        QCOMPARE(reply.errorCode(), QStringLiteral("not_configured"));
        QCOMPARE(remaining(QStringLiteral("bare"), bare.get()), 100);
    }

    // SIGTERM: no new connections, idle ones closed, open streams finish; then the process ends cleanly.
    void terminationLetsStreamsFinish()
    {
        const auto service = startService(serviceConfig({{QStringLiteral("shutdownSeconds"), 120}}));
        QVERIFY(service);
        const QByteArray secret = token(QStringLiteral("drained"), 100, 0, service.get());
        const QByteArray request =
            requestBytes({"POST", "/v1/translate", clientHeaders(secret), R"({"source":"hold-stream","target":"fr"})"});
        RawConnection first;
        RawConnection second;
        for (RawConnection* client : {&first, &second}) {
            QVERIFY(client->connectTo(service->port()));
            QVERIFY(client->send(request));
            QVERIFY(client->readUntil("event: delta", 60'000).contains("event: delta"));
        }
        RawConnection idle;
        QVERIFY(idle.connectTo(service->port()));
        QVERIFY(idle.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
        QVERIFY(idle.readUntil("\"ok\"}", 60'000).contains("\"ok\"}"));

        service->terminate();
        QVERIFY(idle.readToClose(60'000));
        QTRY_VERIFY_WITH_TIMEOUT(!RawConnection().connectTo(service->port()), 60'000);
        m_provider.release();
        for (RawConnection* client : {&first, &second}) {
            QVERIFY(client->readToClose(60'000));
            QCOMPARE(parseReply(client->received()).done().value(QStringLiteral("text")).toString(),
                     QStringLiteral("Bon"));
        }
        QCOMPARE(service->waitForExit(), 0);
        QCOMPARE(remaining(QStringLiteral("drained"), service.get()), 100 - 2 * 11);
    }

    // ...and streams still open when the grace time ends are told so and refunded.
    void terminationEndsStreamsAfterGrace()
    {
        const auto service = startService(serviceConfig({{QStringLiteral("shutdownSeconds"), 1}}));
        QVERIFY(service);
        const QByteArray secret = token(QStringLiteral("cut"), 100, 0, service.get());
        RawConnection client;
        QVERIFY(client.connectTo(service->port()));
        QVERIFY(client.send(requestBytes(
            {"POST", "/v1/translate", clientHeaders(secret), R"({"source":"hold-stream","target":"fr"})"})));
        QVERIFY(client.readUntil("event: delta", 60'000).contains("event: delta"));
        service->terminate();
        QVERIFY(client.readToClose(60'000));
        QCOMPARE(parseReply(client.received()).errorCode(), QStringLiteral("service_unavailable"));
        QCOMPARE(service->waitForExit(), 0);
        QCOMPARE(remaining(QStringLiteral("cut"), service.get()), 100);
        m_provider.release();
    }

    // Last: nothing the service wrote or answered carries the upstream key or an access token.
    void secretsStayOutOfLogsAndAnswers()
    {
        const QString log = m_service->log();
        QVERIFY(log.contains(QStringLiteral("upstream.failed")));
        // The provider's words (which quote the key here) go by size and digest only.
        QVERIFY2(log.contains(QStringLiteral("status=401 code=status body_bytes=")), qPrintable(log));
        QVERIFY2(!log.contains(QStringLiteral("Incorrect API key")), qPrintable(log));
        for (const QByteArray& secret : m_secrets + QList<QByteArray>{upstreamKey}) {
            QVERIFY(!secret.isEmpty());
            QVERIFY2(!log.contains(QString::fromUtf8(secret)), secret.constData());
            for (const QByteArray& answer : m_answers) {
                QVERIFY2(!answer.contains(secret), answer.constData());
            }
        }
        const QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(lines.size() > 20);
        for (const QString& line : lines) {
            QVERIFY2(line.startsWith(QStringLiteral("quilvant-service: ")), qPrintable(line));
            QVERIFY2(!line.contains(QStringLiteral("Bonjour")) && !line.contains(QStringLiteral("Hello")),
                     qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceHttp)
#include "tst_servicehttp.moc"
