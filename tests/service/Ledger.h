#pragma once

#include "service/Store.h"

#include <QString>

namespace quilvant::test {

// What is wrong with the allowance ledger of `database`, or empty when it balances: every token's `used` is
// what its settled and still reserved translations add up to, and once the service has drained (`drained`)
// no reservation is left open.
inline QString ledgerProblem(const QString& database, bool drained)
{
    try {
        const auto store = service::Store::open(database.toStdString(), 1);
        for (const service::TokenRecord& token : store->tokens()) {
            const service::Ledger ledger = store->ledger(token.id);
            if (token.used != ledger.settled + ledger.reserved) {
                return QStringLiteral("token %1: used %2, settled %3 + reserved %4")
                    .arg(QString::fromStdString(token.id))
                    .arg(token.used)
                    .arg(ledger.settled)
                    .arg(ledger.reserved);
            }
            if (drained && ledger.reserved != 0) {
                return QStringLiteral("token %1: %2 characters still reserved after the drain")
                    .arg(QString::fromStdString(token.id))
                    .arg(ledger.reserved);
            }
        }
    } catch (const service::StoreError& failure) {
        return QStringLiteral("database: ") + QString::fromStdString(failure.what());
    }
    return {};
}

} // namespace quilvant::test
