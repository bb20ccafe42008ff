#pragma once

#include "foundation/Secrets.h"
#include "foundation/Settings.h"
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

    // Each kind records the arguments its client would be called with, the settings read when it is made.
    std::unique_ptr<TranslationEngine> engine(EngineKind kind) override
    {
        switch (kind) {
        case EngineKind::Hosted:
            return std::make_unique<Engine>(this, QStringLiteral("hosted"), false, QString(),
                                            [](const EngineRequest& r) {
                                                return QStringList{r.text, r.target, r.token};
                                            });
        case EngineKind::MiniMax:
            return std::make_unique<Engine>(this, QStringLiteral("minimax"), true, Secrets::minimaxAccount,
                                            [endpoint = Settings::endpoint(), model = Settings::minimaxModel(),
                                             thinking = Settings::minimaxThinking()](const EngineRequest& r) {
                                                return QStringList{r.text, r.targetName, endpoint,
                                                                   model,  r.key,        thinking};
                                            });
        case EngineKind::Codex:
            break;
        }
        return std::make_unique<Engine>(this, QStringLiteral("codex"), true, QString(),
                                        [model = Settings::codexModel().trimmed()](const EngineRequest& r) {
                                            return QStringList{r.text, r.targetName, model};
                                        });
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
    class Engine final : public TranslationEngine
    {
    public:
        Engine(ScriptedEngines* owner, QString kind, bool moderated, QString keyAccount,
               std::function<QStringList(const EngineRequest&)> args)
            : m_owner(owner)
            , m_kind(std::move(kind))
            , m_moderated(moderated)
            , m_keyAccount(std::move(keyAccount))
            , m_args(std::move(args))
        {}
        bool moderated() const override { return m_moderated; }
        QString keyAccount() const override { return m_keyAccount; }
        Cancellation translate(const EngineRequest& request, TextUpdate update, Completion<QString> done) override
        {
            return m_owner->add({m_kind, m_args(request), std::move(update), std::move(done)});
        }

    private:
        ScriptedEngines* m_owner;
        QString m_kind;
        bool m_moderated;
        QString m_keyAccount;
        std::function<QStringList(const EngineRequest&)> m_args;
    };

    Cancellation add(Call call)
    {
        calls.append(call);
        return Cancellation([cancelled = call.cancelled] { *cancelled = true; });
    }
};

} // namespace quilvant::test
