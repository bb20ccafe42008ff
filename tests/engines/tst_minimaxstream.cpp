#include "chatstream/MiniMaxEventReader.h"
#include "chatstream/MiniMaxStream.h"
#include "chatstream/VisibleText.h"
#include "engines/minimax/MiniMaxMessages.h"
#include "foundation/Settings.h"

#include <QtTest>

using namespace quilvant;

class MiniMaxStreamTest : public QObject
{
    Q_OBJECT

private:
    static void feedAll(MiniMaxStream& stream, const QStringList& lines)
    {
        for (const QString& line : lines) {
            QVERIFY2(stream.line(line).ok(), qPrintable(line));
        }
    }

private Q_SLOTS:
    void initTestCase() { Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en")); }

    void visible_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain, trimmed") << QStringLiteral(" \n 译文 \t") << QStringLiteral("译文");
        QTest::newRow("complete blocks removed")
            << QStringLiteral("a<think>b</think>c<think>d</think>e") << QStringLiteral("ace");
        QTest::newRow("block spans lines") << QStringLiteral("<think>a\nb\n</think>\nc") << QStringLiteral("c");
        QTest::newRow("unterminated block hidden") << QStringLiteral("x <think>still thinking") << QStringLiteral("x");
        QTest::newRow("tag still arriving") << QStringLiteral("x<thin") << QStringLiteral("x");
        QTest::newRow("lone trailing <") << QStringLiteral("1 <") << QStringLiteral("1");
        QTest::newRow("a < inside the text stays") << QStringLiteral("1 < 2") << QStringLiteral("1 < 2");
        QTest::newRow("non-greedy match")
            << QStringLiteral("<think><think>x</think>y</think>z") << QStringLiteral("y</think>z");
        QTest::newRow("tag formed by a removal is cut")
            << QStringLiteral("ok<thi<think>x</think>nk>hidden") << QStringLiteral("ok");
        QTest::newRow("stray closing tag kept") << QStringLiteral("a</think>b") << QStringLiteral("a</think>b");
        QTest::newRow("only reasoning") << QStringLiteral("<think>all</think>") << QString();
        QTest::newRow("tag before a block is hidden with it")
            << QStringLiteral("a <th<think>x</think>") << QStringLiteral("a");
        QTest::newRow("tag before a block shows while another is read")
            << QStringLiteral("a <th<think>x</think><th") << QStringLiteral("a <th");
        QTest::newRow("tag formed after spaces")
            << QStringLiteral("ok  <th<think>x</think>ink>y") << QStringLiteral("ok");
        QTest::newRow("white space inside kept")
            << QStringLiteral("a \n<think>x</think> b") << QStringLiteral("a \n b");
    }

