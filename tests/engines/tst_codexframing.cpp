// The agent engine's framing of the app-server's output into messages, and how a message is routed.
#include "engines/codex/CodexFraming.h"

#include <QtTest>
#include <limits>

using namespace quilvant;
using Json = Codex::Json;

namespace {

QStringList messagesOf(CodexFraming& framing)
{
    QStringList messages;
    while (const auto message = framing.next()) {
        messages.append(QString::fromStdString(message->dump()));
    }
    return messages;
}

} // namespace

class TestCodexFraming : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("expected");
        const QByteArray translated = QByteArray(R"({"d":"译文"})") + '\n';
        QTest::newRow("character split across reads")
            << QList<QByteArray>{translated.first(8), translated.sliced(8, 2), translated.sliced(10)}
            << QStringList{QStringLiteral(R"({"d":"译文"})")};
        QTest::newRow("junk, arrays and empty lines skipped, later lines kept")
            << QList<QByteArray>{"junk\n[1,2]\n\n\"text\"\n", "{\"a\":1}\r\n"}
            << QStringList{QStringLiteral(R"({"a":1})")};
        QTest::newRow("trailing bytes after an object make the line junk")
            << QList<QByteArray>{"{\"a\":1}x\n{\"b\":2}\n"} << QStringList{QStringLiteral(R"({"b":2})")};
        QTest::newRow("two in one read, the partial third waits")
            << QList<QByteArray>{"{\"a\":1}\n{\"b\":2}\n{\"c\":", "3"}
            << QStringList{QStringLiteral(R"({"a":1})"), QStringLiteral(R"({"b":2})")};
        QTest::newRow("a line feed on its own completes the line")
            << QList<QByteArray>{"{\"c\":", "3}", "\n"} << QStringList{QStringLiteral(R"({"c":3})")};
        QList<QByteArray> manyReads(70'000, "xx");
        manyReads.prepend("{\"s\":\"");
        manyReads.append("\"}\n");
        QTest::newRow("a line across many reads")
            << manyReads
            << QStringList{QStringLiteral("{\"s\":\"") + QString(140'000, QLatin1Char('x')) + QStringLiteral("\"}")};
    }

    void framing()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, expected);
        CodexFraming framing;
        QStringList messages;
        for (const QByteArray& read : reads) {
            framing.append(read);
            messages += messagesOf(framing);
        }
        QCOMPARE(messages, expected);
    }

    // A line may be long, but not without end: whole or still arriving, one beyond the limit ends the framing.
    void lineLimit_data()
    {
        QTest::addColumn<QByteArray>("ending");
        QTest::addColumn<qsizetype>("extra");
        QTest::addColumn<bool>("overflowed");
        QTest::newRow("whole line at the limit") << QByteArray("\n") << qsizetype(0) << false;
        QTest::newRow("whole line beyond it") << QByteArray("\n") << qsizetype(1) << true;
        QTest::newRow("unended line at the limit") << QByteArray() << qsizetype(0) << false;
        QTest::newRow("unended line beyond it") << QByteArray() << qsizetype(1) << true;
    }
    void lineLimit()
    {
        QFETCH(QByteArray, ending);
        QFETCH(qsizetype, extra);
        QFETCH(bool, overflowed);
        CodexFraming framing;
        const QByteArray piece(1'000'000, ' '); // white space around a JSON text is allowed
        for (qsizetype fed = 0; fed < CodexFraming::lineLimit; fed += piece.size()) {
            framing.append(piece);
            QVERIFY(!framing.next());
        }
        framing.append(QByteArray(QByteArray(extra, ' ') + ending));
        QVERIFY(!framing.next());
        QCOMPARE(framing.overflowed(), overflowed);
        // Once overflowed, nothing more is read; otherwise the next line reads as usual.
        framing.append(ending.isEmpty() ? QByteArray("\n{\"after\":1}\n") : QByteArray("{\"after\":1}\n"));
        QCOMPARE(messagesOf(framing).size(), overflowed ? 0 : 1);
    }

    void clearDropsWhatIsBuffered()
    {
        CodexFraming framing;
        framing.append("{\"a\":1}\n{\"half\":");
        QVERIFY(framing.next());
        framing.clear();
        framing.append("2}\n{\"b\":2}\n");
        QCOMPARE(messagesOf(framing), QStringList{QStringLiteral(R"({"b":2})")});
    }

    void routes_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<qint64>("responseId"); // -1: none (no test row uses -1 as an id)
        QTest::addColumn<bool>("request");
        QTest::newRow("response") << QByteArray(R"({"id":3,"result":{}})") << qint64(3) << false;
        QTest::newRow("largest id") << QByteArray(R"({"id":9223372036854775807})") << std::numeric_limits<qint64>::max()
                                    << false;
        QTest::newRow("id past the range") << QByteArray(R"({"id":18446744073709551615})") << qint64(-1) << false;
        QTest::newRow("negative id") << QByteArray(R"({"id":-4,"error":{}})") << qint64(-4) << false;
        QTest::newRow("fractional id") << QByteArray(R"({"id":1.0})") << qint64(-1) << false;
        QTest::newRow("string id") << QByteArray(R"({"id":"1"})") << qint64(-1) << false;
        QTest::newRow("request, integer id") << QByteArray(R"({"id":5,"method":"x"})") << qint64(-1) << true;
        QTest::newRow("request, string id") << QByteArray(R"({"id":"s","method":"x"})") << qint64(-1) << true;
        QTest::newRow("notification") << QByteArray(R"({"method":"turn/completed"})") << qint64(-1) << false;
    }

    void routes()
    {
        QFETCH(QByteArray, message);
        QFETCH(qint64, responseId);
        QFETCH(bool, request);
        const Json json = Json::parse(message.toStdString());
        QCOMPARE(Codex::responseId(json).value_or(-1), responseId);
        QCOMPARE(Codex::isRequest(json), request);
    }
};

QTEST_GUILESS_MAIN(TestCodexFraming)
#include "tst_codexframing.moc"
