#include "engines/http/HttpTransport.h"
#include "foundation/Settings.h"
#include "support/DiagnosticsLog.h"
#include "support/HttpsTestServer.h"
#include "support/ManualClock.h"

#include <QtTest>

using namespace quilvant;
using namespace quilvant::http;
using quilvant::test::diagnosticsEnd;
using quilvant::test::diagnosticsSince;
using quilvant::test::HttpsTestServer;
using quilvant::test::ManualClock;
using quilvant::test::RecordedRequest;
using quilvant::test::ServerResponse;
using namespace std::chrono_literals;

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

// Runs one more transfer to its end on `transport`: every event of the transfers before it has arrived by then,
// since the worker posts them in order.
void barrier(HttpTransport& transport, const QUrl& url)
{
    Trace trace;
    const auto handle = transport.start(get(url), trace.handlers());
    QTRY_VERIFY(trace.finished());
}

} // namespace

class HttpTransportTest : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_server;

    HttpTransportOptions trusting() const { return HttpTransportOptions{m_server.caFile()}; }

private Q_SLOTS:
    void initTestCase()
    {
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    }

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
        server.setHandler([](const RecordedRequest&) { return ServerResponse::json(200, "{}"); });
        barrier(transport, server.url());
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
        barrier(transport, m_server.url());
        QCOMPARE(trace.doneCount, 1);
    }

    // A person reads a short message in the interface language; libcurl's words go to the diagnostics log.
    void failuresAreReportedAsErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("uiLanguage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged"); // part of the line the log gained
        QTest::newRow("connection cut mid-body")
            << QStringLiteral("cut") << QStringLiteral("en")
            << QStringLiteral("The connection to the translation service was lost. Please try again.")
            << QStringLiteral("http.failed code=");
        QTest::newRow("authority not trusted")
            << QStringLiteral("untrusted") << QStringLiteral("en")
            << QStringLiteral("Could not set up a secure connection to the translation service. Check the address in "
                              "Settings and the service's certificate.")
            << QStringLiteral("certificate");
        QTest::newRow("nothing listening, Chinese interface")
            << QStringLiteral("refused") << QStringLiteral("zh")
            << QStringLiteral("无法连接翻译服务，请检查网络和设置中的地址。") << QStringLiteral("127.0.0.1 port 1");
    }

    void failuresAreReportedAsErrors()
    {
        QFETCH(QString, kind);
        QFETCH(QString, uiLanguage);
        QFETCH(QString, message);
        QFETCH(QString, logged);
        Settings::setOverride(Settings::Key::uiLanguage, uiLanguage);
        const qint64 offset = diagnosticsEnd();
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
        if (kind == QStringLiteral("refused")) {
            request.url = QUrl(QStringLiteral("https://127.0.0.1:1/"));
        }
        Trace trace;
        const auto handle = transport.start(request, trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error);
        QCOMPARE(trace.error->kind(), Error::Kind::System);
        QCOMPARE(trace.error->description(), message);
        const QString log = diagnosticsSince(offset);
        QVERIFY2(log.contains(QStringLiteral("http.failed code=")) && log.contains(logged), qPrintable(log));
        if (kind == QStringLiteral("untrusted")) {
            QCOMPARE(server.requestCount(), 0);
        }
        Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    }

    void interimHeadsAreNotTheAnswer()
    {
        m_server.setHandler([](const RecordedRequest&) {
            ServerResponse response = ServerResponse::json(200, "final");
            response.interimHeads = {"HTTP/1.1 103 Early Hints\r\nLink: </style.css>\r\n\r\n"};
            return response;
        });
        HttpTransport transport(trusting());
        Trace trace;
        const auto handle = transport.start(get(m_server.url()), trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(!trace.error);
        QCOMPARE(trace.head->status, 200);
        QVERIFY(!trace.head->hasHeader("Link"));
        QCOMPARE(trace.body, QByteArray("final"));
    }

    // The limits on a clock the test moves: silence ends a transfer at the idle limit, and bytes that keep
    // trickling in end it at the whole-transfer limit.
    void timeLimits_data()
    {
        QTest::addColumn<bool>("trickling");
        QTest::addColumn<QString>("reason"); // in the diagnostics log
        QTest::newRow("silent after a piece") << false << QStringLiteral("nothing arrived for 60 seconds");
        QTest::newRow("trickling") << true << QStringLiteral("the response took longer than 90 seconds");
    }
    void timeLimits()
    {
        QFETCH(bool, trickling);
        QFETCH(QString, reason);
        HttpsTestServer server;
        QVERIFY(server.start());
        server.setHandler([](const RecordedRequest&) {
            ServerResponse response = ServerResponse::eventStream({"a"});
            for (const char* piece : {"b", "c", "d"}) {
                response.chunks.append(test::ServerChunk{piece, 0, true});
            }
            response.ending = ServerResponse::Ending::Hold;
            return response;
        });
        ManualClock clock;
        HttpTransport transport(HttpTransportOptions{server.caFile(), clock.scheduler()});
        HttpRequest request = get(server.url());
        request.idleTimeoutSeconds = 60;
        request.timeoutSeconds = 90;
        Trace trace;
        const qint64 offset = diagnosticsEnd();
        const auto handle = transport.start(request, trace.handlers());
        QTRY_VERIFY(trace.body.contains('a'));
        if (trickling) {
            for (const char next : {'b', 'c'}) {
                clock.advance(30s); // each piece comes within the idle limit
                server.release();
                QTRY_VERIFY(trace.body.contains(next));
            }
            clock.advance(30s);
        } else {
            clock.advance(60s);
        }
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error);
        QCOMPARE(trace.error->kind(), Error::Kind::System);
        QCOMPARE(trace.error->description(), QStringLiteral("The translation service timed out. Please try again."));
        QVERIFY2(diagnosticsSince(offset).contains(reason), qPrintable(diagnosticsSince(offset)));
        QTRY_COMPARE(server.abortedResponses(), 1);
        QVERIFY(trace.timings.available); // what was measured until the end is still reported
    }

    // A consumer that falls behind does not have the whole body queued up for it: the transfer pauses at about a
    // megabyte handed over and not yet taken, and goes on once that is taken.
    void slowConsumerHoldsBackTheTransfer()
    {
        const QByteArray body(16'000'000, 'b');
        m_server.setHandler([&body](const RecordedRequest&) {
            ServerResponse response;
            for (qsizetype at = 0; at < body.size(); at += 1'000'000) {
                response.chunks.append(test::ServerChunk{body.mid(at, 1'000'000), 0});
            }
            return response;
        });
        HttpTransport transport(trusting());
        Trace trace;
        const auto handle = transport.start(get(m_server.url()), trace.handlers());
        QTRY_VERIFY(!trace.body.isEmpty());
        QThread::msleep(500); // the server is faster than this consumer, which now takes nothing
        const qsizetype before = trace.body.size();
        QCoreApplication::sendPostedEvents(); // what was queued meanwhile
        QVERIFY2(trace.body.size() - before <= 1'100'000, qPrintable(QString::number(trace.body.size() - before)));
        QTRY_VERIFY(trace.finished());
        QVERIFY(!trace.error);
        QCOMPARE(trace.body.size(), body.size());
    }

    void headerWithALineBreakIsNeverSent()
    {
        m_server.setHandler([](const RecordedRequest&) { return ServerResponse::json(200, "{}"); });
        HttpTransport transport(trusting());
        const int before = m_server.requestCount();
        HttpRequest request = get(m_server.url());
        request.headers = {{"Authorization", "Bearer k\r\nX-Injected: 1"}};
        Trace trace;
        const auto handle = transport.start(request, trace.handlers());
        QTRY_VERIFY(trace.finished());
        QVERIFY(trace.error && trace.error->kind() == Error::Kind::System);
        barrier(transport, m_server.url());
        QCOMPARE(m_server.requestCount(), before + 1); // only the barrier's
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
