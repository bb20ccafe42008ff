#include "session/Model.h"

#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <mutex>

namespace quilvant {

namespace {

const QString hostedEngine = QStringLiteral("Sorn");
const QString minimaxEngine = QStringLiteral("MiniMax");
const QString codexEngine = QStringLiteral("Codex");

} // namespace

// Stores `value` and notifies observers, only when it differs from what is stored.
template <typename T>
void Model::assign(T& field, const T& value, void (Model::*changed)())
{
    if (field != value) {
        field = value;
        Q_EMIT(this->*changed)();
    }
}

// One translation: what translate() read when it started (every setting it uses, so that a change made while it
// runs applies to the next one), and the step that is running now.
struct Model::Job
{
    QUuid generation;
    QString text;
    QString engine;
    QString language;
    QString languageName;
    QString endpoint;
    QString minimaxModel;
    QString minimaxThinking;
    QString codexModel;
    QString requestID;
    QString token;
    Cancellation step;
};

Model::Model(std::shared_ptr<TranslationEngines> engines, QObject* parent)
    : QObject(parent)
    , m_engines(std::move(engines))
    , m_status(QStringLiteral("准备就绪"))
    , m_scheduler(timerScheduler(this))
{}

Model::~Model()
{
    m_generation = QUuid::createUuid();
    if (m_task) {
        std::shared_ptr<Job> job = std::move(m_task);
        m_task.reset();
        job->step.cancel();
        job->step = Cancellation();
    }
    m_copyToastTask.cancel();
}

void Model::setSource(const QString& value)
{
    assign(m_source, value, &Model::sourceChanged);
}

void Model::setTranslated(const QString& value)
{
    assign(m_translated, value, &Model::translatedChanged);
}

QString Model::status() const
{
    return L::t(m_status);
}

void Model::setStatus(const QString& value)
{
    assign(m_status, value, &Model::statusChanged);
}

void Model::setError(const std::optional<QString>& value)
{
    assign(m_error, value, &Model::errorChanged);
}

void Model::setBusy(bool value)
{
    assign(m_busy, value, &Model::busyChanged);
}

void Model::setPinned(bool value)
{
    assign(m_pinned, value, &Model::pinnedChanged);
}

void Model::setCopied(const QString& value)
{
    assign(m_copied, value, &Model::copiedChanged);
}

void Model::setSourceExpanded(bool value)
{
    assign(m_sourceExpanded, value, &Model::sourceExpandedChanged);
}

void Model::setCaptureInProgress(bool value)
{
    assign(m_captureInProgress, value, &Model::captureInProgressChanged);
}

void Model::translate()
{
    if (m_source.trimmed().isEmpty()) {
        return;
    }
    if (!TranslationConsent::ensure(m_consentPrompt)) {
        return;
    }
    stop();
    Diagnostics::record(QStringLiteral("translation.started"));

    auto job = std::make_shared<Job>();
    job->generation = m_generation;
    setBusy(true);
    setError(std::nullopt);
    setTranslated(QString());
    setStatus(QStringLiteral("正在翻译…"));

    job->text = m_source;
    job->engine = Settings::engine();
    job->language = Settings::language();
    job->languageName = TargetLanguage::prompt(job->language);
    job->endpoint = Settings::endpoint();
    job->minimaxModel = Settings::minimaxModel();
    job->minimaxThinking = Settings::minimaxThinking();
    job->codexModel = Settings::codexModel().trimmed();
    job->requestID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_task = job;

    QMetaObject::invokeMethod(
        this,
        [this, job] {
            if (isCurrent(job)) {
                run(job);
            }
        },
        Qt::QueuedConnection);
}

void Model::stop()
{
    m_generation = QUuid::createUuid();
    if (m_task) {
        std::shared_ptr<Job> job = std::move(m_task);
        m_task.reset();
        job->step.cancel();
        job->step = Cancellation();
    }
    setBusy(false);
}

void Model::sourceEdited(const QString& text)
{
    setSource(text);
    if (m_busy) {
        stop();
        setStatus(QStringLiteral("原文已修改"));
    }
    if (text.trimmed().isEmpty()) {
        stop();
        setTranslated(QString());
        setError(std::nullopt);
        setStatus(QStringLiteral("粘贴文字即可翻译"));
    }
}

void Model::copy(const QString& text, const QString& label)
{
    if (text.isEmpty()) {
        return;
    }
    // Best effort: a process without a GUI application has no clipboard to write to.
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        QGuiApplication::clipboard()->setText(text);
    }
    m_copyToastTask.cancel();
    setCopied(label);
    QPointer<Model> self(this);
    m_copyToastTask = m_scheduler(copyToastDuration, [self] {
        if (self) {
            self->setCopied(QString());
        }
    });
}

// The generation is the one test of staleness: stop() and every new translation replace it.
bool Model::isCurrent(const std::shared_ptr<Job>& job) const
{
    return job && job->generation == m_generation;
}

void Model::run(const std::shared_ptr<Job>& job)
{
    // A stored value no version of the program wrote (a typo in the file) names no engine: say so, rather than
    // sending the text to one the person did not choose.
    if (job->engine != hostedEngine && job->engine != minimaxEngine && job->engine != codexEngine) {
        fail(job,
             AppFailure{L::t(QStringLiteral("设置中的翻译服务“%1”无法识别，请在设置中重新选择。")).arg(job->engine)});
        return;
    }
    QPointer<Model> self(this);
    // The token is read for every translation: moderation needs it for the other engines too.
    m_engines->readSecret(Secrets::serviceAccount, this, [self, job](Outcome<QString> token) {
        if (!self || !self->isCurrent(job)) {
            return;
        }
        if (!token) {
            self->fail(job, token.error());
            return;
        }
        job->token = token.value();
        if (job->engine == hostedEngine) {
            self->callEngine(job);
            return;
        }
        self->moderate(job, job->text, QStringLiteral("input"), [self, job] {
            if (self) {
                self->callEngine(job);
            }
        });
    });
}

