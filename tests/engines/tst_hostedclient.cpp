#include "engines/hosted/HostedClient.h"
#include "engines/hosted/HostedStream.h"
#include "foundation/Settings.h"
#include "support/DiagnosticsLog.h"
#include "support/HttpsTestServer.h"
#include "support/ManualClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace quilvant;
using quilvant::test::HttpsTestServer;
using quilvant::test::ManualClock;
using quilvant::test::RecordedRequest;
using quilvant::test::ServerChunk;
using quilvant::test::ServerResponse;
using namespace std::chrono_literals;

namespace {

template <typename T>
struct Finished
{
    QStringList updates;
    std::optional<Outcome<T>> outcome;
    int completions = 0;

    Completion<T> completion()
    {
        return [this](Outcome<T> result) {
            ++completions;
            outcome.emplace(std::move(result));
        };
    }
    TextUpdate update()
    {
        return [this](const QString& text) { updates.append(text); };
    }
    bool wait(int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!outcome && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return outcome.has_value();
    }
    QString failure() const { return outcome && !*outcome ? outcome->error().description() : QString(); }
};

QByteArray sse(const QByteArray& name, const QByteArray& data)
{
    return "event: " + name + "\ndata: " + data + "\n\n";
}

const QByteArray doneEvent = sse("done", "{\"text\":\"你好。\",\"remainingCharacters\":42,\"requestID\":\"R-1\"}");

} // namespace

