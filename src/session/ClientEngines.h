#pragma once

#include "session/TranslationEngines.h"

namespace quilvant {

class CodexClient;
class HostedClient;
class MiniMaxClient;

// The real keyring and engine clients behind the session's seam, and the one place that knows which engine
// stands for which kind. A client left out is the process-wide one.
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
    std::unique_ptr<TranslationEngine> engine(EngineKind kind) override;
    void whenSettled(std::function<void()> done) override;

private:
    HostedClient& hostedClient() const;

    HostedClient* m_hosted;
    MiniMaxClient* m_minimax;
    CodexClient* m_codex;
};

} // namespace quilvant
