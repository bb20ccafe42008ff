#include "service/Store.h"

#include "service/Tokens.h"

#include <mutex>
#include <shared_mutex>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quilvant::service {

namespace {

// Where the two databases need different words. The queries themselves are the same on both.
struct Dialect
{
    const char* beginWrite;    // a transaction that takes the write lock at once
    const char* migrationLock; // serialises replicas migrating at the same moment (empty: beginWrite does)
    // Whether one statement on its own reports the failure of its commit. SQLite commits an autocommit statement
    // with RETURNING only when it is reset, and a commit that fails there, on a full disk, goes unreported;
    // PostgreSQL commits before it answers.
    bool statementCommitReported;
};

const Dialect sqliteDialect{"BEGIN IMMEDIATE", "", false};
const Dialect postgresDialect{"BEGIN", "SELECT pg_advisory_xact_lock(7306519)", true};

// Each entry takes the schema from the version before it to its own number (its index + 1).
const std::vector<std::vector<const char*>> migrations = {
    {
        "CREATE TABLE tokens (id TEXT PRIMARY KEY, digest TEXT NOT NULL UNIQUE, label TEXT NOT NULL,"
        " remaining BIGINT NOT NULL CHECK (remaining >= 0), used BIGINT NOT NULL DEFAULT 0,"
        " per_window BIGINT NOT NULL, moderations_per_window BIGINT NOT NULL, created_at BIGINT NOT NULL,"
        " revoked_at BIGINT)",
        "CREATE TABLE rate_windows (token_id TEXT NOT NULL, kind TEXT NOT NULL, window_start BIGINT NOT NULL,"
        " hits BIGINT NOT NULL, PRIMARY KEY (token_id, kind, window_start))",
        "CREATE TABLE reservations (id TEXT PRIMARY KEY, token_id TEXT NOT NULL, characters BIGINT NOT NULL,"
        " state TEXT NOT NULL, created_at BIGINT NOT NULL, finished_at BIGINT)",
        "CREATE INDEX reservations_open ON reservations (state, created_at)",
        "CREATE INDEX reservations_token ON reservations (token_id)",
    },
};

// A write transaction, rolled back unless committed. A transaction of one statement (`single`) is left out where
// the statement alone reports its commit: two round trips fewer for each settle on PostgreSQL.
class Transaction
{
public:
    enum Extent
    {
        Several,
        Single
    };

