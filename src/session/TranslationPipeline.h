#pragma once

#include "core/Async.h"
#include "engines/common/TranslationEngine.h"
#include "session/TranslationEngines.h"

#include <QString>
#include <memory>

class QObject;

// One translation from its source to the text that may be shown, the same for every engine and every way in:
// the service token (moderation needs it whatever the engine), input moderation, the engine's key, the engine,
// output moderation. A moderated engine's partial text goes nowhere; the others' goes to `update`. Each step starts
// only once the one before succeeded; the first failure ends the translation.
namespace quilvant::TranslationPipeline {

struct Request
{
    QString text;
    QString target;     // the target language's code, as stored
    QString targetName; // the target language as a prompt words it
    QString requestID;  // names the translation to both moderation checks
};

// Starts on the GUI thread; `done` follows Completion's contract (cancelling ends the running step, and the
// translation with Error::cancelled()). Keyring answers are dropped once `context` is gone; `engines` is held
// weakly and must outlive the translation.
Cancellation run(std::shared_ptr<TranslationEngines> engines, std::shared_ptr<TranslationEngine> engine,
                 Request request, QObject* context, TextUpdate update, Completion<QString> done);

} // namespace quilvant::TranslationPipeline
