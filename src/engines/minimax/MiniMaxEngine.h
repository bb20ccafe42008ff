#pragma once

#include "engines/common/TranslationEngine.h"

namespace quilvant {

class MiniMaxClient;

// The chat-completions provider as an engine, with the person's own key from the keyring and the endpoint,
// model and thinking settings as they were when it was made.
class MiniMaxEngine final : public TranslationEngine
{
public:
    // Without a client, the process-wide one, made when first needed.
    explicit MiniMaxEngine(MiniMaxClient* client = nullptr);

    bool moderated() const override { return true; }
    QString keyAccount() const override;
    Cancellation translate(const EngineRequest& request, TextUpdate update, Completion<QString> done) override;
    void warmUp() override;

private:
    MiniMaxClient& client() const;

    MiniMaxClient* m_client;
    QString m_endpoint;
    QString m_model;
    QString m_thinking;
};

} // namespace quilvant
