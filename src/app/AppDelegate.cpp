#include "app/AppDelegate.h"

#include "app/PointerRule.h"
#include "capture/CaptureFlow.h"
#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/Platform.h"
#include "session/Model.h"

#include <QGuiApplication>
#include <QWidget>

namespace quilvant {

AppDelegate::Backends AppDelegate::Backends::system()
{
    return {Platform::globalShortcut(), Platform::outsideClicks(), CaptureFlow::Services::system()};
}

AppDelegate::AppDelegate(Backends backends, QObject* parent)
    : QObject(parent)
    , m_model(std::make_unique<Model>())
    , m_shortcut(std::move(backends.shortcut))
    , m_clicks(std::move(backends.clicks))
    , m_flow(std::make_unique<CaptureFlow>(*m_model, *this, std::move(backends.capture)))
{
    m_model->setRequestSettings([this] { Q_EMIT settingsRequested(); });
}

AppDelegate::~AppDelegate()
{
    m_model->stop();
    if (m_clicks) {
        m_clicks->disconnect(this);
    }
    if (m_shortcut) {
        m_shortcut->unregister();
    }
    m_flow.reset();
}

QChar AppDelegate::shortcutLetter(const QString& setting)
{
    if (setting == QLatin1String("T") || setting == QLatin1String("S")) {
        return setting.at(0);
    }
    return QLatin1Char('D');
}

void AppDelegate::installInteractions()
{
    if (m_shortcut) {
        connect(m_shortcut.get(), &GlobalShortcut::activated, this, &AppDelegate::capture, Qt::QueuedConnection);
        connect(m_shortcut.get(), &GlobalShortcut::failed, this, [this](const QString& reason) {
            Diagnostics::record(QStringLiteral("shortcut.failed reason=") + reason);
            m_model->setError(L::t(QStringLiteral("快捷键注册失败，请在设置中选择另一个组合。")));
            showCard(std::nullopt);
        });
    }
    registerShortcut();
    if (m_clicks) {
        connect(m_clicks.get(), &OutsideClicks::pressed, this,
                [this](const PointerPress& press) { handlePointerDown(press); });
    }
}

void AppDelegate::registerShortcut()
{
    if (m_shortcut) {
        m_shortcut->registerKey(shortcutLetter(Settings::shortcut()));
    }
}

void AppDelegate::shortcutChanged()
{
    registerShortcut();
}

void AppDelegate::capture()
{
    m_flow->capture();
}

void AppDelegate::showCard(std::optional<QPoint> anchor)
{
    if (m_card != nullptr) {
        m_card->showCard(anchor);
        return;
    }
    m_model->setShownAt(Clock::uptime());
    Diagnostics::record(QStringLiteral("card.shown"));
}

void AppDelegate::prepareCardForCapture()
{
    if (m_card != nullptr) {
        m_card->prepareCardForCapture();
    } else {
        m_model->setStatus(L::t(QStringLiteral("正在框选…")));
    }
}

void AppDelegate::handlePointerDown(const PointerPress& press, bool onCard)
{
    auto* panel = qobject_cast<QWidget*>(m_model->panel());
    PointerRule::Card card{.exists = panel != nullptr,
                           .visible = panel != nullptr && panel->isVisible(),
                           .frame = panel != nullptr ? panel->frameGeometry() : QRect(),
                           .pinned = m_model->pinned(),
                           .captureInProgress = m_model->captureInProgress(),
                           .shownAt = m_model->shownAt()};
    std::optional<QPoint> position = press.position;
    if (position) {
        // X reports device pixels; the window's frame is in the toolkit's scaled points.
        const qreal ratio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
        position = QPoint(qRound(position->x() / ratio), qRound(position->y() / ratio));
    }
    if (panel == nullptr || !PointerRule::closesCard(card, {.onCard = onCard, .position = position, .at = press.at})) {
        return;
    }
    Diagnostics::record(QStringLiteral("card.outside-click"));
    Diagnostics::record(QStringLiteral("card.closed"));
    m_model->stop();
    panel->hide();
}

void AppDelegate::quit()
{
    m_model->stop();
    if (m_quit) {
        m_quit();
    }
}

} // namespace quilvant
