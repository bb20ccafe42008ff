#include "capture/CaptureFlow.h"

#include "core/Diagnostics.h"
#include "core/PrivateTempDir.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/Platform.h"
#include "recognition/Translation.h"
#include "session/CardHost.h"
#include "session/Model.h"

#include <QCursor>
#include <QFile>
#include <QPointer>

namespace quilvant {

// One capture: its ticket, its file, and the step now running.
struct CaptureFlow::Run
{
    QUuid ticket;
    QString path;
    std::unique_ptr<CaptureTool> tool;
    Cancellation step;
    bool ended = false;
};

CaptureFlow::Services CaptureFlow::Services::system()
{
    return {
        .tool = [] { return Platform::captureTool(Settings::string(Settings::Key::captureTool)); },
        .permitted = [](const CaptureTool& tool) { return Platform::screenAccess(tool).granted(); },
        .requestAccess = [](const CaptureTool& tool) { Platform::screenAccess(tool).request(); },
        .recognize = [](const QString& path,
                        Completion<QString> done) { return Translation::recognize(path, std::move(done)); },
        .pointer = [] { return QCursor::pos(); },
    };
}

CaptureFlow::CaptureFlow(Model& model, CardHost& card, Services services, QObject* parent)
    : QObject(parent)
    , m_model(model)
    , m_card(card)
    , m_services(std::move(services))
{}

CaptureFlow::~CaptureFlow()
{
    if (const std::shared_ptr<Run> run = std::move(m_run)) {
        run->step.cancel();
        run->tool.reset(); // ends the tool's program and waits for its thread
        if (!run->path.isEmpty()) {
            QFile::remove(run->path);
        }
        Diagnostics::record(QStringLiteral("capture.finished"));
    }
}

Outcome<QString> CaptureFlow::temporaryPath()
{
    const Outcome<QString> dir = PrivateTempDir::path();
    if (!dir) {
        return dir.error();
    }
    return QString(dir.value() + QStringLiteral("/kestu-") +
                   QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".png"));
}

void CaptureFlow::capture()
{
    if (m_model.captureInProgress()) {
        return;
    }
    m_model.stop();
    auto run = std::make_shared<Run>();
    run->ticket = m_model.generation();
    m_run = run;
    Diagnostics::record(QStringLiteral("capture.started"));
    m_model.setCaptureInProgress(true);
    m_card.prepareCardForCapture();
    QPointer<CaptureFlow> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, run] {
            if (self && self->m_run == run) {
                self->start(run);
            }
        },
        Qt::QueuedConnection);
}

bool CaptureFlow::isCurrent(const std::shared_ptr<Run>& run) const
{
    return m_model.generation() == run->ticket;
}

void CaptureFlow::start(const std::shared_ptr<Run>& run)
{
    run->tool = m_services.tool();
    if (!m_services.permitted(*run->tool)) {
        Diagnostics::record(QStringLiteral("capture.permission-required"));
        m_services.requestAccess(*run->tool);
        m_model.setError(
            L::t(QStringLiteral("请在系统设置 → 隐私与安全性 → 屏幕与系统音频录制中允许「Sorn」，然后重新打开应用。")));
        m_model.setStatus(QStringLiteral("需要屏幕录制权限"));
        m_card.showCard(std::nullopt);
        end(run);
        return;
    }
    const Outcome<QString> path = temporaryPath();
    if (!path) {
        failed(run, path.error());
        end(run);
        return;
    }
    run->path = path.value();
    QPointer<CaptureFlow> self(this);
    run->step = run->tool->capture(run->path, [self, run](Outcome<int> outcome) {
        if (self && self->m_run == run) {
            self->toolEnded(run, std::move(outcome));
        }
    });
}

void CaptureFlow::toolEnded(const std::shared_ptr<Run>& run, Outcome<int> outcome)
{
    run->step = Cancellation();
    if (!outcome) {
        if (!outcome.error().isCancelled()) {
            failed(run, outcome.error());
        }
        end(run);
        return;
    }
    const int status = outcome.value();
    const bool file = QFile::exists(run->path);
    Diagnostics::record(QStringLiteral("capture.returned status=%1 file=%2")
                            .arg(status)
                            .arg(file ? QStringLiteral("true") : QStringLiteral("false")));
    if (!file || !isCurrent(run)) {
        // Nothing of a capture that something else superseded reaches the model.
        if (!file && isCurrent(run)) {
            m_model.setStatus(QStringLiteral("已取消框选，或系统未生成截图"));
            if (status >= 2) {
                // Fixed text, the same in both interface languages.
                m_model.setError(QStringLiteral("系统截图未完成（状态 %1），请检查屏幕录制权限后重试。").arg(status));
                m_card.showCard(std::nullopt);
            }
        }
        end(run);
        return;
    }

    const QPoint pointer = m_services.pointer();
    m_model.setSource(QString());
    m_model.setTranslated(QString());
    m_model.setError(std::nullopt);
    m_model.setBusy(true);
    m_model.setStatus(QStringLiteral("正在识别…"));
    m_card.showCard(pointer);
    Diagnostics::record(QStringLiteral("ocr.started"));
    QPointer<CaptureFlow> self(this);
    run->step = m_services.recognize(run->path, [self, run](Outcome<QString> text) {
        if (self && self->m_run == run) {
            self->recognised(run, std::move(text));
        }
    });
}

void CaptureFlow::recognised(const std::shared_ptr<Run>& run, Outcome<QString> outcome)
{
    run->step = Cancellation();
    if (!outcome) {
        if (!outcome.error().isCancelled()) {
            failed(run, outcome.error());
        }
        end(run);
        return;
    }
    Diagnostics::record(QStringLiteral("ocr.completed"));
    if (isCurrent(run)) {
        m_model.setSource(outcome.value());
        m_model.translate();
        if (isCurrent(run)) {
            // No translation started (the person declined the consent): the recognising state must not stay.
            m_model.setBusy(false);
            m_model.setStatus(QStringLiteral("准备就绪"));
        }
    }
    end(run);
}

void CaptureFlow::failed(const std::shared_ptr<Run>& run, const Error& error)
{
    if (!isCurrent(run)) {
        return;
    }
    Diagnostics::record(QStringLiteral("capture.failed"));
    m_model.setBusy(false);
    m_model.setError(L::t(error.description()));
    m_model.setStatus(QStringLiteral("识别未完成"));
    m_card.showCard(std::nullopt);
}

void CaptureFlow::end(const std::shared_ptr<Run>& run)
{
    if (run->ended) {
        return;
    }
    run->ended = true;
    if (!run->path.isEmpty()) {
        QFile::remove(run->path);
    }
    if (m_run == run) {
        m_run.reset();
    }
    m_model.setCaptureInProgress(false);
    Diagnostics::record(QStringLiteral("capture.finished"));
    // The tool may be the one reporting: let it return before it goes.
    if (run->tool) {
        QObject* context = this;
        QMetaObject::invokeMethod(
            context, [tool = std::shared_ptr<CaptureTool>(std::move(run->tool))] {}, Qt::QueuedConnection);
    }
    Q_EMIT finished();
}

} // namespace quilvant
