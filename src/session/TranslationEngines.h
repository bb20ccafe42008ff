#pragma once

#include "core/Async.h"
#include "engines/common/TranslationEngine.h"
#include "foundation/EngineKind.h"

#include <QString>
#include <functional>
#include <memory>

class QObject;

namespace quilvant {

// What a translation needs from the outside: the keyring, the hosted service's moderation and the engines,
// behind one seam so that the session can be driven against engines that misbehave on purpose. Every call starts
// on the GUI thread and finishes there, following the contract of Completion.
class TranslationEngines
{
public:
    virtual ~TranslationEngines() = default;

    // The keyring value of `account` ("" when none is stored), or why it could not be read (a locked keyring, no
    // keyring, data that is not text), delivered later on `context`'s thread.
    virtual void readSecret(const QString& account, QObject* context, std::function<void(Outcome<QString>)> done) = 0;

    virtual Cancellation moderate(const QString& text, const QString& stage, const QString& requestID,
                                  const QString& token, Completion<void> done) = 0;

    // The engine of `kind` for one translation, with its settings as they are now.
    virtual std::unique_ptr<TranslationEngine> engine(EngineKind kind) = 0;

    // Calls `done` from the event loop once no engine transfer runs any more (one still reading the end of an
    // answer already delivered included), so that a process about to exit has written what they measured.
    virtual void whenSettled(std::function<void()> done) = 0;

    // The real keyring and the process-wide engine clients.
    static std::shared_ptr<TranslationEngines> shared();
};

} // namespace quilvant
