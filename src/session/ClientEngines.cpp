#include "session/ClientEngines.h"

#include "engines/codex/CodexClient.h"
#include "engines/hosted/HostedClient.h"
#include "engines/minimax/MiniMaxClient.h"
#include "foundation/Secrets.h"

#include <QCoreApplication>
#include <QTimer>

namespace quilvant {

HostedClient& ClientEngines::hostedClient() const
{
    return m_hosted != nullptr ? *m_hosted : HostedClient::shared();
}

MiniMaxClient& ClientEngines::minimaxClient() const
{
    return m_minimax != nullptr ? *m_minimax : MiniMaxClient::shared();
}

CodexClient& ClientEngines::codexClient() const
{
    return m_codex != nullptr ? *m_codex : CodexClient::shared();
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

Cancellation ClientEngines::hosted(const QString& text, const QString& target, const QString& token, TextUpdate update,
                                   Completion<HostedResult> done)
{
    return hostedClient().translate(text, target, token, std::move(update), std::move(done));
}

Cancellation ClientEngines::minimax(const QString& text, const QString& language, const QString& endpoint,
                                    const QString& model, const QString& key, const QString& thinking,
                                    TextUpdate update, Completion<QString> done)
{
    return minimaxClient().translate(MiniMaxRequest{text, language, endpoint, model, key, thinking}, std::move(update),
                                     std::move(done));
}

Cancellation ClientEngines::codex(const QString& text, const QString& language, const QString& model, TextUpdate update,
                                  Completion<QString> done)
{
    return codexClient().translate(text, language, model, std::move(update), std::move(done));
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
