// The service's store, the same suite on SQLite and on PostgreSQL (the backend is chosen by
// QUILVANT_TEST_STORE, "sqlite" or "postgresql").
#include "TestDatabases.h"
#include "service/Store.h"
#include "service/Tokens.h"

#include <QTest>
#include <atomic>
#include <thread>

using namespace quilvant::service;
using namespace quilvant::test;

Q_DECLARE_METATYPE(std::vector<std::int64_t>)
Q_DECLARE_METATYPE(std::vector<Admission>)

namespace {

constexpr std::int64_t window = 60;

TokenRecord tokenNamed(const std::string& label, std::int64_t characters, std::int64_t perWindow = 0)
{
    TokenRecord token;
    token.id = Tokens::generateId();
    token.label = label;
    token.remaining = characters;
    token.perWindow = perWindow;
    token.moderationsPerWindow = perWindow;
    token.createdAt = 1000;
    return token;
}

} // namespace

class TestServiceStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Store> m_store;
    int m_databases = 0;

    bool postgres() const { return qEnvironmentVariable("QUILVANT_TEST_STORE") == QStringLiteral("postgresql"); }

    // A new store on an empty database.
    std::unique_ptr<Store> openFresh(std::size_t connections = 4)
    {
        const QString name = QStringLiteral("store%1").arg(++m_databases);
        QString database = QStringLiteral("sqlite:") + m_dir.filePath(name + QStringLiteral(".db"));
        if (postgres()) {
            QString error;
            database = freshPostgres(name, &error);
            if (database.isEmpty()) {
                qWarning("%s", qPrintable(error));
                return nullptr;
            }
        }
        return Store::open(database.toStdString(), connections);
    }

    // Adds a token and returns its digest.
    std::string add(const TokenRecord& token)
    {
        const std::string digest = Tokens::digest(token.id + "-secret");
        m_store->createToken(token, digest);
        return digest;
    }

    std::int64_t remaining(const std::string& id)
    {
        for (const TokenRecord& token : m_store->tokens()) {
            if (token.id == id) {
                return token.remaining;
            }
        }
        return -1;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void init()
    {
        m_store = openFresh();
        QVERIFY(m_store);
        QCOMPARE(m_store->isPostgreSQL(), postgres());
    }

    void schemaMigratesOnceAndReopens()
    {
        QCOMPARE(m_store->storedSchemaVersion(), Store::schemaVersion);
        const TokenRecord token = tokenNamed("kept", 5);
        add(token);
        m_store.reset();
        // The second store opens the same database: the migration finds it current and changes nothing.
        const QString name = QStringLiteral("store%1").arg(m_databases);
        QString database = QStringLiteral("sqlite:") + m_dir.filePath(name + QStringLiteral(".db"));
        if (postgres()) {
            database = QStringLiteral("postgresql:") + postgresConnection().replace(QStringLiteral("dbname=postgres"),
                                                                                    QStringLiteral("dbname=") + name);
        }
        m_store = Store::open(database.toStdString(), 2);
        QCOMPARE(m_store->storedSchemaVersion(), Store::schemaVersion);
        QCOMPARE(m_store->tokens().size(), std::size_t(1));
        QCOMPARE(m_store->tokens().front().label, std::string("kept"));
    }

    void tokenLifecycle()
    {
        const TokenRecord first = tokenNamed("team", 100, 7);
        const TokenRecord second = tokenNamed("team", 50);
        const std::string digest = add(first);
        add(second);
        const std::vector<TokenRecord> listed = m_store->tokens();
        QCOMPARE(listed.size(), std::size_t(2));
        const TokenRecord& stored = listed.front().id == first.id ? listed.front() : listed.back();
        QCOMPARE(stored.id, first.id);
        QCOMPARE(stored.perWindow, 7);
        QCOMPARE(stored.revokedAt.has_value(), false);
        QCOMPARE(m_store->resolve(first.id), std::vector<std::string>{first.id});
        QCOMPARE(m_store->resolve("team").size(), std::size_t(2));
        QVERIFY(m_store->resolve("nobody").empty());

        QCOMPARE(m_store->topUp(first.id, 25), std::optional<std::int64_t>(125));
        QCOMPARE(m_store->topUp("t000000000000", 25), std::optional<std::int64_t>());
        QVERIFY(m_store->revoke(first.id, 2000));
        QVERIFY(!m_store->revoke(first.id, 2001));
        for (const TokenRecord& token : m_store->tokens()) {
            QCOMPARE(token.revokedAt, token.id == first.id ? std::optional<std::int64_t>(2000) : std::nullopt);
        }
        QCOMPARE(m_store->admitTranslation(digest, 1, 2002, window).outcome, Admission::UnknownToken);
        QCOMPARE(m_store->admitModeration(digest, 2002, window).outcome, Admission::UnknownToken);
        QCOMPARE(m_store->admitTranslation(Tokens::digest("qvs_unknown"), 1, 2002, window).outcome,
                 Admission::UnknownToken);
    }

    void admission_data()
    {
        QTest::addColumn<qint64>("allowance");
        QTest::addColumn<qint64>("perWindow");
        QTest::addColumn<std::vector<std::int64_t>>("requests");
        QTest::addColumn<std::vector<Admission>>("outcomes");
        QTest::addColumn<qint64>("left");
        using A = Admission;
        QTest::newRow("allowance used to the last character")
            << qint64(10) << qint64(0) << std::vector<std::int64_t>{4, 6, 1}
            << std::vector<A>{A::Admitted, A::Admitted, A::Exhausted} << qint64(0);
        QTest::newRow("a refused text leaves the allowance for a smaller one")
            << qint64(5) << qint64(0) << std::vector<std::int64_t>{6, 5} << std::vector<A>{A::Exhausted, A::Admitted}
            << qint64(0);
        QTest::newRow("rate limit before the allowance")
            << qint64(100) << qint64(2) << std::vector<std::int64_t>{1, 1, 1, 1}
            << std::vector<A>{A::Admitted, A::Admitted, A::RateLimited, A::RateLimited} << qint64(98);
        QTest::newRow("refusals count towards the window")
            << qint64(1) << qint64(2) << std::vector<std::int64_t>{5, 1, 1}
            << std::vector<A>{A::Exhausted, A::Admitted, A::RateLimited} << qint64(0);
    }
    void admission()
    {
        QFETCH(qint64, allowance);
        QFETCH(qint64, perWindow);
        QFETCH(std::vector<std::int64_t>, requests);
        QFETCH(std::vector<Admission>, outcomes);
        QFETCH(qint64, left);
        const TokenRecord token = tokenNamed("t", allowance, perWindow);
        const std::string digest = add(token);
        std::int64_t expected = allowance;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const AdmitResult result = m_store->admitTranslation(digest, requests[i], 1000, window);
            QCOMPARE(result.outcome, outcomes[i]);
            QCOMPARE(result.tokenId, token.id);
            QCOMPARE(result.reservationId.empty(), result.outcome != Admission::Admitted);
            if (result.outcome == Admission::Admitted) {
                expected -= requests[i];
                QCOMPARE(result.remaining, expected);
            }
        }
        QCOMPARE(remaining(token.id), left);
    }

    void rateWindowsResetAndKindsApart()
    {
        const TokenRecord token = tokenNamed("t", 100, 1);
        const std::string digest = add(token);
        QCOMPARE(m_store->admitTranslation(digest, 1, 1000, window).outcome, Admission::Admitted);
        QCOMPARE(m_store->admitTranslation(digest, 1, 1019, window).outcome, Admission::RateLimited);
        QCOMPARE(m_store->admitModeration(digest, 1019, window).outcome, Admission::Admitted);
        QCOMPARE(m_store->admitModeration(digest, 1019, window).outcome, Admission::RateLimited);
        QCOMPARE(m_store->admitTranslation(digest, 1, 1020, window).outcome, Admission::Admitted);
        QCOMPARE(m_store->admitModeration(digest, 1020, window).outcome, Admission::Admitted);
    }

    void reservationsEndOnce()
    {
        const TokenRecord token = tokenNamed("t", 10);
        const std::string digest = add(token);
        const AdmitResult refunded = m_store->admitTranslation(digest, 5, 1000, window);
        QCOMPARE(remaining(token.id), 5);
        QVERIFY(m_store->refund(refunded.reservationId, 1001));
        QVERIFY(!m_store->refund(refunded.reservationId, 1002));
        QVERIFY(!m_store->settle(refunded.reservationId, 1002));
        QCOMPARE(remaining(token.id), 10);

        const AdmitResult settled = m_store->admitTranslation(digest, 3, 1003, window);
        QVERIFY(m_store->settle(settled.reservationId, 1004));
        QVERIFY(!m_store->settle(settled.reservationId, 1005));
        QVERIFY(!m_store->refund(settled.reservationId, 1005));
        QCOMPARE(remaining(token.id), 7);
        QCOMPARE(m_store->tokens().front().used, 3);
        const Ledger ledger = m_store->ledger(token.id);
        QCOMPARE(ledger.settled, 3);
        QCOMPARE(ledger.refunded, 5);
        QCOMPARE(ledger.reserved, 0);
        QCOMPARE(ledger.count, 2);
    }

    void expiryRefundsOrphansAndForgetsWindows()
    {
        const TokenRecord token = tokenNamed("t", 10, 1);
        const std::string digest = add(token);
        const AdmitResult orphan = m_store->admitTranslation(digest, 4, 1000, window);
        QCOMPARE(m_store->expire(1000, 0, 1100), 0); // not older than the limit yet
        QCOMPARE(m_store->expire(1001, 1020, 1100), 1);
        QCOMPARE(remaining(token.id), 10);
        QVERIFY(!m_store->settle(orphan.reservationId, 1101));
        // The window of t=1000 is gone: the same window counts from zero again.
        QCOMPARE(m_store->admitTranslation(digest, 1, 1000, window).outcome, Admission::Admitted);
    }

    // Many threads reserving from one token at once: the conditional update admits exactly what the allowance
    // covers, and never takes it below zero.
    void concurrentReservationsNeverOverdraw()
    {
        const TokenRecord token = tokenNamed("shared", 1000);
        const std::string digest = add(token);
        std::atomic<int> admitted = 0;
        std::atomic<int> exhausted = 0;
        std::atomic<int> failures = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 30; ++i) {
                    try {
                        const AdmitResult result = m_store->admitTranslation(digest, 7, 1000, window);
                        (result.outcome == Admission::Admitted ? admitted : exhausted)++;
                    } catch (const StoreError&) {
                        ++failures;
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        QCOMPARE(failures.load(), 0);
        QCOMPARE(admitted.load(), 1000 / 7);
        QCOMPARE(exhausted.load(), 240 - 1000 / 7);
        QCOMPARE(remaining(token.id), 1000 % 7);
        QCOMPARE(m_store->ledger(token.id).reserved, 1000 / 7 * 7);
    }
};

QTEST_GUILESS_MAIN(TestServiceStore)
#include "tst_servicestore.moc"
