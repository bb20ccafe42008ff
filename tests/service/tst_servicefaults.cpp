// The service under bad luck and hostile peers: signals at every phase of a request, storage that fills up,
// shrinks or disappears, a provider that hangs, floods or echoes the text back, descriptor exhaustion and
// malformed framing. The real service process on a real SQLite file; after every case the ledger balances.
#include "Ledger.h"
#include "support/HttpClient.h"
#include "support/ServiceProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace quilvant::test;

namespace {

QString sourceOf(const RecordedRequest& request)
{
    const QJsonArray messages =
        QJsonDocument::fromJson(request.body).object().value(QStringLiteral("messages")).toArray();
    return messages.last().toObject().value(QStringLiteral("content")).toString();
}

// The provider's answers, chosen by the first word of the text.
ServerResponse provide(const RecordedRequest& request)
{
    if (request.header("Authorization") == "Bearer sk-refused-key") {
        return ServerResponse::json(401, R"({"error":{"message":"Incorrect API key provided"}})");
    }
    const QString source = sourceOf(request);
    const QString word = source.section(QLatin1Char(' '), 0, 0);
    ServerResponse response = chatStream({QStringLiteral("Bon"), QStringLiteral("jour")});
    if (word == QStringLiteral("silent")) {
        response.silent = true;
    } else if (word == QStringLiteral("streaming")) {
        response.chunks = {ServerChunk{chatEvent(QStringLiteral("Bon")), 0},
                           ServerChunk{chatEvent(QStringLiteral("jour"), true), 0, true},
                           ServerChunk{"data: [DONE]\n\n", 0}};
    } else if (word == QStringLiteral("refuse")) {
        // Providers echo what they were given.
        response =
            ServerResponse::json(401, R"({"error":{"message":"Incorrect API key for )" + source.toUtf8() + "\"}}");
    } else if (word == QStringLiteral("broken")) {
        response = ServerResponse::eventStream(
            {R"(data: {"error":{"message":"cannot translate )" + source.toUtf8() + "\"}}\n\n"});
    } else if (word == QStringLiteral("flood")) {
        QStringList pieces(source.section(QLatin1Char(' '), 1, 1).toInt(), QString(100, QLatin1Char('x')));
        response = chatStream(pieces);
    }
    return response;
}

