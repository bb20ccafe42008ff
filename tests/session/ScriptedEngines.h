#pragma once

#include "session/TranslationEngines.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <QTimer>
#include <memory>

namespace quilvant::test {

// Engines whose every call is held until the test ends it, so that a test can deliver updates and results in
// any order, also late ones after a cancellation (as an engine racing with a stop would).
class ScriptedEngines final : public TranslationEngines
{
public:
    struct Call
    {
        QString kind;                                 // "moderate", "hosted", "minimax", "codex"
        QStringList args;                             // the arguments as passed, in declaration order
        TextUpdate update;                            // absent for moderation
        std::function<void(Outcome<QString>)> finish; // the translation text, or "" for moderation
        std::shared_ptr<bool> cancelled = std::make_shared<bool>(false);
    };

    QHash<QString, QString> secrets;
    QHash<QString, QString> secretFailures; // the keyring's failure message for an account
    QList<Call> calls;

    void readSecret(const QString& account, QObject* context, std::function<void(Outcome<QString>)> done) override
    {
        Outcome<QString> read = secretFailures.contains(account) ? Outcome<QString>(AppFailure{secretFailures[account]})
                                                                 : Outcome<QString>(secrets.value(account));
        QTimer::singleShot(0, context, [done = std::move(done), read = std::move(read)] { done(read); });
    }

    Cancellation moderate(const QString& text, const QString& stage, const QString& requestID, const QString& token,
                          Completion<void> done) override
    {
        return add({QStringLiteral("moderate"),
                    {text, stage, requestID, token},
                    nullptr,
                    [done = std::move(done)](Outcome<QString> outcome) {
                        done(outcome ? Outcome<void>() : Outcome<void>(outcome.error()));
                    }});
    }

    Cancellation hosted(const QString& text, const QString& target, const QString& token, TextUpdate update,
                        Completion<HostedResult> done) override
    {
        return add({QStringLiteral("hosted"),
                    {text, target, token},
                    std::move(update),
                    [done = std::move(done)](Outcome<QString> outcome) {
                        done(outcome ? Outcome<HostedResult>(HostedResult{outcome.value(), 100, std::nullopt})
                                     : Outcome<HostedResult>(outcome.error()));
                    }});
    }

    Cancellation minimax(const QString& text, const QString& language, const QString& endpoint, const QString& model,
                         const QString& key, const QString& thinking, TextUpdate update,
                         Completion<QString> done) override
    {
        return add({QStringLiteral("minimax"),
                    {text, language, endpoint, model, key, thinking},
                    std::move(update),
                    std::move(done)});
    }

    Cancellation codex(const QString& text, const QString& language, const QString& model, TextUpdate update,
                       Completion<QString> done) override
    {
        return add({QStringLiteral("codex"), {text, language, model}, std::move(update), std::move(done)});
    }

    void whenSettled(std::function<void()> done) override { QTimer::singleShot(0, std::move(done)); }

    QStringList kinds() const
    {
        QStringList list;
        for (const Call& call : calls) {
            list.append(call.kind);
        }
        return list;
    }

private:
    Cancellation add(Call call)
    {
        calls.append(call);
        return Cancellation([cancelled = call.cancelled] { *cancelled = true; });
    }
};

} // namespace quilvant::test
