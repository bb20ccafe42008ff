#include "engines/codex/CodexEngine.h"

#include "engines/codex/CodexClient.h"
#include "foundation/Settings.h"

namespace quilvant {

CodexEngine::CodexEngine(CodexClient* client)
    : m_client(client)
    , m_model(Settings::codexModel().trimmed())
{}

CodexClient& CodexEngine::client() const
{
    return m_client != nullptr ? *m_client : CodexClient::shared();
}

Cancellation CodexEngine::translate(const EngineRequest& request, TextUpdate update, Completion<QString> done)
{
    return client().translate(request.text, request.targetName, m_model, std::move(update), std::move(done));
}

void CodexEngine::warmUp()
{
    client().ensureStarted([](const Outcome<void>&) {});
}

} // namespace quilvant
