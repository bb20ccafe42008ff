#include "engines/hosted/HostedEngine.h"

#include "engines/hosted/HostedClient.h"

namespace quilvant {

Cancellation HostedEngine::translate(const EngineRequest& request, TextUpdate update, Completion<QString> done)
{
    HostedClient& client = m_client != nullptr ? *m_client : HostedClient::shared();
    return client.translate(request.text, request.target, request.token, std::move(update),
                            [done = std::move(done)](Outcome<HostedResult> outcome) {
                                if (!outcome) {
                                    done(outcome.error());
                                    return;
                                }
                                done(std::move(outcome).value().text);
                            });
}

} // namespace quilvant
