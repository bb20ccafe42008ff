#pragma once

#include "session/TranslationEngines.h"

namespace quilvant {

class CodexClient;
class HostedClient;
class MiniMaxClient;

// The real keyring and engine clients behind the session's seam. A client left out is the process-wide one.
class ClientEngines final : public TranslationEngines
{
public:
    explicit ClientEngines(HostedClient* hosted = nullptr, MiniMaxClient* minimax = nullptr,
                           CodexClient* codex = nullptr)
        : m_hosted(hosted)
        , m_minimax(minimax)
        , m_codex(codex)
    {}

    void readSecret(const QString& account, QObject* context, std::function<void(Outcome<QString>)> done) override;
    Cancellation moderate(const QString& text, const QString& stage, const QString& requestID, const QString& token,
                          Completion<void> done) override;
    Cancellation hosted(const QString& text, const QString& target, const QString& token, TextUpdate update,
                        Completion<HostedResult> done) override;
    Cancellation minimax(const QString& text, const QString& language, const QString& endpoint, const QString& model,
                         const QString& key, const QString& thinking, TextUpdate update,
                         Completion<QString> done) override;
    Cancellation codex(const QString& text, const QString& language, const QString& model, TextUpdate update,
                       Completion<QString> done) override;
    void whenSettled(std::function<void()> done) override;

private:
    HostedClient& hostedClient() const;
    MiniMaxClient& minimaxClient() const;
    CodexClient& codexClient() const;

    HostedClient* m_hosted;
    MiniMaxClient* m_minimax;
    CodexClient* m_codex;
};

} // namespace quilvant
