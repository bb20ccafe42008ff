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

// The stored value, unchanged, or "" when there is no item, the keyring does not answer, or the data is not
// UTF-8. Never fails. Blocks on D-Bus: callable from any thread, but keep it off the GUI thread (readLater).
QString read(const QString& account = minimaxAccount);

// Stores `key` unchanged (never trimmed), replacing an earlier value; "" removes the item (not an error when
// there is none). Fails with an AppFailure in the interface language. Blocks on D-Bus like read().
Outcome<void> save(const QString& key, const QString& account = minimaxAccount);

// read() on a worker thread; `done` gets the value on `context`'s thread, unless `context` is gone by then.
void readLater(const QString& account, QObject* context, std::function<void(const QString&)> done);

// save() on a worker thread; `done` gets the outcome on `context`'s thread, unless `context` is gone by then.
void saveLater(const QString& key, const QString& account, QObject* context, Completion<void> done);

} // namespace quilvant::Secrets