    Transaction(soci::session& sql, const Dialect& dialect, Extent extent = Several)
        : m_sql(sql)
        , m_done(extent == Single && dialect.statementCommitReported)
    {
        if (!m_done) {
            m_sql << dialect.beginWrite;
        }
    }
    ~Transaction()
    {
        if (!m_done) {
            try {
                m_sql << "ROLLBACK";
            } catch (const soci::soci_error&) { // NOLINT(bugprone-empty-catch): the connection is gone anyway
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit()
    {
        if (!m_done) {
            m_sql << "COMMIT";
            m_done = true;
        }
    }

private:
    soci::session& m_sql;
    bool m_done;
};

// The settings of one session, which a reconnected session needs again.
void configure(soci::session& sql, bool sqlite)
{
    if (sqlite) {
        sql << "PRAGMA synchronous=NORMAL"; // syncs at checkpoints, which WAL keeps safe
    } else {
        sql << "SET client_min_messages TO WARNING"; // no notices on the service's standard error
        // A database that stops answering fails the request instead of holding it (and a thread) forever.
        sql << "SET statement_timeout = 15000";
    }
}

struct Selected
{
    std::string id;
    long long perWindow = 0;
    long long moderationsPerWindow = 0;
    soci::indicator revoked = soci::i_null;
    long long revokedAt = 0;
};

} // namespace

// Which file sits at a path, and how long it is.
struct FileIdentity
{
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;

    static FileIdentity of(const std::string& path)
    {
        struct stat info = {};
        FileIdentity identity;
        if (::stat(path.c_str(), &info) == 0) {
            identity = {true, info.st_dev, info.st_ino, info.st_size};
        }
        return identity;
    }
    bool sameFile(const FileIdentity& other) const
    {
        return present && other.present && device == other.device && inode == other.inode;
    }
};

struct Store::Impl
{
    Impl(std::size_t size, const Dialect& d)
        : pool(size)
        , dialect(d)
        , connections(size)
    {}

    soci::connection_pool pool;
    const Dialect& dialect;
    std::size_t connections;
    std::string path; // of the SQLite file; empty for PostgreSQL

    // The files SQLite works on, as they were when the connections opened them (see Store::recover).
    std::shared_mutex gate; // shared by calls, exclusive while the connections are reopened
    std::mutex watchLock;
    FileIdentity database;
    FileIdentity walIndex;
    std::string fault;

    void connect(soci::session& sql)
    {
        if (path.empty()) {
            return;
        }
        sql.open(soci::sqlite3, "db=\"" + path + "\" timeout=10");
        // WAL lets readers run beside the writer.
        sql << "PRAGMA journal_mode=WAL";
    }

    void remember()
    {
        const std::lock_guard guard(watchLock);
        database = FileIdentity::of(path);
        walIndex = FileIdentity::of(path + "-shm");
        fault.clear();
    }

    // What is wrong with the files now, or empty; a fault stays until the connections are reopened.
    std::string check()
    {
        if (path.empty()) {
            return {};
        }
        const std::lock_guard guard(watchLock);
        if (!fault.empty()) {
            return fault;
        }
        const FileIdentity now = FileIdentity::of(path);
        const FileIdentity index = FileIdentity::of(path + "-shm");
        if (!now.sameFile(database)) {
            fault = "the database file " + path + (now.present ? " was replaced" : " was removed");
        } else if (walIndex.present && !index.sameFile(walIndex)) {
            fault = "the WAL index " + path + "-shm" + (index.present ? " was replaced" : " was removed");
        } else if (index.present && index.size < walIndex.size) {
            fault = "the WAL index " + path + "-shm was cut short";
        } else if (::access(path.c_str(), W_OK) != 0 ||
                   (index.present && ::access((path + "-shm").c_str(), W_OK) != 0)) {
            fault = "the database file " + path + " or its WAL index is not writable";
        } else {
            walIndex.size = std::max(walIndex.size, index.size);
            walIndex.present = walIndex.present || index.present;
            walIndex.device = index.device;
            walIndex.inode = index.inode;
        }
        return fault;
    }

    // Runs `work` on a pooled session; database errors become StoreError, and a session that failed is
    // reconnected before its next use (a restarted PostgreSQL, a dropped connection).
    template <typename Work>
    auto run(Work&& work)
    {
        const std::shared_lock shared(gate);
        if (const std::string problem = check(); !problem.empty()) {
            throw StoreError(problem);
        }
        soci::session sql(pool);
        try {
            return work(sql);
        } catch (const soci::soci_error& failure) {
            const std::string message = failure.get_error_message();
            try {
                sql.reconnect();
                configure(sql, &dialect == &sqliteDialect);
            } catch (const soci::soci_error&) { // NOLINT(bugprone-empty-catch): reported below; retried next use
            }
            throw StoreError(message);
        }
    }

    // The token of `digest` and its rate window for `kind`, counted in the same transaction.
    std::optional<std::pair<Selected, long long>> countRequest(soci::session& sql, const std::string& digest,
                                                               const std::string& kind, std::int64_t now,
                                                               std::int64_t windowSeconds)
    {
        Selected token;
        sql << "SELECT id, per_window, moderations_per_window, revoked_at FROM tokens WHERE digest = :digest",
            soci::use(digest), soci::into(token.id), soci::into(token.perWindow),
            soci::into(token.moderationsPerWindow), soci::into(token.revokedAt, token.revoked);
        if (!sql.got_data() || token.revoked == soci::i_ok) {
            return std::nullopt;
        }
        const long long windowStart = now - now % windowSeconds;
        long long hits = 0;
        sql << "INSERT INTO rate_windows (token_id, kind, window_start, hits) VALUES (:token, :kind, :start, 1)"
               " ON CONFLICT (token_id, kind, window_start) DO UPDATE SET hits = rate_windows.hits + 1"
               " RETURNING hits",
            soci::use(token.id), soci::use(kind), soci::use(windowStart), soci::into(hits);
        return std::make_pair(token, hits);
    }

    void migrate()
    {
        run([this](soci::session& sql) {
            Transaction transaction(sql, dialect);
            if (dialect.migrationLock[0] != '\0') {
                sql << dialect.migrationLock;
            }
            sql << "CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)";
            long long version = 0;
            soci::indicator present = soci::i_null;
            sql << "SELECT MAX(version) FROM schema_version", soci::into(version, present);
            if (present != soci::i_ok) {
                version = 0;
            }
            if (version > static_cast<long long>(migrations.size())) {
                throw StoreError("the database has schema version " + std::to_string(version) +
                                 ", newer than this program knows (" + std::to_string(migrations.size()) +
                                 "); run a newer quilvant-service");
            }
            for (auto step = static_cast<std::size_t>(version); step < migrations.size(); ++step) {
                for (const char* statement : migrations[step]) {
                    sql << statement;
                }
            }
            const long long target = static_cast<long long>(migrations.size());
            if (version != target) {
                sql << "DELETE FROM schema_version";
                sql << "INSERT INTO schema_version (version) VALUES (:version)", soci::use(target);
            }
            transaction.commit();
            return 0;
        });
    }
};

Store::Store(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl))
{}

Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& database, std::size_t connections, Create create)
{
    const bool sqlite = database.rfind("sqlite:", 0) == 0;
    const bool postgres = database.rfind("postgresql:", 0) == 0;
    if (!sqlite && !postgres) {
        throw StoreError("database must start with \"sqlite:\" or \"postgresql:\"");
    }
    connections = std::max<std::size_t>(connections, 1);
    auto impl = std::make_unique<Impl>(connections, sqlite ? sqliteDialect : postgresDialect);
    if (sqlite) {
        impl->path = database.substr(7);
        if (impl->path.empty() || impl->path.find('"') != std::string::npos) {
            throw StoreError("sqlite: needs the path of the database file");
        }
        if (create == Create::No && !FileIdentity::of(impl->path).present) {
            throw StoreError("there is no database at " + impl->path +
                             " (moved or deleted?); nothing was created. Run quilvant-service init to make one");
        }
    }
    try {
        for (std::size_t i = 0; i < connections; ++i) {
            soci::session& sql = impl->pool.at(i);
            if (sqlite) {
                impl->connect(sql);
            } else {
                const std::string info = database.substr(11);
                sql.open(soci::postgresql, info.rfind("//", 0) == 0 ? "postgresql:" + info : info);
            }
            configure(sql, sqlite);
        }
    } catch (const soci::soci_error& failure) {
        throw StoreError(failure.get_error_message());
    }
    impl->remember();
    std::unique_ptr<Store> store(new Store(std::move(impl)));
    store->m_impl->migrate();
    return store;
}

bool Store::isPostgreSQL() const
{
    return &m_impl->dialect == &postgresDialect;
}

int Store::storedSchemaVersion()
{
    return m_impl->run([](soci::session& sql) {
        long long version = 0;
        soci::indicator present = soci::i_null;
        sql << "SELECT MAX(version) FROM schema_version", soci::into(version, present);
        return present == soci::i_ok ? static_cast<int>(version) : 0;
    });
}

void Store::createToken(const TokenRecord& token, const std::string& digest)
{
    m_impl->run([&](soci::session& sql) {
        const long long remaining = token.remaining;
        const long long perWindow = token.perWindow;
        const long long moderations = token.moderationsPerWindow;
        const long long created = token.createdAt;
        sql << "INSERT INTO tokens (id, digest, label, remaining, used, per_window, moderations_per_window,"
               " created_at) VALUES (:id, :digest, :label, :remaining, 0, :per, :moderations, :created)",
            soci::use(token.id), soci::use(digest), soci::use(token.label), soci::use(remaining), soci::use(perWindow),
            soci::use(moderations), soci::use(created);
        return 0;
    });
}

std::vector<TokenRecord> Store::tokens()
{
    return m_impl->run([](soci::session& sql) {
        std::vector<TokenRecord> result;
        TokenRecord row;
        long long remaining = 0;
        long long used = 0;
        long long perWindow = 0;
        long long moderations = 0;
        long long created = 0;
        long long revoked = 0;
        soci::indicator revokedSet = soci::i_null;
        soci::statement statement =
            (sql.prepare << "SELECT id, label, remaining, used, per_window, moderations_per_window, created_at,"
                            " revoked_at FROM tokens ORDER BY created_at, id",
             soci::into(row.id), soci::into(row.label), soci::into(remaining), soci::into(used), soci::into(perWindow),
             soci::into(moderations), soci::into(created), soci::into(revoked, revokedSet));
        statement.execute();
        while (statement.fetch()) {
            row.remaining = remaining;
            row.used = used;
            row.perWindow = perWindow;
            row.moderationsPerWindow = moderations;
            row.createdAt = created;
            row.revokedAt = revokedSet == soci::i_ok ? std::optional<std::int64_t>(revoked) : std::nullopt;
            result.push_back(row);
        }
        return result;
    });
}

std::vector<std::string> Store::resolve(const std::string& handle)
{
    return m_impl->run([&](soci::session& sql) {
        std::vector<std::string> ids;
        std::string id;
        soci::statement statement = (sql.prepare << "SELECT id FROM tokens WHERE id = :a OR label = :b ORDER BY id",
                                     soci::use(handle), soci::use(handle), soci::into(id));
        statement.execute();
        while (statement.fetch()) {
            ids.push_back(id);
        }
        return ids;
    });
}

std::optional<std::int64_t> Store::topUp(const std::string& id, std::int64_t characters)
{
    // (Every write that returns rows runs in a transaction of its own where the statement alone would not report
    // a failed commit: see Dialect.)
    return m_impl->run([&](soci::session& sql) -> std::optional<std::int64_t> {
        Transaction transaction(sql, m_impl->dialect, Transaction::Single);
        const long long amount = characters;
        long long remaining = 0;
        sql << "UPDATE tokens SET remaining = remaining + :amount WHERE id = :id RETURNING remaining",
            soci::use(amount), soci::use(id), soci::into(remaining);
        const bool found = sql.got_data();
        transaction.commit();
        return found ? std::optional<std::int64_t>(remaining) : std::nullopt;
    });
}

bool Store::revoke(const std::string& id, std::int64_t now)
{
    return m_impl->run([&](soci::session& sql) {
        const long long at = now;
        std::string revoked;
        Transaction transaction(sql, m_impl->dialect, Transaction::Single);
        sql << "UPDATE tokens SET revoked_at = :now WHERE id = :id AND revoked_at IS NULL RETURNING id", soci::use(at),
            soci::use(id), soci::into(revoked);
        const bool changed = sql.got_data();
        transaction.commit();
        return changed;
    });
}

AdmitResult Store::admitTranslation(const std::string& digest, std::int64_t characters, std::int64_t now,
                                    std::int64_t windowSeconds)
{
    return m_impl->run([&](soci::session& sql) {
        AdmitResult result;
        Transaction transaction(sql, m_impl->dialect);
        const auto counted = m_impl->countRequest(sql, digest, "translate", now, windowSeconds);
        if (!counted) {
            return result;
        }
        const auto& [token, hits] = *counted;
        result.tokenId = token.id;
        if (token.perWindow > 0 && hits > token.perWindow) {
            transaction.commit();
            result.outcome = Admission::RateLimited;
            return result;
        }
        const long long amount = characters;
        long long remaining = 0;
        sql << "UPDATE tokens SET remaining = remaining - :amount, used = used + :charged"
               " WHERE id = :id AND revoked_at IS NULL AND remaining >= :needed RETURNING remaining",
            soci::use(amount), soci::use(amount), soci::use(token.id), soci::use(amount), soci::into(remaining);
        if (!sql.got_data()) {
            transaction.commit();
            result.outcome = Admission::Exhausted;
            return result;
        }
        result.reservationId = Tokens::generateRequestId();
        const long long created = now;
        sql << "INSERT INTO reservations (id, token_id, characters, state, created_at)"
               " VALUES (:id, :token, :characters, 'reserved', :created)",
            soci::use(result.reservationId), soci::use(token.id), soci::use(amount), soci::use(created);
        transaction.commit();
        result.outcome = Admission::Admitted;
        result.remaining = remaining;
        return result;
    });
}

AdmitResult Store::admitModeration(const std::string& digest, std::int64_t now, std::int64_t windowSeconds)
{
    return m_impl->run([&](soci::session& sql) {
        AdmitResult result;
        Transaction transaction(sql, m_impl->dialect);
        const auto counted = m_impl->countRequest(sql, digest, "moderate", now, windowSeconds);
        if (!counted) {
            return result;
        }
        transaction.commit();
        const auto& [token, hits] = *counted;
        result.tokenId = token.id;
        result.outcome = token.moderationsPerWindow > 0 && hits > token.moderationsPerWindow ? Admission::RateLimited
                                                                                             : Admission::Admitted;
        return result;
    });
}

bool Store::settle(const std::string& reservationId, std::int64_t now)
{
    return m_impl->run([&](soci::session& sql) {
        const long long at = now;
        // Without RETURNING, on both databases the statement commits before it ends and reports a failed commit:
        // no transaction around it, one statement for each translation's settle.
        soci::statement update = (sql.prepare << "UPDATE reservations SET state = 'settled', finished_at = :now"
                                                 " WHERE id = :id AND state = 'reserved'",
                                  soci::use(at), soci::use(reservationId));
        update.execute(true);
        return update.get_affected_rows() > 0;
    });
}

bool Store::refund(const std::string& reservationId, std::int64_t now)
{
    return m_impl->run([&](soci::session& sql) {
        Transaction transaction(sql, m_impl->dialect);
        const long long at = now;
        std::string token;
        long long characters = 0;
        sql << "UPDATE reservations SET state = 'refunded', finished_at = :now"
               " WHERE id = :id AND state = 'reserved' RETURNING token_id, characters",
            soci::use(at), soci::use(reservationId), soci::into(token), soci::into(characters);
        if (!sql.got_data()) {
            transaction.commit();
            return false;
        }
        sql << "UPDATE tokens SET remaining = remaining + :amount, used = used - :charged WHERE id = :id",
            soci::use(characters), soci::use(characters), soci::use(token);
        transaction.commit();
        return true;
    });
}

std::int64_t Store::expire(std::int64_t openedBefore, std::int64_t windowsBefore, std::int64_t now)
{
    std::vector<std::string> stale = m_impl->run([&](soci::session& sql) {
        std::vector<std::string> ids;
        std::string id;
        const long long before = openedBefore;
        soci::statement statement =
            (sql.prepare << "SELECT id FROM reservations WHERE state = 'reserved' AND created_at < :before",
             soci::use(before), soci::into(id));
        statement.execute();
        while (statement.fetch()) {
            ids.push_back(id);
        }
        const long long windows = windowsBefore;
        Transaction transaction(sql, m_impl->dialect, Transaction::Single);
        sql << "DELETE FROM rate_windows WHERE window_start < :before", soci::use(windows);
        transaction.commit();
        return ids;
    });
    std::int64_t refunded = 0;
    for (const std::string& id : stale) {
        refunded += refund(id, now) ? 1 : 0;
    }
    return refunded;
}

Ledger Store::ledger(const std::string& tokenId)
{
    return m_impl->run([&](soci::session& sql) {
        Ledger result;
        std::string state;
        long long characters = 0;
        long long count = 0;
        soci::statement statement =
            (sql.prepare << "SELECT state, SUM(characters), COUNT(*) FROM reservations WHERE token_id = :token"
                            " GROUP BY state",
             soci::use(tokenId), soci::into(state), soci::into(characters), soci::into(count));
        statement.execute();
        while (statement.fetch()) {
            (state == "settled"    ? result.settled
             : state == "refunded" ? result.refunded
                                   : result.reserved) = characters;
            result.count += count;
        }
        return result;
    });
}

void Store::probeWrite(std::int64_t now)
{
    m_impl->run([&](soci::session& sql) {
        // A rate window no token has, rewritten each time: a real write, in no table of its own.
        const long long at = now;
        Transaction transaction(sql, m_impl->dialect, Transaction::Single);
        sql << "INSERT INTO rate_windows (token_id, kind, window_start, hits) VALUES ('', 'health', 0, :now)"
               " ON CONFLICT (token_id, kind, window_start) DO UPDATE SET hits = excluded.hits",
            soci::use(at);
        transaction.commit();
        return 0;
    });
}

bool Store::recover()
{
    Impl& impl = *m_impl;
    if (impl.path.empty() || impl.check().empty()) {
        return true;
    }
    if (!FileIdentity::of(impl.path).present) {
        return false; // never a new, empty database in place of a lost one
    }
    const std::unique_lock exclusive(impl.gate);
    try {
        for (std::size_t i = 0; i < impl.connections; ++i) {
            soci::session& sql = impl.pool.at(i);
            if (auto* backend = static_cast<soci::sqlite3_session_backend*>(sql.get_backend());
                backend != nullptr && backend->conn_ != nullptr) {
                // Closing may not touch a WAL index cut short: no checkpoint on the way out.
                sqlite3_db_config(backend->conn_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            }
            sql.close();
        }
        for (std::size_t i = 0; i < impl.connections; ++i) {
            soci::session& sql = impl.pool.at(i);
            impl.connect(sql);
            configure(sql, true);
        }
    } catch (const soci::soci_error&) {
        return false;
    }
    impl.remember();
    return true;
}

} // namespace quilvant::service