    // The whole text at once, and the same text arriving one character at a time.
    void visible()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(MiniMaxStream::visible(text), expected);
        VisibleText growing;
        for (const QChar c : text) {
            const QString before = growing.text();
            const bool changed = growing.append(QStringView(&c, 1));
            QCOMPARE(changed, growing.text() != before);
        }
        QCOMPARE(growing.text(), expected);
    }

    void serverFailure_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected"); // empty: success
        const QString none = QStringLiteral("服务未提供具体错误说明。");
        QTest::newRow("plain success") << QByteArray(R"({"choices":[]})") << 200 << QString();
        QTest::newRow("code 0 is success")
            << QByteArray(R"({"base_resp":{"status_code":0,"status_msg":"ok"}})") << 204 << QString();
        QTest::newRow("error that is not an object is ignored") << QByteArray(R"({"error":"x"})") << 200 << QString();
        QTest::newRow("code given as text is ignored")
            << QByteArray(R"({"base_resp":{"status_code":"1008","status_msg":"m"}})") << 200 << QString();
        QTest::newRow("error object without message")
            << QByteArray(R"({"error":{"code":5},"base_resp":{"status_msg":"from base"}})") << 200
            << QStringLiteral("MiniMax request failed (HTTP 200): from base");
        QTest::newRow("top-level message last") << QByteArray(R"({"error":{"message":7},"message":"top"})") << 502
                                                << QStringLiteral("MiniMax request failed (HTTP 502): top");
        QTest::newRow("zero code not written") << QByteArray(R"({"base_resp":{"status_code":0}})") << 500
                                               << QStringLiteral("MiniMax request failed (HTTP 500): ") + none;
        QTest::newRow("negative code") << QByteArray(R"({"base_resp":{"status_code":-3}})") << 200
                                       << QStringLiteral("MiniMax request failed (HTTP 200, code -3): ") + none;
        QTest::newRow("huge code does not overflow")
            << QByteArray(R"({"base_resp":{"status_code":1e300}})") << 200
            << QStringLiteral("MiniMax request failed (HTTP 200, code 9223372036854775807): ") + none;
        QTest::newRow("not JSON") << QByteArray("<html>") << 404
                                  << QStringLiteral("MiniMax request failed (HTTP 404): ") + none;
        QTest::newRow("500 characters counted as characters")
            << QByteArray(R"({"message":")") + QByteArray(499, 'a') +
                   "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9zz\"}"
            << 400
            << QStringLiteral("MiniMax request failed (HTTP 400): ") + QString(499, QLatin1Char('a')) +
                   QStringLiteral("\U0001F468\u200D\U0001F469");
    }

    void serverFailure()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, expected);
        QCOMPARE(MiniMaxStream::serverFailure(body, status).value_or(QString()), expected);
    }

    void eventFields()
    {
        MiniMaxStream stream;
        feedAll(
            stream,
            {QStringLiteral("Data: {\"choices\":[{\"delta\":{\"content\":\"ignored\"}}]}"), QString(),
             QStringLiteral("data:  {\"choices\":[{\"delta\":{\"content\":\"a\"},\"finish_reason\":\"x\"}]}"),
             QString(),
             QStringLiteral("data: {\"choices\":[{\"delta\":{\"content\":5,\"reasoning_content\":\"推理👍🏽\"},"
                            "\"finish_reason\":null}]}"),
             QString(), QStringLiteral("data: {\"choices\":{\"delta\":{\"content\":\"not a list\"}}}"), QString(),
             QStringLiteral("data: {\"choices\":[{\"delta\":\"x\"},{\"delta\":{\"content\":\"b\"}}]}"), QString()});
        QCOMPARE(stream.visibleText(), QStringLiteral("ab"));
        QCOMPARE(stream.finishReason(), std::optional<QString>(QStringLiteral("x")));
        QCOMPARE(stream.reasoningCharacters(), 3); // a skin-toned emoji is one character
        QVERIFY(!stream.done());
        QVERIFY(!stream.completedText().ok()); // "x" is neither stop nor absent

        feedAll(stream, {QStringLiteral("data: {\"choices\":[{\"finish_reason\":\"stop\"}]}"), QString()});
        QCOMPARE(stream.completedText().value(), QStringLiteral("ab"));
    }

    void flushWithoutDataDoesNothing()
    {
        MiniMaxStream stream;
        QVERIFY(stream.flush().ok());
        QVERIFY(stream.line(QStringLiteral(": comment")).ok());
        QVERIFY(stream.line(QString()).ok());
        QVERIFY(!stream.done());
        QVERIFY(stream.visibleText().isEmpty());
    }

    // Totals, not only lines: the data lines of one event, and the whole body however it is cut into lines.
    void readerBounds_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("failure");                               // empty: none
        const QByteArray data = "data: " + QByteArray(100'000, 'x') + '\n'; // 100,000 characters of one event each
        const QByteArray comment = ": " + QByteArray(999'997, 'x') + '\n';  // a megabyte, ignored
        const QString eventTooLarge = QStringLiteral("MiniMax stream event was too large. Reading stopped.");
        const QString bodyTooLarge = QStringLiteral("MiniMax response was too large. Reading stopped.");
        QTest::newRow("event just below its limit") << data << 19 << QString();
        QTest::newRow("data lines never closed by a blank line") << data << 20 << eventTooLarge;
        QTest::newRow("body at its limit") << comment << 32 << QString();
        QTest::newRow("body beyond its limit") << comment + '\n' << 32 << bodyTooLarge;
    }
    void readerBounds()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, count);
        QFETCH(QString, failure);
        MiniMaxEventReader reader([](const QString&) {});
        QString seen;
        for (int i = 0; i < count && seen.isEmpty(); ++i) {
            if (auto fed = reader.feed(line); !fed) {
                seen = streamError(fed.error()).description();
            }
        }
        QCOMPARE(seen, failure);
    }

    void doneNeedsTheExactSentinel()
    {
        MiniMaxStream stream;
        QVERIFY(stream.line(QStringLiteral("data: [DONE] ")).ok());
        QVERIFY(!stream.flush().ok()); // not the sentinel, and not JSON either
        QVERIFY(!stream.done());
    }
};

QTEST_GUILESS_MAIN(MiniMaxStreamTest)
#include "tst_minimaxstream.moc"