class TestHostedClient : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;
    QTemporaryDir m_config;

    std::unique_ptr<HostedClient> client(const QString& basePath = QString())
    {
        return std::make_unique<HostedClient>(m_server.url(basePath.isEmpty() ? QStringLiteral("/") : basePath),
                                              http::HttpTransportOptions{m_server.caFile()});
    }

    void answer(ServerResponse response)
    {
        m_server.setHandler([response](const RecordedRequest&) { return response; });
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    }

    void translationRequest_data()
    {
        QTest::addColumn<QString>("basePath");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("path");
        QTest::newRow("root, with a token") << QString() << QStringLiteral("tok-1") << QByteArray("/v1/translate");
        QTest::newRow("base path without a slash, no token")
            << QStringLiteral("/api") << QString() << QByteArray("/api/v1/translate");
        QTest::newRow("base path with a slash")
            << QStringLiteral("/api/") << QString() << QByteArray("/api/v1/translate");
    }
    void translationRequest()
    {
        QFETCH(QString, basePath);
        QFETCH(QString, token);
        QFETCH(QByteArray, path);
        answer(ServerResponse::eventStream({doneEvent}));
        const int before = m_server.requestCount();
        Finished<HostedResult> run;
        auto hosted = client(basePath);
        hosted->translate(QStringLiteral("  Hello\n"), QStringLiteral("繁體中文"), token, run.update(),
                          run.completion());
        QVERIFY(run.wait());
        QVERIFY2(*run.outcome, qPrintable(run.failure()));

        const RecordedRequest request = m_server.requests().at(before);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, path);
        QCOMPARE(request.header("X-Quilvant-Privacy"), QByteArray("norvel-sift-1"));
        QCOMPARE(request.header("Accept"), QByteArray("text/event-stream"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"), token.isEmpty() ? QByteArray() : "Bearer " + token.toUtf8());
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value(QStringLiteral("source")).toString(), QStringLiteral("  Hello\n"));
        QCOMPARE(body.value(QStringLiteral("target")).toString(), QStringLiteral("zh-Hant"));
        const QString requestID = body.value(QStringLiteral("requestID")).toString();
        QCOMPARE(requestID, QUuid::fromString(requestID).toString(QUuid::WithoutBraces).toUpper());
        QCOMPARE(body.size(), 3);
    }

    void stream_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("updates");
        QTest::addColumn<QString>("text"); // the result's text, or empty when the translation fails
        QTest::addColumn<QString>("failure");

        const QString interrupted = HostedStream::interruptedMessage();
        QTest::newRow("deltas then done without a final blank line")
            << QList<QByteArray>{sse("delta", "{\"text\":\"你\"}") + sse("delta", "{\"text\":\"你好\"}") +
                                 "event: done\ndata: " + "{\"text\":\"你好。\",\"remainingCharacters\":42}" + "\n"}
            << QStringList{QStringLiteral("你"), QStringLiteral("你好")} << QStringLiteral("你好。") << QString();
        QTest::newRow("object split over two data lines is concatenated")
            << QList<QByteArray>{"event: done\ndata: {\"text\":\"a b\",\t\ndata:  \"remainingCharacters\":7}\n\n"}
            << QStringList{} << QStringLiteral("a b") << QString();
        QTest::newRow("bytes split inside a character and a line, CRLF endings")
            << QList<QByteArray>{"event: del", "ta\r\ndata: {\"text\":\"\xe4\xbd", "\xa0\"}\r\n\r", "\n" + doneEvent}
            << QStringList{QStringLiteral("你")} << QStringLiteral("你好。") << QString();
        QTest::newRow("event name waits for an event with data")
            << QList<QByteArray>{"event: delta\n\ndata: {\"text\":\"kept\"}\n\n" + doneEvent}
            << QStringList{QStringLiteral("kept")} << QStringLiteral("你好。") << QString();
        QTest::newRow("data without an event name is ignored")
            << QList<QByteArray>{"data: {\"text\":\"x\",\"remainingCharacters\":1}\n\n"} << QStringList{} << QString()
            << interrupted;
        QTest::newRow("delta shapes without a string text are ignored")
            << QList<QByteArray>{sse("delta", "[1]") + sse("delta", "{\"text\":5}") + doneEvent} << QStringList{}
            << QStringLiteral("你好。") << QString();
        QTest::newRow("no done") << QList<QByteArray>{sse("delta", "{\"text\":\"你\"}")}
                                 << QStringList{QStringLiteral("你")} << QString() << interrupted;
        QTest::newRow("done with empty text")
            << QList<QByteArray>{sse("done", "{\"text\":\"\",\"remainingCharacters\":3}")} << QStringList{} << QString()
            << interrupted;
        QTest::newRow("a later done replaces the earlier")
            << QList<QByteArray>{sse("done", "{\"text\":\"old\",\"remainingCharacters\":3}") + doneEvent}
            << QStringList{} << QStringLiteral("你好。") << QString();
        QTest::newRow("partial last line is dropped")
            << QList<QByteArray>{doneEvent + "event: done\ndata: {\"text\":\"cut"} << QStringList{}
            << QStringLiteral("你好。") << QString();
        QTest::newRow("error event")
            << QList<QByteArray>{sse("delta", "{\"text\":\"你\"}") +
                                 sse("error", "{\"error\":{\"code\":\"moderation_blocked\",\"message\":\"no\"}}") +
                                 doneEvent}
            << QStringList{QStringLiteral("你")} << QString()
            << QStringLiteral("This content does not meet our usage guidelines.");
        QTest::newRow("data line without a space after the colon")
            << QList<QByteArray>{"event: delta\ndata:{\"text\":\"紧\"}\n\n" + doneEvent}
            << QStringList{QStringLiteral("紧")} << QStringLiteral("你好。") << QString();
        QTest::newRow("data lines never closed by a blank line")
            << QList<QByteArray>{"event: delta\n", QByteArray("data: " + QByteArray(100'000, 'x') + '\n').repeated(5)}
            << QStringList{} << QString() << QStringLiteral("Server event too large.");
        QTest::newRow("pending error event at the end of the body")
            << QList<QByteArray>{"event: error\ndata: {\"error\":{\"code\":\"rate_limit\",\"message\":\"\"}}\n"}
            << QStringList{} << QString() << QStringLiteral("Too many requests. Please try again shortly.");
    }
    void stream()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, updates);
        QFETCH(QString, text);
        QFETCH(QString, failure);
        answer(ServerResponse::eventStream(chunks, 5));
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QStringLiteral("zh-Hans"), QString(), run.update(),
                          run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.updates, updates);
        QCOMPARE(run.failure(), failure);
        if (failure.isEmpty()) {
            QCOMPARE(run.outcome->value().text, text);
        }
        QCOMPARE(run.completions, 1);
    }

    void resultFields()
    {
        answer(ServerResponse::eventStream({doneEvent}));
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.outcome->value().remainingCharacters, 42);
        QCOMPARE(run.outcome->value().requestID, std::optional<QString>(QStringLiteral("R-1")));
    }

    void errorCodes_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("message");
        const QString unavailable =
            QStringLiteral("Safety checks are unavailable. Try again later; no allowance was used.");
        const QString tooLong = QStringLiteral("Too much text. Select a smaller area.");
        const QString failed = QStringLiteral("Translation failed. Try again; no allowance was used.");
        const QString service = QStringLiteral("Service unavailable. Please try again shortly.");
        const QString other = QStringLiteral("Could not complete this. Please try again shortly.");
        QTest::newRow("moderation_blocked")
            << QByteArray("moderation_blocked") << QStringLiteral("This content does not meet our usage guidelines.");
        QTest::newRow("moderation_review")
            << QByteArray("moderation_review")
            << QStringLiteral("This content needs review. Try again later; no allowance was used.");
        QTest::newRow("moderation_unavailable") << QByteArray("moderation_unavailable") << unavailable;
        QTest::newRow("moderation_rate_limit")
            << QByteArray("moderation_rate_limit")
            << QStringLiteral("Too many requests. Try again later; no allowance was used.");
        QTest::newRow("moderation_text_too_long") << QByteArray("moderation_text_too_long") << tooLong;
        QTest::newRow("text_too_long") << QByteArray("text_too_long") << tooLong;
        QTest::newRow("rate_limit") << QByteArray("rate_limit")
                                    << QStringLiteral("Too many requests. Please try again shortly.");
        QTest::newRow("translation_failed") << QByteArray("translation_failed") << failed;
        QTest::newRow("provider_unavailable") << QByteArray("provider_unavailable") << failed;
        QTest::newRow("not_configured") << QByteArray("not_configured") << service;
        QTest::newRow("service_unavailable") << QByteArray("service_unavailable") << service;
        QTest::newRow("unknown code") << QByteArray("quota_exceeded") << other;
        QTest::newRow("codes are case-sensitive") << QByteArray("Rate_Limit") << other;
    }
    void errorCodes()
    {
        QFETCH(QByteArray, code);
        QFETCH(QString, message);
        const QByteArray failure = "{\"error\":{\"code\":\"" + code + "\",\"message\":\"server words\"}}";
        // The same code through the three ways the service reports it.
        const QList<ServerResponse> responses{ServerResponse::eventStream({sse("error", failure)}),
                                              ServerResponse::json(429, failure), ServerResponse::json(500, failure)};
        for (const ServerResponse& response : responses) {
            answer(response);
            Finished<HostedResult> run;
            auto hosted = client();
            hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
            QVERIFY(run.wait());
            QCOMPARE(run.failure(), message);
            QVERIFY(run.outcome->error().isAppFailure());
        }
        answer(ServerResponse::json(403, failure));
        Finished<void> moderation;
        auto hosted = client();
        hosted->moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("ID"), QString(),
                         moderation.completion());
        QVERIFY(moderation.wait());
        QCOMPARE(moderation.failure(), message);
    }

    void failedResponses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QString service = QStringLiteral("Service unavailable. Please try again shortly.");
        QTest::newRow("502 with HTML") << 502 << QByteArray("<html><body>Bad gateway</body></html>") << service;
        QTest::newRow("500 with a failure lacking its message")
            << 500 << QByteArray("{\"error\":{\"code\":\"rate_limit\"}}") << service;
        QTest::newRow("404 empty") << 404 << QByteArray() << service;
        QByteArray padded = "{\"error\":{\"code\":\"rate_limit\",\"message\":\"" + QByteArray(50000, 'x') + "\"}}";
        QTest::newRow("failure body beyond 40,000 bytes is not read to its end") << 500 << padded << service;
    }
    void failedResponses()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        ServerResponse response;
        response.status = status;
        response.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "text/html"));
        response.chunks = {ServerChunk{body.left(30000), 0}, ServerChunk{body.mid(30000), 10}};
        // Held open: a client that read the whole body would never finish.
        response.ending = body.size() > HostedClient::errorBodyLimit ? ServerResponse::Ending::Hold
                                                                     : ServerResponse::Ending::Complete;
        answer(response);
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.failure(), message);
        m_server.release();
    }

    void decodingErrorsPassThrough_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("done without remainingCharacters")
            << sse("done", "{\"text\":\"你好\"}") << QStringLiteral("remainingCharacters");
        QTest::newRow("remainingCharacters not an integer")
            << sse("done", "{\"text\":\"你好\",\"remainingCharacters\":1.5}") << QStringLiteral("remainingCharacters");
        QTest::newRow("requestID of another type")
            << sse("done", "{\"text\":\"你好\",\"remainingCharacters\":1,\"requestID\":7}")
            << QStringLiteral("requestID");
        QTest::newRow("error event without a code")
            << sse("error", "{\"error\":{\"message\":\"m\"}}") << QStringLiteral("code");
        QTest::newRow("delta that is not JSON") << sse("delta", "{\"text\":") << QStringLiteral("parse error");
    }
    void decodingErrorsPassThrough()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, mentions);
        answer(ServerResponse::eventStream({stream + doneEvent}));
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QVERIFY(run.wait());
        QVERIFY(!*run.outcome);
        QCOMPARE(run.outcome->error().kind(), Error::Kind::System);
        QVERIFY2(run.failure().contains(mentions), qPrintable(run.failure()));
    }

    void lineLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("failure");
        QTest::newRow("exactly at the limit") << 400000 << QString();
        QTest::newRow("one byte over") << 400001 << QStringLiteral("Server event too large.");
    }
    void lineLimit()
    {
        QFETCH(int, length);
        QFETCH(QString, failure);
        // An ignored line (not event: or data:), sent in pieces, so that only the line buffer can count it.
        const QByteArray line = QByteArray(length, 'x');
        answer(ServerResponse::eventStream(
            {line.left(150000), line.mid(150000, 150000), line.mid(300000) + "\n", doneEvent}));
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.failure(), failure);
    }

    // However the body is cut into lines and events (a delta carries the whole text so far), its total is bounded.
    void streamBodyLimit()
    {
        const QByteArray comment = ": " + QByteArray(99'997, 'x') + '\n';
        HostedStream stream({});
        for (qsizetype fed = 0; fed < HostedStream::bodyLimit; fed += comment.size()) {
            QVERIFY(stream.feed(comment).ok());
        }
        const Outcome<void> beyond = stream.feed("\n");
        QVERIFY(!beyond);
        QCOMPARE(beyond.error().description(),
                 QStringLiteral("The service sent more data than expected. Reading stopped."));
    }

    void errorEventStopsReading()
    {
        ServerResponse response =
            ServerResponse::eventStream({sse("error", "{\"error\":{\"code\":\"rate_limit\",\"message\":\"\"}}")});
        response.ending = ServerResponse::Ending::Hold;
        answer(response);
        const int aborted = m_server.abortedResponses();
        Finished<HostedResult> run;
        auto hosted = client();
        hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QVERIFY(run.wait(10000));
        QCOMPARE(run.failure(), QStringLiteral("Too many requests. Please try again shortly."));
        QTRY_COMPARE(m_server.abortedResponses(), aborted + 1);
        m_server.release();
        QCOMPARE(run.completions, 1);
    }

    void cancellingWhileStreaming()
    {
        ServerResponse response = ServerResponse::eventStream({sse("delta", "{\"text\":\"你\"}")});
        response.ending = ServerResponse::Ending::Hold;
        answer(response);
        const int aborted = m_server.abortedResponses();
        Finished<HostedResult> run;
        auto hosted = client();
        Cancellation handle =
            hosted->translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        QTRY_COMPARE(run.updates, QStringList{QStringLiteral("你")});
        handle.cancel();
        QVERIFY(run.wait());
        QVERIFY(run.outcome->error().isCancelled());
        QTRY_COMPARE(m_server.abortedResponses(), aborted + 1);
        QCOMPARE(run.completions, 1);
    }

    void moderation_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure");
        const QString unavailable =
            QStringLiteral("Safety checks are unavailable. Try again later; no allowance was used.");
        QTest::newRow("allow") << QByteArray("{\"action\":\"allow\"}") << QString();
        QTest::newRow("allow with more fields") << QByteArray("{\"action\":\"allow\",\"score\":0.1}") << QString();
        QTest::newRow("block") << QByteArray("{\"action\":\"block\"}") << unavailable;
        QTest::newRow("review") << QByteArray("{\"action\":\"review\"}") << unavailable;
        QTest::newRow("other case") << QByteArray("{\"action\":\"Allow\"}") << unavailable;
        QTest::newRow("empty action") << QByteArray("{\"action\":\"\"}") << unavailable;
    }
    void moderation()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        answer(ServerResponse::json(200, body));
        const int before = m_server.requestCount();
        Finished<void> run;
        auto hosted = client();
        hosted->moderate(QStringLiteral(" 原文 \n"), QStringLiteral("output"), QStringLiteral("REQ-1"),
                         QStringLiteral("tok"), run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.failure(), failure);

        const RecordedRequest request = m_server.requests().at(before);
        QCOMPARE(request.path, QByteArray("/v1/moderate"));
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("X-Quilvant-Privacy"), QByteArray("norvel-sift-1"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok"));
        const QJsonObject sent = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(sent.value(QStringLiteral("text")).toString(), QStringLiteral(" 原文 \n"));
        QCOMPARE(sent.value(QStringLiteral("stage")).toString(), QStringLiteral("output"));
        QCOMPARE(sent.value(QStringLiteral("requestID")).toString(), QStringLiteral("REQ-1"));
    }

    void moderationDecodingErrors_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("not JSON") << QByteArray("allow");
        QTest::newRow("no action") << QByteArray("{\"verdict\":\"allow\"}");
        QTest::newRow("action of another type") << QByteArray("{\"action\":true}");
    }
    void moderationDecodingErrors()
    {
        QFETCH(QByteArray, body);
        answer(ServerResponse::json(200, body));
        Finished<void> run;
        auto hosted = client();
        hosted->moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("R"), QString(),
                         run.completion());
        QVERIFY(run.wait());
        QVERIFY(!*run.outcome);
        QCOMPARE(run.outcome->error().kind(), Error::Kind::System);
    }

    void moderationAnswerBound_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("failure");
        QTest::newRow("verdict beyond 40,000 bytes")
            << 200 << QStringLiteral("The service sent more data than expected. Reading stopped.");
        QTest::newRow("failure page beyond 40,000 bytes")
            << 500 << QStringLiteral("Service unavailable. Please try again shortly.");
    }
    void moderationAnswerBound()
    {
        QFETCH(int, status);
        QFETCH(QString, failure);
        ServerResponse response;
        response.status = status;
        response.chunks = {ServerChunk{"{\"action\":\"allow\",\"pad\":\"" + QByteArray(40'000, 'x'), 0}};
        response.ending = ServerResponse::Ending::Hold; // a client that read to the end would never finish
        answer(response);
        Finished<void> run;
        auto hosted = client();
        hosted->moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("ID"), QString(),
                         run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.failure(), failure);
        m_server.release();
    }

    // A token is never sent with a control character in it, and never shown in a message.
    void tokenStaysSecret()
    {
        const QString token = QStringLiteral("tok-secret-7777");
        const int before = m_server.requestCount();
        Finished<void> refused;
        auto hosted = client();
        hosted->moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("ID"),
                         token + QStringLiteral("\r\nX-Injected: 1"), refused.completion());
        QVERIFY(refused.wait());
        QCOMPARE(refused.failure(), QStringLiteral("The service token contains control characters. Save it again."));
        QCOMPARE(m_server.requestCount(), before);

        // A malformed delta echoing the request, cut inside the token.
        const QByteArray echo = "{\"text\":\"Bearer " + token.toUtf8();
        answer(ServerResponse::eventStream({sse("delta", echo.left(echo.size() - 3))}));
        Finished<HostedResult> run;
        hosted->translate(QStringLiteral("Hello"), QString(), token, run.update(), run.completion());
        QVERIFY(run.wait());
        QCOMPARE(run.outcome->error().kind(), Error::Kind::System);
        QVERIFY2(!run.failure().contains(QStringLiteral("tok-secret")), qPrintable(run.failure()));
    }

    void redirectsAreNamed_data()
    {
        QTest::addColumn<bool>("moderation");
        QTest::addColumn<QByteArray>("location");
        QTest::addColumn<QString>("failure");
        QTest::newRow("translation") << false << QByteArray("https://moved.example/api")
                                     << QStringLiteral(
                                            "The service redirects (HTTP 301) to https://moved.example/api.");
        QTest::newRow("moderation, no target")
            << true << QByteArray() << QStringLiteral("The service redirects (HTTP 301) without naming where.");
    }
    void redirectsAreNamed()
    {
        QFETCH(bool, moderation);
        QFETCH(QByteArray, location);
        QFETCH(QString, failure);
        ServerResponse response = ServerResponse::json(301, QByteArray());
        if (!location.isEmpty()) {
            response.headers.append(std::pair<QByteArray, QByteArray>("Location", location));
        }
        answer(response);
        auto hosted = client();
        Finished<void> moderated;
        Finished<HostedResult> translated;
        if (moderation) {
            hosted->moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("ID"), QString(),
                             moderated.completion());
            QVERIFY(moderated.wait());
        } else {
            hosted->translate(QStringLiteral("Hello"), QString(), QString(), translated.update(),
                              translated.completion());
            QVERIFY(translated.wait());
        }
        QCOMPARE(moderation ? moderated.failure() : translated.failure(), failure);
    }

    // Both operations wait at most 60 seconds for the next part of a response and 90 seconds for all of it (the
    // request is built the same way for both), on a clock the test moves.
    void timeLimits_data()
    {
        QTest::addColumn<bool>("moderation");
        QTest::addColumn<bool>("trickling");
        QTest::addColumn<QString>("reason"); // in the diagnostics log; the person reads that it timed out
        const QString idle = QStringLiteral("nothing arrived for 60 seconds");
        const QString whole = QStringLiteral("the response took longer than 90 seconds");
        QTest::newRow("translation, silent") << false << false << idle;
        QTest::newRow("translation, trickling") << false << true << whole;
        QTest::newRow("moderation, silent") << true << false << idle;
    }
    void timeLimits()
    {
        QFETCH(bool, moderation);
        QFETCH(bool, trickling);
        QFETCH(QString, reason);
        ServerResponse response = ServerResponse::eventStream({sse("delta", "{\"text\":\"1\"}")});
        for (const QByteArray& piece : {sse("delta", "{\"text\":\"2\"}"), sse("delta", "{\"text\":\"3\"}")}) {
            response.chunks.append(ServerChunk{piece, 0, true});
        }
        response.ending = ServerResponse::Ending::Hold;
        answer(response);
        // Earlier tests' releases run on the server's thread: count from none held.
        m_server.release();
        QTRY_COMPARE(m_server.heldResponses(), 0);
        ManualClock clock;
        const qint64 logged = test::diagnosticsEnd();
        HostedClient hosted(m_server.url(), http::HttpTransportOptions{m_server.caFile(), clock.scheduler()});
        Finished<void> moderated;
        Finished<HostedResult> translated;
        if (moderation) {
            hosted.moderate(QStringLiteral("t"), QStringLiteral("input"), QStringLiteral("ID"), QString(),
                            moderated.completion());
        } else {
            hosted.translate(QStringLiteral("Hello"), QString(), QString(), translated.update(),
                             translated.completion());
        }
        QTRY_COMPARE(m_server.heldResponses(), 1); // the first piece is out
        if (trickling) {                           // each piece within the idle limit of the one before
            for (const QString& piece : {QStringLiteral("2"), QStringLiteral("3")}) {
                clock.advance(30s);
                m_server.release();
                // Under load the piece may still be on its way: an empty list is "not yet", not a crash.
                QTRY_COMPARE(translated.updates.value(translated.updates.size() - 1), piece);
            }
            clock.advance(30s);
        } else {
            clock.advance(60s);
        }
        QVERIFY(moderation ? moderated.wait() : translated.wait());
        const QString failure = moderation ? moderated.failure() : translated.failure();
        QCOMPARE(failure, QStringLiteral("The translation service timed out. Please try again."));
        QVERIFY2(test::diagnosticsSince(logged).contains(reason), qPrintable(test::diagnosticsSince(logged)));
        m_server.release();
    }

    void missingBaseURL_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::newRow("absent") << QString();
        QTest::newRow("plain http elsewhere") << QStringLiteral("http://translate.example/");
        QTest::newRow("not a URL") << QStringLiteral("::");
        QTest::newRow("another scheme") << QStringLiteral("ftp://127.0.0.1/");
    }
    void missingBaseURL()
    {
        QFETCH(QString, setting);
        Settings::setOverride(Settings::Key::serviceURL, setting);
        HostedClient hosted;
        const int before = m_server.requestCount();
        Finished<HostedResult> translation;
        hosted.translate(QStringLiteral("Hello"), QString(), QString(), translation.update(), translation.completion());
        QCOMPARE(translation.completions, 0); // never from inside the call
        Finished<void> moderation;
        hosted.moderate(QStringLiteral("Hello"), QStringLiteral("input"), QStringLiteral("R"), QString(),
                        moderation.completion());
        QVERIFY(translation.wait());
        QVERIFY(moderation.wait());
        QCOMPARE(translation.failure(), QStringLiteral("Hosted service is not available yet"));
        QCOMPARE(moderation.failure(), QStringLiteral("Hosted service is not available yet"));
        QCOMPARE(m_server.requestCount(), before);
        Settings::clearOverride(Settings::Key::serviceURL);
    }

    void configuredBaseURL_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("usable");
        QTest::newRow("https") << QStringLiteral("https://translate.example/api") << true;
        QTest::newRow("http on 127.0.0.1") << QStringLiteral("http://127.0.0.1:8080") << true;
        QTest::newRow("http on localhost") << QStringLiteral("http://localhost:8080/") << true;
        QTest::newRow("http elsewhere") << QStringLiteral("http://10.0.0.1/") << false;
        QTest::newRow("credentials in the address") << QStringLiteral("https://user:pw@translate.example/") << false;
        QTest::newRow("no host") << QStringLiteral("https:///path") << false;
    }
    void configuredBaseURL()
    {
        QFETCH(QString, setting);
        QFETCH(bool, usable);
        QCOMPARE(HostedClient::configuredBaseURL(setting).has_value(), usable);
    }

    void cancellingBeforeAConfigurationFailureReportsCancellation()
    {
        Settings::setOverride(Settings::Key::serviceURL, QString());
        HostedClient hosted;
        Finished<HostedResult> run;
        Cancellation handle =
            hosted.translate(QStringLiteral("Hello"), QString(), QString(), run.update(), run.completion());
        handle.cancel();
        QCOMPARE(run.completions, 0);
        QVERIFY(run.wait());
        QVERIFY(run.outcome->error().isCancelled());
        Finished<HostedResult> later; // ends after anything the first call might still have had on its way
        hosted.translate(QStringLiteral("Hello"), QString(), QString(), later.update(), later.completion());
        QVERIFY(later.wait());
        QCOMPARE(run.completions, 1);
        Settings::clearOverride(Settings::Key::serviceURL);
    }
};

QTEST_GUILESS_MAIN(TestHostedClient)
#include "tst_hostedclient.moc"