QByteArray translateBody(const QString& source)
{
    return QJsonDocument(
               QJsonObject{{QStringLiteral("source"), source}, {QStringLiteral("target"), QStringLiteral("fr")}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

class TestServiceFaults : public QObject
{
    Q_OBJECT

private:
    HttpsTestServer m_provider;
    QString m_mount; // a small file system of our own, when the test may mount one

    QJsonObject config(const QJsonObject& limits = {}, const QString& database = {}) const
    {
        QJsonObject result{
            {QStringLiteral("upstream"),
             QJsonObject{{QStringLiteral("url"), m_provider.url(QStringLiteral("/v1/chat/completions")).toString()},
                         {QStringLiteral("model"), QStringLiteral("test-model")}}},
            {QStringLiteral("limits"), limits}};
        if (!database.isEmpty()) {
            result.insert(QStringLiteral("database"), QString(QStringLiteral("sqlite:") + database));
        }
        return result;
    }

    std::unique_ptr<ServiceProcess> service(const QJsonObject& settings,
                                            const QList<std::array<quint64, 3>>& limits = {})
    {
        auto process = std::make_unique<ServiceProcess>(settings);
        process->sandbox().setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());
        for (const auto& [resource, soft, hard] : limits) {
            process->setLimit(static_cast<int>(resource), soft, hard);
        }
        if (!process->start()) {
            qWarning("%s", qPrintable(process->errorString()));
            return nullptr;
        }
        return process;
    }

    static HttpReply translate(const ServiceProcess& service, const QByteArray& secret, const QString& source)
    {
        return httpCall(service.port(), {"POST", "/v1/translate", clientHeaders(secret), translateBody(source)});
    }

    static QString database(const ServiceProcess& service, const QString& file = {})
    {
        return QStringLiteral("sqlite:") + (file.isEmpty() ? service.databaseFile() : file);
    }

    // Ends the service with SIGTERM and checks that it drained cleanly with the ledger balanced.
    static void drainAndCheck(ServiceProcess& service, const QString& file = {})
    {
        service.terminate();
        QCOMPARE(service.waitForExit(), 0);
        const QString problem = ledgerProblem(database(service, file), true);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    static int healthStatus(const ServiceProcess& service)
    {
        return httpCall(service.port(), {"GET", "/healthz", {}, {}}, 20'000).status;
    }

    // Fills the small file system to the last byte; the returned file frees it when removed.
    QString fill() const
    {
        const QString path = m_mount + QStringLiteral("/filler");
        QFile filler(path);
        if (filler.open(QIODevice::WriteOnly)) {
            const QByteArray block(4096, 'f');
            while (filler.write(block) == block.size() && filler.flush()) {
            }
            const QByteArray byte(1, 'f');
            while (filler.write(byte) == 1 && filler.flush()) {
            }
        }
        return path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_provider.start(), qPrintable(m_provider.errorString()));
        m_provider.setHandler(provide);
        const QString mount = QDir::tempPath() + QStringLiteral("/quilvant-faults-%1").arg(::getpid());
        if (QDir().mkpath(mount) && ::mount("tmpfs", mount.toLocal8Bit().constData(), "tmpfs", 0, "size=2m") == 0) {
            m_mount = mount;
        }
    }

    void cleanupTestCase()
    {
        m_provider.release();
        if (!m_mount.isEmpty()) {
            ::umount2(m_mount.toLocal8Bit().constData(), MNT_DETACH);
            QDir().rmdir(m_mount);
        }
    }

    // Whatever phase a request is in when the service is told to stop, it ends with its answer or
    // "service_unavailable", and its reservation is refunded at once.
    void everyOpenRequestEndsAtStop_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void everyOpenRequestEndsAtStop()
    {
        QFETCH(int, signal);
        const auto process = service(config({{QStringLiteral("shutdownSeconds"), 1}}));
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("stopped"), 1000);
        const QStringList sources = {QStringLiteral("silent one"), QStringLiteral("silent two"),
                                     QStringLiteral("streaming")};
        std::vector<std::unique_ptr<RawConnection>> clients;
        const auto reachedProvider = [&] {
            int count = 0;
            for (const RecordedRequest& request : m_provider.requests()) {
                count += sources.contains(sourceOf(request)) ? 1 : 0;
            }
            return count;
        };
        const int before = reachedProvider();
        for (const QString& source : sources) {
            clients.push_back(std::make_unique<RawConnection>());
            QVERIFY(clients.back()->connectTo(process->port()));
            QVERIFY(clients.back()->send(
                requestBytes({"POST", "/v1/translate", clientHeaders(secret), translateBody(source)})));
        }
        QVERIFY(clients.back()->readUntil("event: delta", 60'000).contains("event: delta"));
        QTRY_COMPARE_WITH_TIMEOUT(reachedProvider(), before + 3, 60'000);
        process->signal(signal);
        for (const auto& client : clients) {
            QVERIFY(client->readToClose(60'000));
            QCOMPARE(parseReply(client->received()).errorCode(), QStringLiteral("service_unavailable"));
        }
        QCOMPARE(process->token(QStringLiteral("stopped")).value(QStringLiteral("remaining")).toInteger(), 1000);
        QCOMPARE(process->waitForExit(), 0);
        QCOMPARE(process->log().count(QStringLiteral("code=service_unavailable")), 3);
        const QString problem = ledgerProblem(database(*process), true);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // A write that does not reach the disk fails its request: nothing is reported done that was not charged,
    // health says so while it lasts, and the service recovers once there is room again.
    void fullDiskFailsTheWrite()
    {
        if (m_mount.isEmpty()) {
            QSKIP("cannot mount a small file system here");
        }
        const QString file = m_mount + QStringLiteral("/full.db");
        const auto process = service(config({}, file));
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("full"), 1000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        std::vector<std::unique_ptr<RawConnection>> clients;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<RawConnection>());
            QVERIFY(clients.back()->connectTo(process->port()));
            QVERIFY(clients.back()->send(requestBytes(
                {"POST", "/v1/translate", clientHeaders(secret), translateBody(QStringLiteral("streaming"))})));
            QVERIFY(clients.back()->readUntil("event: delta", 60'000).contains("event: delta"));
        }
        const QString filler = fill();
        m_provider.release();
        // What the ledger must hold settled: the length of every source whose translation was reported done.
        qint64 charged = 5;
        for (const auto& client : clients) {
            QVERIFY(client->readToClose(60'000));
            const HttpReply reply = parseReply(client->received());
            charged += reply.done().isEmpty() ? 0 : 9;
            QVERIFY2(!reply.done().isEmpty() || reply.errorCode() == QStringLiteral("service_unavailable"),
                     reply.body.constData());
        }
        for (int i = 0; i < 5; ++i) {
            const HttpReply reply = translate(*process, secret, QStringLiteral("Hello"));
            charged += reply.done().isEmpty() ? 0 : 5;
        }
        {
            // Read while the disk is still full: nothing reported done went unsettled.
            const auto store = quilvant::service::Store::open(database(*process, file).toStdString(), 1);
            QCOMPARE(store->ledger(store->tokens().front().id).settled, std::int64_t(charged));
        }
        QCOMPARE(healthStatus(*process), 503);
        QVERIFY(QFile::remove(filler));
        QTRY_COMPARE_WITH_TIMEOUT(healthStatus(*process), 200, 30'000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        charged += 5;
        drainAndCheck(*process, file);
        const auto store = quilvant::service::Store::open(database(*process, file).toStdString(), 1);
        const auto token = store->tokens().front();
        QCOMPARE(store->ledger(token.id).settled, std::int64_t(charged));
        QFile::remove(file);
    }

    // Storage that fails under the service (a file-size limit, a WAL index cut short) is answered with
    // "service_unavailable" while it lasts; the process survives and serves again once it is over.
    void storageFaultsAreSurvived_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("file size limit") << QStringLiteral("fsize");
        QTest::newRow("WAL index truncated") << QStringLiteral("shm");
    }
    void storageFaultsAreSurvived()
    {
        QFETCH(QString, fault);
        QList<std::array<quint64, 3>> limits;
        if (fault == QStringLiteral("fsize")) {
            limits.append({RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY});
        }
        const auto process = service(config(), limits);
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("storage"), 100'000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        const auto pid = static_cast<pid_t>(process->pid());
        if (fault == QStringLiteral("fsize")) {
            const rlimit tight{1, RLIM_INFINITY};
            QCOMPARE(::prlimit(pid, RLIMIT_FSIZE, &tight, nullptr), 0);
        } else {
            QVERIFY(QFile::resize(process->databaseFile() + QStringLiteral("-shm"), 0));
        }
        for (int i = 0; i < 30; ++i) {
            const HttpReply reply = translate(*process, secret, QStringLiteral("Hello"));
            QVERIFY2(!reply.done().isEmpty() || reply.errorCode() == QStringLiteral("service_unavailable"),
                     reply.body.constData());
        }
        QVERIFY2(::kill(pid, 0) == 0, qPrintable(process->log()));
        if (fault == QStringLiteral("fsize")) {
            const rlimit open{RLIM_INFINITY, RLIM_INFINITY};
            QCOMPARE(::prlimit(pid, RLIMIT_FSIZE, &open, nullptr), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), 30'000);
        drainAndCheck(*process);
    }

    // A database moved away under the service is noticed (health, requests, the command line), and one put back
    // is served again; the command line creates no database of its own.
    void vanishedDatabaseIsNoticed()
    {
        const auto process = service(config());
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("moved"), 1000);
        const QString file = process->databaseFile();
        const QStringList parts = {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")};
        for (const QString& part : parts) {
            QVERIFY(QFile::rename(file + part, file + part + QStringLiteral(".away")));
        }
        QCOMPARE(healthStatus(*process), 503);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).errorCode(),
                 QStringLiteral("service_unavailable"));
        const RunResult listed = process->command({QStringLiteral("token"), QStringLiteral("list")});
        QVERIFY(listed.exitCode != 0);
        QVERIFY2(listed.errText().contains(file), qPrintable(listed.errText()));
        QVERIFY(!QFile::exists(file));
        for (const QString& part : parts) {
            QVERIFY(QFile::rename(file + part + QStringLiteral(".away"), file + part));
        }
        QTRY_COMPARE_WITH_TIMEOUT(healthStatus(*process), 200, 30'000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        drainAndCheck(*process);
    }

    // What the provider says about a request is logged by its status, a code and its size, never by its text
    // (it often quotes the source); a refused key shows in the health answer.
    void providerFailuresLeaveTheTextOutOfTheLog_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("upstream");
        QTest::newRow("refused") << QStringLiteral("refuse Zanzibar") << QStringLiteral("provider_unavailable")
                                 << QStringLiteral("credentials_refused");
        QTest::newRow("error in the stream")
            << QStringLiteral("broken Zanzibar") << QStringLiteral("provider_unavailable") << QStringLiteral("ok");
    }
    void providerFailuresLeaveTheTextOutOfTheLog()
    {
        QFETCH(QString, source);
        QFETCH(QString, code);
        QFETCH(QString, upstream);
        const auto process = service(config());
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("echo"), 1000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        QCOMPARE(translate(*process, secret, source).errorCode(), code);
        const QString log = process->log();
        QVERIFY2(log.contains(QStringLiteral("upstream.failed")), qPrintable(log));
        QVERIFY2(!log.contains(QStringLiteral("Zanzibar")), qPrintable(log));
        QVERIFY2(!log.contains(QStringLiteral("MiniMax")), qPrintable(log));
        const HttpReply health = httpCall(process->port(), {"GET", "/healthz", {}, {}});
        QCOMPARE(QJsonDocument::fromJson(health.body).object().value(QStringLiteral("upstream")).toString(), upstream);
        drainAndCheck(*process);
    }

    // A request that may have reached the provider is never sent again, and the client that leaves while it
    // waits is noticed at once.
    void timedOutRequestIsNotResent()
    {
        // One I/O thread, so that both translations draw on one pool of provider connections.
        QJsonObject settings = config({{QStringLiteral("upstreamIdleSeconds"), 2}});
        settings.insert(QStringLiteral("ioThreads"), 1);
        const auto process = service(settings);
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("once"), 1000);
        QCOMPARE(translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), false);
        QCOMPARE(translate(*process, secret, QStringLiteral("silent once")).errorCode(),
                 QStringLiteral("provider_unavailable"));
        int sent = 0;
        for (const RecordedRequest& request : m_provider.requests()) {
            sent += sourceOf(request) == QStringLiteral("silent once") ? 1 : 0;
        }
        QCOMPARE(sent, 1);
        drainAndCheck(*process);
    }

    // One translation costs a bounded amount: its text has a length limit (beyond it, "translation_failed" and a
    // refund), and the bytes sent to the client stay within a small multiple of the text.
    void outputIsBounded_data()
    {
        QTest::addColumn<int>("pieces");
        QTest::addColumn<QString>("code");
        QTest::newRow("within the limit") << 600 << QString();
        QTest::newRow("beyond the limit") << 900 << QStringLiteral("translation_failed");
    }
    void outputIsBounded()
    {
        QFETCH(int, pieces);
        QFETCH(QString, code);
        const auto process = service(config({{QStringLiteral("translationCharacters"), 80'000}}));
        QVERIFY(process);
        const QByteArray secret = process->createToken(QStringLiteral("flood"), 1000);
        const QString source = QStringLiteral("flood %1").arg(pieces);
        const HttpReply reply = translate(*process, secret, source);
        QCOMPARE(reply.errorCode(), code);
        const qint64 text = 100 * pieces;
        QVERIFY2(reply.body.size() < 8 * text, qPrintable(QString::number(reply.body.size())));
        const qint64 charged = code.isEmpty() ? source.size() : 0;
        QCOMPARE(process->token(QStringLiteral("flood")).value(QStringLiteral("remaining")).toInteger(),
                 1000 - charged);
        drainAndCheck(*process);
    }

    // The connection limit follows the descriptors the process may open, and health still answers when
    // every regular connection is taken.
    void connectionsFollowTheDescriptorLimit()
    {
        const auto process = service(config(), {{RLIMIT_NOFILE, 128, 256}});
        QVERIFY(process);
        std::vector<std::unique_ptr<RawConnection>> idle;
        for (int i = 0; i < 400; ++i) {
            idle.push_back(std::make_unique<RawConnection>());
            QVERIFY(idle.back()->connectTo(process->port()));
        }
        // The connections beyond the limit that send nothing are gone after a moment; health gets through.
        QTest::qWait(2000);
        QTRY_COMPARE_WITH_TIMEOUT(healthStatus(*process), 200, 90'000); // slow under the sanitizers on a busy machine
        QVERIFY2(process->log().count(QStringLiteral("accept.failed")) <= 1, qPrintable(process->log()));
        idle.clear();
        const QByteArray secret = process->createToken(QStringLiteral("after"), 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!translate(*process, secret, QStringLiteral("Hello")).done().isEmpty(), 30'000);
        drainAndCheck(*process);
    }

    // `init` asks the provider once and says plainly what it refuses; the configuration is written either way.
    void initChecksTheProvider_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("warning"); // empty: none
        const QString provider = m_provider.url(QStringLiteral("/v1/chat/completions")).toString();
        QTest::newRow("accepted") << provider << QByteArray("sk-good-key") << QString();
        QTest::newRow("key refused") << provider << QByteArray("sk-refused-key") << QStringLiteral("refuses the key");
        QTest::newRow("nothing there") << QStringLiteral("http://127.0.0.1:1/v1/chat/completions")
                                       << QByteArray("sk-good-key") << QStringLiteral("could not reach the upstream");
    }
    void initChecksTheProvider()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, key);
        QFETCH(QString, warning);
        Sandbox sandbox;
        sandbox.setEnv(QStringLiteral("SSL_CERT_FILE"), m_provider.caFile());
        // No keyring: init gets as far as saving the token, which is all this needs.
        sandbox.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
        const RunResult init = runProgram(serviceBinary(),
                                          {QStringLiteral("init"), QStringLiteral("--upstream"), url,
                                           QStringLiteral("--model"), QStringLiteral("test-model"),
                                           QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--no-unit")},
                                          sandbox, {key + "\n", 120'000});
        QVERIFY(!init.timedOut && !init.crashed);
        if (warning.isEmpty()) {
            QVERIFY2(!init.errText().contains(QStringLiteral("quilvant-service: warning")), init.err.constData());
        } else {
            QVERIFY2(init.errText().contains(warning), init.err.constData());
            QVERIFY2(init.errText().contains(QStringLiteral("run init again")), init.err.constData());
        }
        QVERIFY(QFile::exists(sandbox.configHome() + QStringLiteral("/quilvant-service/config.json")));
    }

    // Framing that cannot be read safely is answered before the connection closes; HEAD asks for health too.
    void ambiguousFramingIsAnswered_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QByteArray head = "POST /v1/translate HTTP/1.1\r\nHost: x\r\n";
        QTest::newRow("length and chunks") << head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                     "0\r\n\r\n"
                                           << 400;
        QTest::newRow("two lengths") << head + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!" << 400;
        QTest::newRow("HEAD health") << QByteArray("HEAD /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                                     << 200;
    }
    void ambiguousFramingIsAnswered()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const auto process = service(config());
        QVERIFY(process);
        RawConnection client;
        QVERIFY(client.connectTo(process->port()));
        client.send(request);
        QVERIFY(client.readToClose(60'000));
        QVERIFY2(client.received().startsWith(QByteArray("HTTP/1.1 ").append(QByteArray::number(status))),
                 client.received().constData());
        if (request.startsWith("HEAD")) {
            QVERIFY(client.received().endsWith("\r\n\r\n"));
        }
        drainAndCheck(*process);
    }
};

QTEST_GUILESS_MAIN(TestServiceFaults)
#include "tst_servicefaults.moc"
