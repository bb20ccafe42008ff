#include "ui/CardWindow.h"

#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "platform/ColorScheme.h"
#include "platform/Platform.h"
#include "platform/X11Window.h"
#include "session/Model.h"
#include "ui/Card.h"
#include "ui/CardKeyboard.h"
#include "ui/FloatingPanel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>

namespace quilvant {

namespace {

constexpr int screenMargin = 12;
constexpr int pointerGap = 18;

} // namespace

CardWindow::CardWindow(Model* model, QObject* parent)
    : QObject(parent)
    , m_model(model)
{}

CardWindow::~CardWindow()
{
    if (m_model && m_panel && m_model->panel() == m_panel.get()) {
        m_model->setPanel(nullptr);
    }
}

FloatingPanel* CardWindow::panel() const
{
    return m_panel.get();
}

Card* CardWindow::card() const
{
    return m_card;
}

bool CardWindow::isShown() const
{
    return m_panel && m_panel->isVisible();
}

QPoint CardWindow::placement(const QPoint& point, const QRect& available, const QSize& size)
{
    // Lower bounds first, upper bounds last: on a screen too small for the card its top and left edges keep
    // their margin (in screen coordinates, where y grows downwards).
    int x = point.x() + pointerGap;
    x = qMin(x, available.right() + 1 - size.width() - screenMargin);
    x = qMax(x, available.left() + screenMargin);
    int y = point.y();
    y = qMin(y, available.bottom() + 1 - size.height() - screenMargin);
    y = qMax(y, available.top() + screenMargin);
    return {x, y};
}

QPoint CardWindow::placementBeside(const QRect& region, const QRect& available, const QSize& size)
{
    const auto clampY = [&](int y) {
        return qMax(qMin(y, available.bottom() + 1 - size.height() - screenMargin), available.top() + screenMargin);
    };
    const auto clampX = [&](int x) {
        return qMax(qMin(x, available.right() + 1 - size.width() - screenMargin), available.left() + screenMargin);
    };
    const int right = region.right() + 1 + pointerGap;
    if (right + size.width() + screenMargin <= available.right() + 1) {
        return {right, clampY(region.top())};
    }
    const int left = region.left() - pointerGap - size.width();
    if (left >= available.left() + screenMargin) {
        return {left, clampY(region.top())};
    }
    const int below = region.bottom() + 1 + pointerGap;
    if (below + size.height() + screenMargin <= available.bottom() + 1) {
        return {clampX(region.left()), below};
    }
    const int above = region.top() - pointerGap - size.height();
    if (above >= available.top() + screenMargin) {
        return {clampX(region.left()), above};
    }
    return {clampX(right), clampY(region.top())};
}

void CardWindow::ensurePanel()
{
    if (m_panel) {
        return;
    }
    m_card = new Card(m_model);
    m_panel = std::make_unique<FloatingPanel>(m_card);
    connect(m_card, &Card::closeRequested, this, &CardWindow::closeCard);
    connect(m_panel.get(), &FloatingPanel::cancelRequested, this, &CardWindow::closeCard);
    m_keyboard = new CardKeyboard(m_panel.get(), m_model, Platform::keyboardFocus());
    connect(ColorScheme::instance(), &ColorScheme::changed, this, &CardWindow::applyLook);
    if (m_model) {
        m_model->setPanel(m_panel.get());
    }
    applyLook();
}

void CardWindow::applyLook()
{
    if (!m_panel) {
        return;
    }
    const bool dark = m_forcedDark.value_or(ColorScheme::instance()->dark());
    m_card->setTheme(Theme::forLook(dark));
}

void CardWindow::setForcedDark(std::optional<bool> dark)
{
    m_forcedDark = dark;
    applyLook();
}

void CardWindow::prepare()
{
    ensurePanel();
    matchCompositor();
    // Polished, laid out and given its native window as for showing; a showing made again only when a compositor
    // started or stopped meanwhile.
    m_panel->ensurePolished();
    m_panel->layout()->activate();
    m_panel->winId();
}

void CardWindow::matchCompositor()
{
    m_panel->setTranslucent(X11Window::compositorRunning());
    m_card->setOpaque(!m_panel->translucent());
}

void CardWindow::showCard(std::optional<QPoint> anchor)
{
    ensurePanel();
    if (!m_panel->isVisible()) {
        // A compositor may have started or stopped since the last time.
        matchCompositor();
    }
    if (!m_model || !m_model->pinned()) {
        std::optional<QPoint> point = anchor;
        if (!point && !m_panel->isVisible()) {
            point = QCursor::pos();
        }
        if (point) {
            QScreen* screen = QGuiApplication::screenAt(*point);
            if (screen == nullptr) {
                screen = QGuiApplication::primaryScreen();
            }
            if (screen != nullptr) {
                m_panel->move(placement(*point, screen->availableGeometry(), m_panel->frameGeometry().size()));
            }
        }
    }
    if (m_model) {
        m_model->setShownAt(Clock::uptime());
    }
    Diagnostics::record(QStringLiteral("card.shown"));
    m_panel->show();
    m_panel->raise();
    m_keyboard->takeFocus();
}

void CardWindow::showCardBeside(const QRect& region)
{
    ensurePanel();
    if (!m_panel->isVisible()) {
        matchCompositor();
    }
    QScreen* screen = QGuiApplication::screenAt(region.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen != nullptr) {
        m_panel->move(placementBeside(region, screen->availableGeometry(), m_panel->frameGeometry().size()));
    }
    if (m_model) {
        m_model->setShownAt(Clock::uptime());
    }
    Diagnostics::record(QStringLiteral("card.shown"));
    m_panel->show();
    m_panel->raise();
}

void CardWindow::prepareCardForCapture()
{
    if (m_model) {
        m_model->setStatus(QStringLiteral("正在框选…"));
    }
    if (m_panel && (!m_model || !m_model->pinned())) {
        m_panel->hide();
    }
}

void CardWindow::closeCard()
{
    Diagnostics::record(QStringLiteral("card.closed"));
    if (m_model) {
        m_model->stop();
    }
    if (m_panel) {
        m_panel->hide();
    }
    Q_EMIT closed();
}

} // namespace quilvant
