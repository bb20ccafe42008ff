#include "session/ClientEngines.h"

#include "engines/codex/CodexEngine.h"
#include "engines/hosted/HostedClient.h"
#include "engines/hosted/HostedEngine.h"
#include "engines/minimax/MiniMaxClient.h"
#include "engines/minimax/MiniMaxEngine.h"
#include "foundation/Secrets.h"

#include <QCoreApplication>
#include <QTimer>

namespace quilvant {

HostedClient& ClientEngines::hostedClient() const
{
    return m_hosted != nullptr ? *m_hosted : HostedClient::shared();
}

void ClientEngines::readSecret(const QString& account, QObject* context, std::function<void(Outcome<QString>)> done)
{
    Secrets::readLater(account, context, [account, done = std::move(done)](const Secrets::Stored& stored) {
        // Without any keyring no service token can have been stored, and the hosted service also serves
        // requests without one: that is "no token", not a failure. The API key is always needed.
        if (account == Secrets::serviceAccount && stored.state == Secrets::Stored::State::Unavailable) {
            done(QString());
            return;
        }
        done(stored.text());
    });
}

Cancellation ClientEngines::moderate(const QString& text, const QString& stage, const QString& requestID,
                                     const QString& token, Completion<void> done)
{
    return hostedClient().moderate(text, stage, requestID, token, std::move(done));
}

std::unique_ptr<TranslationEngine> ClientEngines::engine(EngineKind kind)
{
    switch (kind) {
    case EngineKind::Hosted:
        return std::make_unique<HostedEngine>(m_hosted);
    case EngineKind::MiniMax:
        return std::make_unique<MiniMaxEngine>(m_minimax);
    case EngineKind::Codex:
        break;
    }
    return std::make_unique<CodexEngine>(m_codex);
}

void ClientEngines::whenSettled(std::function<void()> done)
{
    // Only the chat-completions engine reads on after its answer; a client never made has nothing running.
    if (MiniMaxClient* minimax = m_minimax != nullptr ? m_minimax : MiniMaxClient::sharedIfMade()) {
        minimax->whenIdle(std::move(done));
    } else {
        QTimer::singleShot(0, QCoreApplication::instance(), std::move(done));
    }
}

std::shared_ptr<TranslationEngines> TranslationEngines::shared()
{
    static const auto instance = std::make_shared<ClientEngines>();
    return instance;
}

} // namespace quilvant
