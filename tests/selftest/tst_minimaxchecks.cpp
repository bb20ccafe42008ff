#include "foundation/Settings.h"
#include "support/ChildProcess.h"
#include "support/HttpsTestServer.h"

#include <QFile>
#include <QtTest>

using namespace quilvant;
using namespace quilvant::test;

// The MiniMax check modes as a user runs them. Only the offline paths: the speed check needs the real provider.
class MiniMaxChecksTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parserCheckPasses()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--minimax-parser-test")}, sandbox);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(),
                 QStringLiteral("PASS: SSE assembly, hidden reasoning, interrupted stream, truncation, "
                                "auth errors, HTTP-200 business errors\n"));
        QVERIFY(result.err.isEmpty());
    }

    void parserCheckPassesInAChineseInterface()
    {
        Sandbox sandbox;
        sandbox.writeSetting(QStringLiteral("uiLanguage"), QStringLiteral("zh"));
        const RunResult result = runQuilvant({QStringLiteral("--minimax-parser-test")}, sandbox);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.outText().startsWith(QStringLiteral("PASS: SSE assembly")));
    }

    void speedCheckWithoutKeyFails_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("closed input") << QByteArray() << QStringList{QStringLiteral("--minimax-speed-test")};
        QTest::newRow("empty line, optimized only")
            << QByteArray("\n")
            << QStringList{QStringLiteral("--optimized-only"), QStringLiteral("--minimax-speed-test")};
    }

    void speedCheckWithoutKeyFails()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, arguments);
        Sandbox sandbox;
        const RunResult result = runQuilvant(arguments, sandbox, RunOptions{input, 60'000});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.errText(), QStringLiteral("FAIL: Test key not supplied on stdin\n"));
        QVERIFY(result.out.isEmpty());
    }

    // The check's endpoint is fixed, so the provider's stand-in is reached through a proxy tunnel. It keeps its
    // connections open and ends each body a moment after "[DONE]": the warm-up and both translations share one
    // connection, and the repeat comes from memory.
    void speedCheckKeepsOneConnection()
    {
        HttpsTestServer server;
        const QString host = QUrl(Settings::chinaEndpoint).host();
        QVERIFY2(server.start({host}, true), qPrintable(server.errorString()));
        server.setHandler([](const RecordedRequest& request) {
            if (request.method == "HEAD") {
                return ServerResponse::json(405, QByteArray());
            }
            ServerResponse response = ServerResponse::eventStream(
                {"data: {\"choices\":[{\"delta\":{\"content\":\"译文\"}}]}\n\n", "data: [DONE]\n\n"});
            response.chunks.append(ServerChunk{QByteArray(), 100});
            return response;
        });
        Sandbox sandbox;
        sandbox.setEnv(QStringLiteral("https_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
        sandbox.unsetEnv(QStringLiteral("no_proxy"));
        sandbox.unsetEnv(QStringLiteral("NO_PROXY"));
        sandbox.setEnv(QStringLiteral("SSL_CERT_FILE"), server.caFile());
        const RunResult result =
            runQuilvant({QStringLiteral("--optimized-only"), QStringLiteral("--minimax-speed-test")}, sandbox,
                        RunOptions{"sk-stand-in\n", 60'000});
        QVERIFY2(result.exitCode == 0, qPrintable(result.errText()));
        QVERIFY(result.outText().contains(QStringLiteral("cache total=")));
        QCOMPARE(server.tunnels(), QList<QByteArray>{host.toUtf8() + ":443"});
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.requestCount(), 3); // the warm-up and two samples

        QFile log(sandbox.privateTempDir() + QStringLiteral("/kestu-diagnostics.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QStringList reuse;
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (const qsizetype at = line.indexOf(" minimax.network reused="); at >= 0) {
                reuse.append(QString::fromUtf8(line.mid(at + 24, 5)).trimmed());
            }
        }
        QCOMPARE(reuse, (QStringList{QStringLiteral("false"), QStringLiteral("true"), QStringLiteral("true")}));
    }

    void parserModeComesFirst()
    {
        Sandbox sandbox;
        const RunResult result =
            runQuilvant({QStringLiteral("--regression-test"), QStringLiteral("--minimax-speed-test"),
                         QStringLiteral("--minimax-parser-test")},
                        sandbox, RunOptions{QByteArray(), 60'000});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.outText().startsWith(QStringLiteral("PASS: SSE assembly")));
    }
};

QTEST_GUILESS_MAIN(MiniMaxChecksTest)
#include "tst_minimaxchecks.moc"