// A step's completion: drops the step's handle (and what it holds), ignores a result of a stopped or superseded
// translation, shows a failure, and passes a value on to `next`.
template <typename T, typename Next>
Completion<T> Model::stepDone(const std::shared_ptr<Job>& job, Next next)
{
    QPointer<Model> self(this);
    return [self, job, next = std::move(next)](Outcome<T> outcome) {
        job->step = Cancellation();
        Model* model = self.data();
        if (model == nullptr || !model->isCurrent(job)) {
            return;
        }
        if (!outcome) {
            model->fail(job, outcome.error());
            return;
        }
        next(model, outcome);
    };
}

void Model::moderate(const std::shared_ptr<Job>& job, const QString& text, const QString& stage,
                     std::function<void()> next)
{
    job->step =
        m_engines->moderate(text, stage, job->requestID, job->token,
                            stepDone<void>(job, [next = std::move(next)](Model*, const Outcome<void>&) { next(); }));
}

void Model::callEngine(const std::shared_ptr<Job>& job)
{
    QPointer<Model> self(this);
    const Completion<QString> finished = stepDone<QString>(
        job, [job](Model* model, const Outcome<QString>& outcome) { model->engineFinished(job, outcome.value()); });

    if (job->engine == hostedEngine) {
        job->step = m_engines->hosted(job->text, job->language, job->token, updateFor(job),
                                      [finished](Outcome<HostedResult> outcome) {
                                          if (!outcome) {
                                              finished(outcome.error());
                                              return;
                                          }
                                          finished(outcome.value().text);
                                      });
        return;
    }
    if (job->engine == minimaxEngine) {
        // The key is read at each translation, off the GUI thread (the keyring answers over D-Bus).
        m_engines->readSecret(Secrets::minimaxAccount, this, [self, job, finished](Outcome<QString> key) {
            Model* model = self.data();
            if (model == nullptr || !model->isCurrent(job)) {
                return;
            }
            if (!key) {
                model->fail(job, key.error());
                return;
            }
            job->step = model->m_engines->minimax(job->text, job->languageName, job->endpoint, job->minimaxModel,
                                                  key.value(), job->minimaxThinking, model->updateFor(job), finished);
        });
        return;
    }
    job->step = m_engines->codex(job->text, job->languageName, job->codexModel, updateFor(job), finished);
}

void Model::engineFinished(const std::shared_ptr<Job>& job, const QString& translation)
{
    if (job->engine == hostedEngine) {
        succeed(job, translation);
        return;
    }
    QPointer<Model> self(this);
    moderate(job, translation, QStringLiteral("output"), [self, job, translation] {
        if (self) {
            self->succeed(job, translation);
        }
    });
}

void Model::succeed(const std::shared_ptr<Job>& job, const QString& translation)
{
    if (!isCurrent(job)) {
        return;
    }
    m_task.reset();
    Diagnostics::record(QStringLiteral("translation.completed"));
    setTranslated(translation);
    setBusy(false);
    setStatus(QStringLiteral("翻译完成"));
}

void Model::fail(const std::shared_ptr<Job>& job, const Error& error)
{
    if (!isCurrent(job)) {
        return;
    }
    m_task.reset();
    if (error.isCancelled()) {
        // Cancelled from elsewhere (an engine reset) while still current: end quietly, as a stop would.
        setBusy(false);
        setStatus(QStringLiteral("已停止"));
        return;
    }
    Diagnostics::record(QStringLiteral("translation.failed"));
    setError(L::t(error.description()));
    setBusy(false);
    setStatus(QStringLiteral("翻译未完成"));
}

TextUpdate Model::updateFor(const std::shared_ptr<Job>& current)
{
    // The other engines' text is shown only after it has passed output moderation: their updates go nowhere.
    if (current->engine != hostedEngine) {
        return [](const QString&) {};
    }
    // Engines may call this from any thread and faster than the GUI draws: the latest text waits in one slot, and
    // one hop to the GUI thread at a time takes it there, however many updates came in between.
    struct Slot
    {
        std::mutex lock;
        QString latest;
        bool queued = false;
    };
    auto slot = std::make_shared<Slot>();
    QPointer<Model> self(this);
    // Held weakly: the engine keeps this callback as long as it runs, and the job holds the engine's handle.
    std::weak_ptr<Job> weakJob = current;
    return [self, weakJob, slot](const QString& text) {
        {
            std::lock_guard guard(slot->lock);
            slot->latest = text;
            if (std::exchange(slot->queued, true)) {
                return;
            }
        }
        QCoreApplication* application = QCoreApplication::instance();
        if (application == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            application,
            [self, weakJob, slot] {
                QString latest;
                {
                    std::lock_guard guard(slot->lock);
                    latest = std::exchange(slot->latest, QString());
                    slot->queued = false;
                }
                const std::shared_ptr<Job> job = weakJob.lock();
                Model* model = self.data();
                if (model == nullptr || !model->isCurrent(job) || !model->m_busy) {
                    return;
                }
                model->setTranslated(latest);
                model->setStatus(QStringLiteral("正在生成译文…"));
            },
            Qt::QueuedConnection);
    };
}

} // namespace quilvant
