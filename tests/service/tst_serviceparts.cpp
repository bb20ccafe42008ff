// The service's parts that work on bytes alone: request bodies, term lists, the upstream's answer, redaction,
// addresses, moderation answers and the configuration file.
#include "service/Api.h"
#include "service/Config.h"
#include "service/Log.h"
#include "service/Moderation.h"
#include "service/TermList.h"
#include "service/Upstream.h"
#include "service/UpstreamResponse.h"
#include "support/ServiceProcess.h"

#include <QTemporaryDir>
#include <QTest>
#include <limits>

using namespace quilvant::service;

namespace {

std::string bytes(const QByteArray& data)
{
    return data.toStdString();
}

QByteArray chunked(const QList<QByteArray>& pieces)
{
    QByteArray body = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const QByteArray& piece : pieces) {
        body += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return body + "0\r\n\r\n";
}

const QByteArray goodStream = chunked({quilvant::test::chatEvent(QStringLiteral("Bon")),
                                       quilvant::test::chatEvent(QStringLiteral("jour"), true), "data: [DONE]\n\n"});

} // namespace

class TestServiceParts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Log::setSecrets({"sk-configured-secret-key"}); }

    void translateBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QString>("error");
        QTest::addColumn<qint64>("characters");
        QTest::newRow("plain") << QByteArray(R"({"source":" Hello ","target":"fr","requestID":"A-1"})") << qint64(10)
                               << QString() << qint64(7);
        QTest::newRow("code points, not bytes")
            << QByteArray(R"({"source":"你好世界","target":"ja"})") << qint64(4) << QString() << qint64(4);
        QTest::newRow("an escaped surrogate pair is one")
            << QByteArray(R"({"source":"\ud83d\ude00","target":"en"})") << qint64(1) << QString() << qint64(1);
        QTest::newRow("over the limit") << QByteArray(R"({"source":"你好世界","target":"ja"})") << qint64(3)
                                        << QStringLiteral("text_too_long") << qint64(0);
        QTest::newRow("unknown language") << QByteArray(R"({"source":"x","target":"de"})") << qint64(10)
                                          << QStringLiteral("unsupported_target") << qint64(0);
        QTest::newRow("blank source") << QByteArray(R"({"source":" \n\t","target":"fr"})") << qint64(10)
                                      << QStringLiteral("invalid_request") << qint64(0);
        QTest::newRow("source not a string") << QByteArray(R"({"source":5,"target":"fr"})") << qint64(10)
                                             << QStringLiteral("invalid_request") << qint64(0);
        QTest::newRow("requestID not a string") << QByteArray(R"({"source":"x","target":"fr","requestID":1})")
                                                << qint64(10) << QStringLiteral("invalid_request") << qint64(0);
        QTest::newRow("not an object") << QByteArray(R"(["x","fr"])") << qint64(10) << QStringLiteral("invalid_request")
                                       << qint64(0);
        QTest::newRow("not JSON") << QByteArray("source=x") << qint64(10) << QStringLiteral("invalid_request")
                                  << qint64(0);
        QTest::newRow("invalid UTF-8") << QByteArray("{\"source\":\"\xff\",\"target\":\"fr\"}") << qint64(10)
                                       << QStringLiteral("invalid_request") << qint64(0);
    }
    void translateBodies()
    {
        QFETCH(QByteArray, body);
        QFETCH(qint64, limit);
        QFETCH(QString, error);
        QFETCH(qint64, characters);
        const auto decoded = decodeTranslate(bytes(body), limit);
        QCOMPARE(decoded.request.has_value(), error.isEmpty());
        if (decoded.request) {
            QCOMPARE(decoded.request->characters, characters);
        } else {
            QCOMPARE(QString::fromUtf8(errorInfo(decoded.error).code), error);
        }
    }

    void moderateBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::newRow("input") << QByteArray(R"({"text":"abc","stage":"input","requestID":"R"})") << QString();
        QTest::newRow("empty output") << QByteArray(R"({"text":"","stage":"output"})") << QString();
        QTest::newRow("unknown stage") << QByteArray(R"({"text":"abc","stage":"later"})")
                                       << QStringLiteral("invalid_request");
        QTest::newRow("too long") << QByteArray(R"({"text":"abcdef","stage":"input"})")
                                  << QStringLiteral("moderation_text_too_long");
    }
    void moderateBodies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        const auto decoded = decodeModerate(bytes(body), 5);
        QCOMPARE(decoded.request.has_value(), error.isEmpty());
        if (!decoded.request) {
            QCOMPARE(QString::fromUtf8(errorInfo(decoded.error).code), error);
        }
    }

    void termLists_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("matches");
        QTest::newRow("full-width letters") << QStringLiteral("bad") << QStringLiteral("so ＢＡＤ!") << true;
        QTest::newRow("case") << QStringLiteral("BaD") << QStringLiteral("bAd") << true;
        QTest::newRow("zero-width space inside") << QStringLiteral("bad") << QStringLiteral("b\u200Bad") << true;
        QTest::newRow("sharp s folds to ss") << QStringLiteral("strasse") << QStringLiteral("Straße") << true;
        QTest::newRow("inside a Latin word") << QStringLiteral("ass") << QStringLiteral("classic") << false;
        QTest::newRow("beside punctuation") << QStringLiteral("ass") << QStringLiteral("an ass.") << true;
        QTest::newRow("inside Chinese text") << QStringLiteral("坏词") << QStringLiteral("这是坏词吗") << true;
        QTest::newRow("comments and blank lines") << QStringLiteral("# bad\n\n   \n") << QStringLiteral("bad") << false;
        QTest::newRow("second line, CR LF") << QStringLiteral("good\r\n  evil  \r\n") << QStringLiteral("EVIL") << true;
    }
    void termLists()
    {
        QFETCH(QString, list);
        QFETCH(QString, text);
        QFETCH(bool, matches);
        QCOMPARE(TermList::fromText(list.toStdString()).matches(text.toStdString()), matches);
    }

    // Whatever the network's cut points, the answer reads the same.
    void upstreamStreamAtEveryCut()
    {
        for (qsizetype cut = 0; cut <= goodStream.size(); ++cut) {
            UpstreamResponse response(1 << 20);
            std::vector<std::string> updates;
            for (const QByteArray& piece : {goodStream.left(cut), goodStream.mid(cut)}) {
                response.feed(bytes(piece));
                while (auto update = response.takeUpdate()) {
                    updates.push_back(*update);
                }
            }
            QVERIFY2(response.finished() && !response.failed(), response.failure().c_str());
            QCOMPARE(response.text(), std::string("Bonjour"));
            QCOMPARE(updates.back(), std::string("Bonjour"));
            QVERIFY(response.reusable());
        }
        UpstreamResponse byteByByte(1 << 20);
        for (const char c : goodStream) {
            byteByByte.feed(std::string_view(&c, 1));
        }
        QCOMPARE(byteByByte.text(), std::string("Bonjour"));
    }

    void upstreamAnswers_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<bool>("closeAfter");
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("anyText");
        QTest::addColumn<QString>("text");
        const QByteArray events = quilvant::test::chatEvent(QStringLiteral("Hi"), true) + "data: [DONE]\n\n";
        QTest::newRow("delimited by length")
            << "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(events.size()) + "\r\n\r\n" + events << false
            << false << true << QStringLiteral("Hi");
        QTest::newRow("delimited by the connection's end")
            << "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + events.left(events.indexOf("data: [DONE]")) << true
            << false << true << QStringLiteral("Hi");
        QTest::newRow("unsuccessful status")
            << QByteArray("HTTP/1.1 401 Unauthorized\r\nContent-Length: 7\r\n\r\nno key") << true << true << false
            << QString();
        QTest::newRow("error object in the stream") << chunked({R"(data: {"error":{"message":"overloaded"}})"
                                                                "\n\n"})
                                                    << false << true << false << QString();
        QTest::newRow("cut after text") << goodStream.left(goodStream.indexOf("jour")) << true << true << true
                                        << QString();
        QTest::newRow("cut by the length limit")
            << chunked({R"(data: {"choices":[{"delta":{"content":"Hi"},"finish_reason":"length"}]})"
                        "\n\n"})
            << false << true << true << QString();
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << false << true << false << QString();
        QTest::newRow("larger than the limit") << chunked({quilvant::test::chatEvent(QString(300, QLatin1Char('x')))})
                                               << false << true << false << QString();
    }
    void upstreamAnswers()
    {
        QFETCH(QByteArray, raw);
        QFETCH(bool, closeAfter);
        QFETCH(bool, failed);
        QFETCH(bool, anyText);
        QFETCH(QString, text);
        UpstreamResponse response(256);
        response.feed(bytes(raw));
        if (closeAfter) {
            response.end();
        }
        QVERIFY(response.finished());
        QCOMPARE(response.failed(), failed);
        QCOMPARE(response.anyText(), anyText);
        QCOMPARE(QString::fromStdString(response.text()), text);
        QCOMPARE(response.reusable(), false == failed && !closeAfter);
    }

    void redaction_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("configured key") << QStringLiteral("Incorrect API key provided: sk-configured-secret-key.")
                                        << QStringLiteral("Incorrect API key provided: [redacted].");
        QTest::newRow("bearer value") << QStringLiteral("header Authorization: Bearer abc.def-123, next")
                                      << QStringLiteral("header Authorization: Bearer [redacted], next");
        QTest::newRow("access token") << QStringLiteral("token qvs_0123abcd used")
                                      << QStringLiteral("token qvs_[redacted] used");
        QTest::newRow("provider key shape")
            << QStringLiteral("key sk-proj-AbC123xyz987 bad") << QStringLiteral("key sk-[redacted] bad");
        QTest::newRow("control characters") << QStringLiteral("a\nb\x1b[31mc") << QStringLiteral("a b [31mc");
    }
    void redaction()
    {
        QFETCH(QString, text);
        QFETCH(QString, logged);
        QCOMPARE(QString::fromStdString(Log::redact(text.toStdString())), logged);
    }

    // Redaction comes before the cut: a secret at the edge is not left half-visible.
    void redactionBeforeCut()
    {
        const std::string text = std::string(10, 'x') + "sk-configured-secret-key";
        const std::string cut = Log::redact(text, 16);
        QVERIFY(cut.find("sk-conf") == std::string::npos);
        QVERIFY(cut.size() <= 16 + std::string("…").size());
        // A cut never splits a character.
        QVERIFY(QString::fromStdString(Log::redact("ééééé", 3)).startsWith(QStringLiteral("é…")));
    }

    void endpoints_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("parsed"); // "tls host port target", empty when refused
        QTest::newRow("https default port") << QStringLiteral("https://api.example.com/v1/chat/completions")
                                            << QStringLiteral("1 api.example.com 443 /v1/chat/completions");
        QTest::newRow("http with port") << QStringLiteral("http://127.0.0.1:8080/v1/x?a=b")
                                        << QStringLiteral("0 127.0.0.1 8080 /v1/x?a=b");
        QTest::newRow("IPv6") << QStringLiteral("http://[::1]:9/") << QStringLiteral("0 ::1 9 /");
        QTest::newRow("no path") << QStringLiteral("http://host") << QStringLiteral("0 host 80 /");
        QTest::newRow("user information") << QStringLiteral("https://user:pw@host/") << QString();
        QTest::newRow("other scheme") << QStringLiteral("ftp://host/") << QString();
        QTest::newRow("port not a number") << QStringLiteral("http://host:x/") << QString();
    }
    void endpoints()
    {
        QFETCH(QString, url);
        QFETCH(QString, parsed);
        const auto endpoint = Endpoint::parse(url.toStdString());
        const QString text =
            endpoint ? QStringLiteral("%1 %2 %3 %4")
                           .arg(endpoint->tls ? 1 : 0)
                           .arg(QString::fromStdString(endpoint->host), QString::fromStdString(endpoint->port),
                                QString::fromStdString(endpoint->target))
                     : QString();
        QCOMPARE(text, parsed);
    }

    void moderationAnswers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("verdict");
        QTest::newRow("clean") << QByteArray(R"({"results":[{"flagged":false}]})") << int(Verdict::Allow);
        QTest::newRow("flagged") << QByteArray(R"({"results":[{"flagged":false},{"flagged":true}]})")
                                 << int(Verdict::Blocked);
        QTest::newRow("no results") << QByteArray(R"({"results":[]})") << int(Verdict::Unavailable);
        QTest::newRow("flag not a boolean")
            << QByteArray(R"({"results":[{"flagged":"yes"}]})") << int(Verdict::Unavailable);
        QTest::newRow("HTML") << QByteArray("<html>busy</html>") << int(Verdict::Unavailable);
    }
    void moderationAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, verdict);
        QCOMPARE(int(moderationVerdict(bytes(body))), verdict);
    }

    void configurationErrors_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("wrong type") << QByteArray(R"({"upstream":{"url":5}})")
                                    << QStringLiteral("upstream.url must be a string");
        QTest::newRow("zero seconds") << QByteArray(R"({"limits":{"headerSeconds":0}})")
                                      << QStringLiteral("limits.headerSeconds must be a whole number of seconds");
        QTest::newRow("missing key file") << QByteArray(R"({"upstream":{"keyFile":"/nonexistent/key"}})")
                                          << QStringLiteral("upstream.keyFile: cannot open /nonexistent/key");
        QTest::newRow("half of TLS") << QByteArray(R"({"tlsCertificate":"c.pem"})")
                                     << QStringLiteral("tlsCertificate and tlsKey go together");
        QTest::newRow("not an object") << QByteArray("[]") << QStringLiteral("is not a JSON object");
        QTest::newRow("misspelt limit") << QByteArray(R"({"limits":{"conections":5}})")
                                        << QStringLiteral("unknown setting \"limits.conections\"");
        QTest::newRow("misspelt top-level setting")
            << QByteArray(R"({"databse":"sqlite:/x"})") << QStringLiteral("unknown setting \"databse\"");
    }

    // A character limit too large to turn into bytes is no limit, not a wrapped-around small one.
    void bodyLimitSaturates()
    {
        Limits limits;
        limits.translateCharacters = std::numeric_limits<std::int64_t>::max();
        QVERIFY(limits.requestBodyBytes() > std::size_t(1) << 40);
    }
    void configurationErrors()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("config.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        const ConfigResult result = loadConfig(file.fileName().toStdString());
        QVERIFY(!result.config);
        QVERIFY2(QString::fromStdString(result.error).contains(error), result.error.c_str());
    }
};

QTEST_GUILESS_MAIN(TestServiceParts)
#include "tst_serviceparts.moc"
