#pragma once

#include "engines/common/TranslationEngine.h"

namespace quilvant {

class HostedClient;

// The hosted translation service as an engine: it moderates its own text and streams what it translates.
class HostedEngine final : public TranslationEngine
{
public:
    // Without a client, the process-wide one, made when a translation first needs it.
    explicit HostedEngine(HostedClient* client = nullptr)
        : m_client(client)
    {}

    bool moderated() const override { return false; }
    Cancellation translate(const EngineRequest& request, TextUpdate update, Completion<QString> done) override;

private:
    HostedClient* m_client;
};

} // namespace quilvant
