#include "engines/minimax/MiniMaxEngine.h"

#include "engines/minimax/MiniMaxClient.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"

namespace quilvant {

MiniMaxEngine::MiniMaxEngine(MiniMaxClient* client)
    : m_client(client)
    , m_endpoint(Settings::endpoint())
    , m_model(Settings::minimaxModel())
    , m_thinking(Settings::minimaxThinking())
{}

MiniMaxClient& MiniMaxEngine::client() const
{
    return m_client != nullptr ? *m_client : MiniMaxClient::shared();
}

QString MiniMaxEngine::keyAccount() const
{
    return Secrets::minimaxAccount;
}

Cancellation MiniMaxEngine::translate(const EngineRequest& request, TextUpdate update, Completion<QString> done)
{
    return client().translate(
        MiniMaxRequest{request.text, request.targetName, m_endpoint, m_model, request.key, m_thinking},
        std::move(update), std::move(done));
}

void MiniMaxEngine::warmUp()
{
    client().warmup(m_endpoint);
}

} // namespace quilvant
