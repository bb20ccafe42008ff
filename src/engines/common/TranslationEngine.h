#pragma once

#include "core/Async.h"

#include <QString>

namespace quilvant {

// What one translation asks of an engine. The engine's own settings were read when the engine was made.
struct EngineRequest
{
    QString text;       // the source, untrimmed
    QString target;     // the target language's code, as the language setting stores it
    QString targetName; // the target language as a prompt words it ("Simplified Chinese")
    QString token;      // the hosted service's token ("" when none is stored)
    QString key;        // the keyring value of keyAccount(), when the engine names one
};

// One engine, made for one translation with the settings of the moment it started (so that a change made while
// it runs applies to the next one). Confined to the GUI thread; its completions follow Completion's contract.
class TranslationEngine
{
public:
    virtual ~TranslationEngine() = default;

    // Whether the hosted service moderates the source before and the translation after this engine (the hosted
    // service moderates its own text). A moderated engine's partial text is never shown: only what passed.
    virtual bool moderated() const = 0;

    // The keyring account whose value the engine needs as EngineRequest::key; empty for none. It is read after
    // input moderation, right before the engine starts.
    virtual QString keyAccount() const { return {}; }

    // `update` may be called from any thread with the whole visible text so far.
    virtual Cancellation translate(const EngineRequest& request, TextUpdate update, Completion<QString> done) = 0;

    // Gets ready for a first translation (a connection, a child process) without waiting for it; what fails is
    // left to the translation, which reports its own failure.
    virtual void warmUp() {}
};

} // namespace quilvant
