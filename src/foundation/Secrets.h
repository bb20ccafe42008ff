#pragma once

#include "core/Async.h"
#include "core/Outcome.h"

#include <QObject>
#include <QString>
#include <functional>

// The keyring items of the program (Secret Service over D-Bus): the person's own chat-completions API key and
// the hosted service's access token. The keyring is their only store; nothing is ever written elsewhere.
namespace quilvant::Secrets {

// Items are found by the attributes `service` and `account` alone, so that
// `secret-tool lookup service local.kestu.translation account minimax` finds the API key.
inline const QString service = QStringLiteral("local.kestu.translation");
inline const QString minimaxAccount = QStringLiteral("minimax");
inline const QString serviceAccount = QStringLiteral("service");

// What the keyring said about one item.
struct Stored
{
    enum class State
    {
        Found,       // `value` holds the stored text
        Absent,      // no such item
        Unavailable, // no keyring answers (no Secret Service on the bus, a D-Bus failure); `detail` says why
        Locked,      // the item is there, but its keyring stayed locked
        NotUtf8,     // the item's data is not UTF-8 text
    };

    State state = State::Absent;
    QString value;
    QString detail;

    // Why no value could be read, for the person, in the interface language; "" for Found and Absent.
    QString message() const;
    // The value ("" when absent), or a failure carrying message().
    Outcome<QString> text() const;
};

// The stored value, unchanged, or what kept it from being read. Blocks on D-Bus (and, for a locked keyring, on
// the keyring's own unlock prompt): callable from any thread, but keep it off the GUI thread (readLater).
Stored read(const QString& account = minimaxAccount);

// Stores `key` unchanged (never trimmed), replacing an earlier value; "" removes the item (not an error when
// there is none). Fails with an AppFailure in the interface language: no keyring, a keyring that refuses, or a
// key with control characters (a line break in a key would end up inside a request's header). Blocks on D-Bus
// like read().
Outcome<void> save(const QString& key, const QString& account = minimaxAccount);

// read() on a worker thread; `done` gets the result on `context`'s thread, unless `context` is gone by then.
void readLater(const QString& account, QObject* context, std::function<void(const Stored&)> done);

// save() on a worker thread; `done` gets the outcome on `context`'s thread, unless `context` is gone by then.
void saveLater(const QString& key, const QString& account, QObject* context, Completion<void> done);

} // namespace quilvant::Secrets
