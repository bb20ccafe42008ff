#include "engines/http/HttpTransport.h"
#include "support/HttpsTestServer.h"

#include <QtTest>

using namespace quilvant;
using namespace quilvant::http;
using quilvant::test::HttpsTestServer;
using quilvant::test::RecordedRequest;
using quilvant::test::ServerResponse;

namespace {

// Everything one transfer reported, in arrival order.
struct Trace
{
    std::optional<HttpHead> head;
    QByteArray body;
    QList<QByteArray> pieces;
    int doneCount = 0;
    std::optional<Error> error;
    HttpTimings timings;
    bool bodyBeforeHead = false;

    HttpHandlers handlers()
    {
        return HttpHandlers{
            [this](const HttpHead& h) { head = h; },
            [this](const QByteArray& bytes) {
                bodyBeforeHead = bodyBeforeHead || !head;
                body += bytes;
                pieces.append(bytes);
            },
            [this](const Outcome<void>& outcome, const HttpTimings& t) {
                ++doneCount;
                if (!outcome) {
                    error = outcome.error();
                }
                timings = t;
            },
        };
    }
    bool finished() const { return doneCount > 0; }
};

HttpRequest get(const QUrl& url)
{
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = 20;
    return request;
}

} // namespace

class HttpTransportTest : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;

    HttpTransportOptions trusting() const { return HttpTransportOptions{m_server.caFile()}; }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_server.start(), qPrintable(m_server.errorString())); }

    void postIsDeliveredWithHeadersAndBody()
    {
        m_server.setHandler([](const RecordedRequest& request) {
            ServerResponse response = ServerResponse::json(201, "{\"echo\":" + request.body + "}");
            response.headers.append(std::pair<QByteArray, QByteArray>("X-Trace", "abc"));
            return response;
        });
        HttpTransport transport(trusting());
        HttpRequest request = get(m_server.url(QStringLiteral("/v1/things?q=1")));
        request.method = "POST";
        request.headers = {{"Authorization", "Bearer k"}, {"Content-Type", "application/json"}};
        request.body = QByteArray(5000, 'x'); // above libcurl's threshold for a 100-continue round trip
        Trace trace;
        const auto handle = transport.start(request, trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(!trace.error);
        QVERIFY(trace.head);
        QCOMPARE(trace.head->status, 201);
        QCOMPARE(trace.head->header("x-trace"), QByteArray("abc"));
        QCOMPARE(trace.body, "{\"echo\":" + request.body + "}");
        QVERIFY(!trace.bodyBeforeHead);
        const RecordedRequest seen = m_server.requests().constLast();
        QCOMPARE(seen.method, QByteArray("POST"));
        QCOMPARE(seen.path, QByteArray("/v1/things?q=1"));
        QCOMPARE(seen.header("authorization"), QByteArray("Bearer k"));
        QCOMPARE(seen.body, request.body);
        QVERIFY(seen.header("expect").isEmpty());
        QCOMPARE(trace.doneCount, 1);
    }

    void streamedChunksArriveInOrder()
    {
        // "译" is E8 AF 91: its bytes are split over two writes.
        const QList<QByteArray> chunks = {"data: a\n\n", "data: \xE8\xAF", "\x91\n\n", "data: end\n\n"};
        m_server.setHandler([chunks](const RecordedRequest&) { return ServerResponse::eventStream(chunks, 30); });
        HttpTransport transport(trusting());
        Trace trace;
        const auto handle = transport.start(get(m_server.url()), trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(!trace.error);
        QCOMPARE(trace.head->header("Content-Type"), QByteArray("text/event-stream"));
        QCOMPARE(trace.body, chunks.join());
        QVERIFY(trace.timings.available);
    }

    void headWarmUpLeavesAConnectionForTheNextRequest()
    {
        HttpsTestServer server;
        QVERIFY(server.start());
        server.setHandler([](const RecordedRequest&) { return ServerResponse::json(200, "{}"); });
        HttpTransport transport(HttpTransportOptions{server.caFile()});
        HttpRequest head = get(server.url());
        head.method = "HEAD";
        Trace warm;
        auto h1 = transport.start(head, warm.handlers());
        QTRY_VERIFY(warm.finished());
        QVERIFY(!warm.error);
        QCOMPARE(warm.head->status, 200);
        QVERIFY(warm.body.isEmpty());
        QVERIFY(!warm.timings.reused());
        QVERIFY(warm.timings.newConnections >= 1);

        Trace second;
        auto h2 = transport.start(get(server.url(QStringLiteral("/x"))), second.handlers());
        QTRY_VERIFY(second.finished());
        QVERIFY(!second.error);
        QVERIFY(second.timings.reused());
        QCOMPARE(second.timings.dnsSpan(), 0.0);
        QCOMPARE(second.timings.tlsSpan(), 0.0);
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.requests().value(0).method, QByteArray("HEAD"));
    }

    void cancelStopsTheTransferAndTheServerSeesTheClientLeave()
    {
        HttpsTestServer server;
        QVERIFY(server.start());
        server.setHandler([](const RecordedRequest&) {
            ServerResponse response = ServerResponse::eventStream({"data: first\n\n"});
            response.ending = ServerResponse::Ending::Hold;
            return response;
        });
        HttpTransport transport(HttpTransportOptions{server.caFile()});
        Trace trace;
        Cancellation handle = transport.start(get(server.url()), trace.handlers());
        QTRY_VERIFY(!trace.body.isEmpty());
        QTRY_COMPARE(server.heldResponses(), 1);
        handle.cancel();
        QCOMPARE(trace.doneCount, 0); // never from inside cancel()
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error && trace.error->isCancelled());
        QTRY_COMPARE(server.abortedResponses(), 1);
        handle.cancel();
        server.release();
        QTest::qWait(50);
        QCOMPARE(trace.doneCount, 1);
        QCOMPARE(trace.body, QByteArray("data: first\n\n"));
    }

    void cancelWinsOverAnEndAlreadyOnItsWay()
    {
        m_server.setHandler([](const RecordedRequest&) { return ServerResponse::json(200, "done"); });
        HttpTransport transport(trusting());
        Trace trace;
        Cancellation handle = transport.start(get(m_server.url()), trace.handlers());
        // Without serving this thread's events the transfer can end on the worker while its events wait here.
        QThread::msleep(300);
        handle.cancel();
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error && trace.error->isCancelled());
        QVERIFY(trace.body.isEmpty());
        QVERIFY(!trace.head);
        QTest::qWait(20);
        QCOMPARE(trace.doneCount, 1);
    }

    void failuresAreReportedAsErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("connection cut mid-body") << QStringLiteral("cut");
        QTest::newRow("whole-transfer time limit") << QStringLiteral("timeout");
        QTest::newRow("authority not trusted") << QStringLiteral("untrusted");
        QTest::newRow("nothing listening") << QStringLiteral("refused");
    }

    void failuresAreReportedAsErrors()
    {
        QFETCH(QString, kind);
        HttpsTestServer server;
        QVERIFY(server.start());
        server.setHandler([kind](const RecordedRequest&) {
            ServerResponse response = ServerResponse::eventStream({"data: x\n\n"});
            response.ending =
                kind == QStringLiteral("cut") ? ServerResponse::Ending::Cut : ServerResponse::Ending::Hold;
            return response;
        });
        // Without the test authority the system's trust store is used, which cannot know this server.
        HttpTransport transport(kind == QStringLiteral("untrusted") ? HttpTransportOptions{}
                                                                    : HttpTransportOptions{server.caFile()});
        HttpRequest request = get(server.url());
        if (kind == QStringLiteral("timeout")) {
            request.timeoutSeconds = 0.3;
        }
        if (kind == QStringLiteral("refused")) {
            request.url = QUrl(QStringLiteral("https://127.0.0.1:1/"));
        }
        Trace trace;
        const auto handle = transport.start(request, trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error);
        QCOMPARE(trace.error->kind(), Error::Kind::System);
        QVERIFY(!trace.error->description().isEmpty());
        if (kind == QStringLiteral("timeout")) {
            QTRY_COMPARE(server.abortedResponses(), 1);
        }
        if (kind == QStringLiteral("untrusted")) {
            QCOMPARE(server.requestCount(), 0);
        }
    }

    void sslCertFileFromTheEnvironmentIsTrusted()
    {
        m_server.setHandler([](const RecordedRequest&) { return ServerResponse::json(200, "ok"); });
        qputenv("SSL_CERT_FILE", m_server.caFile().toLocal8Bit());
        HttpTransport transport;
        Trace trace;
        const auto handle = transport.start(get(m_server.url()), trace.handlers());
        QTRY_VERIFY(trace.finished());
        qunsetenv("SSL_CERT_FILE");
        QVERIFY2(!trace.error, trace.error ? qPrintable(trace.error->description()) : "");
        QCOMPARE(trace.body, QByteArray("ok"));
    }

    void transportGoesAwayWithTransfersInFlight()
    {
        HttpsTestServer server;
        QVERIFY(server.start());
        server.setHandler([](const RecordedRequest&) {
            ServerResponse response = ServerResponse::eventStream({"data: x\n\n"});
            response.ending = ServerResponse::Ending::Hold;
            return response;
        });
        Trace trace;
        Cancellation handle;
        {
            HttpTransport transport(HttpTransportOptions{server.caFile()});
            handle = transport.start(get(server.url()), trace.handlers());
            QTRY_COMPARE(server.heldResponses(), 1);
        }
        handle.cancel(); // the transport is gone: must be harmless
        QTRY_COMPARE(server.abortedResponses(), 1);
    }
};

QTEST_GUILESS_MAIN(HttpTransportTest)
#include "tst_httptransport.moc"
