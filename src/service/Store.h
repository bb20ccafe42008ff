#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Everything the service keeps: access tokens with their allowance, request counts per rate window, and one
// reservation per translation. One interface over SQLite (the embedded default, one file in WAL mode) and
// PostgreSQL (shared by replicas), with the same queries on both. Every call blocks on the database: call it
// from the database threads only. Times are seconds since the epoch, passed in by the caller.
namespace quilvant::service {

// A database failure (unreachable, broken schema, constraint); the service answers "service_unavailable".
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct TokenRecord
{
    std::string id;
    std::string label;
    std::int64_t remaining = 0;            // characters left
    std::int64_t used = 0;                 // characters charged so far
    std::int64_t perWindow = 0;            // translations per rate window; 0: no limit
    std::int64_t moderationsPerWindow = 0; // moderation checks per rate window; 0: no limit
    std::int64_t createdAt = 0;
    std::optional<std::int64_t> revokedAt;
};

enum class Admission
{
    Admitted,
    UnknownToken, // no such token, or revoked
    RateLimited,
    Exhausted, // the allowance does not cover the text
};

struct AdmitResult
{
    Admission outcome = Admission::UnknownToken;
    std::string tokenId;        // set unless the token is unknown
    std::int64_t remaining = 0; // after the reservation, when admitted
    std::string reservationId;  // translations only
};

// What one token's reservations add up to, by state.
struct Ledger
{
    std::int64_t reserved = 0;
    std::int64_t settled = 0;
    std::int64_t refunded = 0;
    std::int64_t count = 0;
};

class Store
{
public:
    // Whether open() may make a database that is not there yet (an SQLite file that does not exist).
    enum class Create
    {
        No,
        Yes,
    };
    // Opens "sqlite:PATH" or "postgresql:CONNINFO" (a libpq key=value string or a postgresql:// URI) with
    // `connections` pooled sessions, and migrates the schema forward. Throws StoreError.
    static std::unique_ptr<Store> open(const std::string& database, std::size_t connections,
                                       Create create = Create::Yes);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The schema version this program writes; a database with a newer one is refused.
    static constexpr int schemaVersion = 1;
    int storedSchemaVersion();
    bool isPostgreSQL() const;

    void createToken(const TokenRecord& token, const std::string& digest);
    std::vector<TokenRecord> tokens();
    // The ids of the tokens whose id or label is exactly `handle`.
    std::vector<std::string> resolve(const std::string& handle);
    // Adds `characters` to the allowance; the new remaining allowance, or nothing for an unknown token.
    std::optional<std::int64_t> topUp(const std::string& id, std::int64_t characters);
    // Revokes the token; false when it is unknown or already revoked.
    bool revoke(const std::string& id, std::int64_t now);

    // Checks the token and its rate window, then reserves `characters` of its allowance in one conditional
    // update that never takes it below zero. Every check counts towards the window, refused or not.
    AdmitResult admitTranslation(const std::string& digest, std::int64_t characters, std::int64_t now,
                                 std::int64_t windowSeconds);
    // Checks the token and its moderation rate window.
    AdmitResult admitModeration(const std::string& digest, std::int64_t now, std::int64_t windowSeconds);
    // Ends a reservation: settled keeps the charge, refunded gives it back. Only a reservation still open
    // changes, so a second call does nothing; true when this call ended it.
    bool settle(const std::string& reservationId, std::int64_t now);
    bool refund(const std::string& reservationId, std::int64_t now);

    // Refunds reservations opened before `openedBefore` and never ended (their process died), and forgets
    // rate windows that ended before `windowsBefore`. Returns the number of reservations refunded.
    std::int64_t expire(std::int64_t openedBefore, std::int64_t windowsBefore, std::int64_t now);

    Ledger ledger(const std::string& tokenId);

    // A small write of its own, so that health can tell whether the database takes writes. Throws StoreError.
    void probeWrite(std::int64_t now);

    // SQLite's files are watched under the store: the database file removed or replaced (another inode at its
    // path), its WAL index removed, replaced, cut short or not writable. From then on every call fails with
    // StoreError and leaves SQLite alone (a WAL index cut short under its mapping would end the process), until
    // recover() finds the files sound again and reopens the connections. True when the store is sound.
    bool recover();

private:
    struct Impl;
    explicit Store(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace quilvant::service
