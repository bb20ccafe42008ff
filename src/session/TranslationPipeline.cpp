#include "session/TranslationPipeline.h"

#include "foundation/Secrets.h"

#include <QObject>
#include <QPointer>

namespace quilvant::TranslationPipeline {

namespace {

struct Run
{
    // Held weakly: whoever holds the engines may hold this run's callbacks too (a double that keeps its calls).
    std::weak_ptr<TranslationEngines> engines;
    std::shared_ptr<TranslationEngine> engine;
    Request request;
    QPointer<QObject> context;
    TextUpdate update;
    std::shared_ptr<Once<QString>> end;
    QString token;
    Cancellation step;

    bool ended() const { return end->decided(); }
};
using RunPtr = std::shared_ptr<Run>;

// A step's completion: drops the step's handle (and what it holds), ignores what comes after the end, ends the
// translation on a failure and passes a value on to `next`.
template <typename T, typename Next>
Completion<T> stepDone(const RunPtr& run, Next next)
{
    return [run, next = std::move(next)](Outcome<T> outcome) {
        run->step = Cancellation();
        if (run->ended()) {
            return;
        }
        if (!outcome) {
            run->end->finish(outcome.error());
            return;
        }
        next(std::move(outcome));
    };
}

// The engines, or nothing (and the translation ends as cancelled) once they are gone.
std::shared_ptr<TranslationEngines> enginesOf(const RunPtr& run)
{
    std::shared_ptr<TranslationEngines> engines = run->engines.lock();
    if (!engines) {
        run->end->finish(Error::cancelled());
    }
    return engines;
}

void readSecret(const RunPtr& run, const QString& account, std::function<void(const QString&)> next)
{
    if (const auto engines = enginesOf(run)) {
        engines->readSecret(
            account, run->context.data(),
            stepDone<QString>(run, [next = std::move(next)](Outcome<QString> secret) { next(secret.value()); }));
    }
}

void moderate(const RunPtr& run, const QString& text, const QString& stage, std::function<void()> next)
{
    if (const auto engines = enginesOf(run)) {
        run->step = engines->moderate(text, stage, run->request.requestID, run->token,
                                      stepDone<void>(run, [next = std::move(next)](Outcome<void>) { next(); }));
    }
}

void translate(const RunPtr& run, const QString& key)
{
    EngineRequest request{run->request.text, run->request.target, run->request.targetName, run->token, key};
    TextUpdate update = run->engine->moderated() || !run->update ? TextUpdate([](const QString&) {}) : run->update;
    run->step = run->engine->translate(request, std::move(update), stepDone<QString>(run, [run](Outcome<QString> got) {
                                           const QString translation = std::move(got).value();
                                           if (!run->engine->moderated()) {
                                               run->end->finish(translation);
                                               return;
                                           }
                                           moderate(run, translation, QStringLiteral("output"),
                                                    [run, translation] { run->end->finish(translation); });
                                       }));
}

void startEngine(const RunPtr& run)
{
    const QString account = run->engine->keyAccount();
    if (account.isEmpty()) {
        translate(run, QString());
        return;
    }
    // The key is read at each translation, off the GUI thread (the keyring answers over D-Bus).
    readSecret(run, account, [run](const QString& key) { translate(run, key); });
}

} // namespace

Cancellation run(std::shared_ptr<TranslationEngines> engines, std::shared_ptr<TranslationEngine> engine,
                 Request request, QObject* context, TextUpdate update, Completion<QString> done)
{
    auto state =
        std::make_shared<Run>(Run{engines, std::move(engine), std::move(request), context, std::move(update),
                                  std::make_shared<Once<QString>>(std::move(done)), QString(), Cancellation()});
    // The token is read for every translation: moderation needs it for the other engines too.
    readSecret(state, Secrets::serviceAccount, [state](const QString& token) {
        state->token = token;
        if (!state->engine->moderated()) {
            startEngine(state);
            return;
        }
        moderate(state, state->request.text, QStringLiteral("input"), [state] { startEngine(state); });
    });
    return Cancellation([weak = std::weak_ptr<Run>(state)] {
        if (const RunPtr running = weak.lock()) {
            Cancellation step = std::exchange(running->step, Cancellation());
            step.cancel();
            Once<QString>::cancel(running->end);
        }
    });
}

} // namespace quilvant::TranslationPipeline
