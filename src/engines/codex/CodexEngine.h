#pragma once

#include "engines/common/TranslationEngine.h"

namespace quilvant {

class CodexClient;

// The agent CLI as an engine, with the model setting as it was when it was made.
class CodexEngine final : public TranslationEngine
{
public:
    // Without a client, the process-wide one, made when first needed.
    explicit CodexEngine(CodexClient* client = nullptr);

    bool moderated() const override { return true; }
    Cancellation translate(const EngineRequest& request, TextUpdate update, Completion<QString> done) override;
    void warmUp() override;

private:
    CodexClient& client() const;

    CodexClient* m_client;
    QString m_model;
};

} // namespace quilvant
