#include "session/Model.h"

#include "core/Diagnostics.h"
#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"
#include "session/TranslationPipeline.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <mutex>

namespace quilvant {

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
    EngineKind kind = EngineKind::Hosted;
    std::shared_ptr<TranslationEngine> engine;
    TranslationPipeline::Request request;
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

    job->kind = Engines::fromSettings();
    job->engine = m_engines->engine(job->kind);
    const QString language = Settings::language();
    job->request = TranslationPipeline::Request{m_source, language, TargetLanguage::prompt(language),
                                                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()};
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
    QPointer<Model> self(this);
    job->step = TranslationPipeline::run(m_engines, job->engine, job->request, this, updateFor(job),
                                         [self, job](Outcome<QString> outcome) {
                                             job->step = Cancellation();
                                             Model* model = self.data();
                                             if (model == nullptr || !model->isCurrent(job)) {
                                                 return;
                                             }
                                             if (!outcome) {
                                                 model->fail(job, outcome.error());
                                                 return;
                                             }
                                             model->succeed(job, outcome.value());
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
    Q_EMIT translationCompleted(CompletedTranslation{QDateTime::currentDateTimeUtc(), job->request.text, translation,
                                                     job->request.target, job->kind});
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
