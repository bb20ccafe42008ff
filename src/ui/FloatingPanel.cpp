#include "ui/FloatingPanel.h"

#include "platform/X11Window.h"

#include <QAction>
#include <QApplication>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

namespace quilvant {

namespace {

// Along an edge, this far from a corner still grabs the corner.
constexpr int cornerReach = 14;

Qt::CursorShape cursorFor(Qt::Edges edges)
{
    const bool left = edges.testFlag(Qt::LeftEdge);
    const bool right = edges.testFlag(Qt::RightEdge);
    const bool top = edges.testFlag(Qt::TopEdge);
    const bool bottom = edges.testFlag(Qt::BottomEdge);
    if ((top && left) || (bottom && right)) {
        return Qt::SizeFDiagCursor;
    }
    if ((top && right) || (bottom && left)) {
        return Qt::SizeBDiagCursor;
    }
    if (left || right) {
        return Qt::SizeHorCursor;
    }
    return Qt::SizeVerCursor;
}

} // namespace

FloatingPanel::FloatingPanel(QWidget* content)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    , m_content(content)
{
    setWindowTitle(QStringLiteral("Quilvant"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setMinimumSize(minimumPanelSize);
    resize(initialSize);
    setMouseTracking(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
    content->setMouseTracking(true);

    auto* escape = new QAction(this);
    escape->setShortcut(Qt::Key_Escape);
    escape->setShortcutContext(Qt::WindowShortcut);
    connect(escape, &QAction::triggered, this, &FloatingPanel::cancelRequested);
    addAction(escape);
    setTranslucent(true);
}

void FloatingPanel::setTranslucent(bool translucent)
{
    if (translucent == m_translucent && testAttribute(Qt::WA_TranslucentBackground) == translucent) {
        return;
    }
    if (isVisible()) {
        return; // the window's visual can only change while it is not shown
    }
    m_translucent = translucent;
    if (testAttribute(Qt::WA_WState_Created)) {
        // The visual (with or without alpha) is chosen when the native window is made: make it again.
        destroy(true, true);
    }
    setAttribute(Qt::WA_TranslucentBackground, translucent);
    setAttribute(Qt::WA_NoSystemBackground, translucent);
    const int margin = translucent ? hitBand : 0;
    layout()->setContentsMargins(margin, margin, margin, margin);
}

Qt::Edges FloatingPanel::edgesAt(const QPoint& point) const
{
    if (!rect().contains(point)) {
        return {};
    }
    const bool nearLeft = point.x() < hitBand;
    const bool nearRight = point.x() >= width() - hitBand;
    const bool nearTop = point.y() < hitBand;
    const bool nearBottom = point.y() >= height() - hitBand;
    if (!nearLeft && !nearRight && !nearTop && !nearBottom) {
        return {};
    }
    Qt::Edges edges;
    if (nearLeft || ((nearTop || nearBottom) && point.x() < cornerReach)) {
        edges |= Qt::LeftEdge;
    }
    if (nearRight || ((nearTop || nearBottom) && point.x() >= width() - cornerReach)) {
        edges |= Qt::RightEdge;
    }
    if (nearTop || ((nearLeft || nearRight) && point.y() < cornerReach)) {
        edges |= Qt::TopEdge;
    }
    if (nearBottom || ((nearLeft || nearRight) && point.y() >= height() - cornerReach)) {
        edges |= Qt::BottomEdge;
    }
    return edges;
}

void FloatingPanel::showEvent(QShowEvent* event)
{
    // The window exists but is not mapped yet: the hints reach the window manager with the map request.
    X11Window::prepareFloatingPanel(winId());
    qApp->installEventFilter(this);
    QWidget::showEvent(event);
}

void FloatingPanel::hideEvent(QHideEvent* event)
{
    qApp->removeEventFilter(this);
    m_resizing = {};
    QWidget::hideEvent(event);
}

bool FloatingPanel::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::MouseButtonRelease:
        if (watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget->window() == this && handleMouse(widget, event)) {
                return true;
            }
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

bool FloatingPanel::handleMouse(QWidget* receiver, QEvent* event)
{
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint point = receiver->mapTo(this, mouse->position().toPoint());
    if (event->type() == QEvent::MouseButtonPress) {
        // A click into the card gives it the focus (the window manager may have done so already).
        if (!isActiveWindow()) {
            activateWindow();
        }
        const Qt::Edges edges = edgesAt(point);
        if (mouse->button() != Qt::LeftButton || edges == Qt::Edges()) {
            return false;
        }
        if (windowHandle() != nullptr && windowHandle()->startSystemResize(edges)) {
            return true;
        }
        m_resizing = edges;
        m_resizeStart = geometry();
        m_pressAt = mouse->globalPosition().toPoint();
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        const bool wasResizing = m_resizing != Qt::Edges();
        m_resizing = {};
        return wasResizing;
    }
    if (m_resizing != Qt::Edges()) {
        const QPoint delta = mouse->globalPosition().toPoint() - m_pressAt;
        QRect frame = m_resizeStart;
        const QSize minimum = minimumSize();
        if (m_resizing.testFlag(Qt::LeftEdge)) {
            frame.setLeft(qMin(frame.left() + delta.x(), frame.right() - minimum.width() + 1));
        }
        if (m_resizing.testFlag(Qt::RightEdge)) {
            frame.setRight(qMax(frame.right() + delta.x(), frame.left() + minimum.width() - 1));
        }
        if (m_resizing.testFlag(Qt::TopEdge)) {
            frame.setTop(qMin(frame.top() + delta.y(), frame.bottom() - minimum.height() + 1));
        }
        if (m_resizing.testFlag(Qt::BottomEdge)) {
            frame.setBottom(qMax(frame.bottom() + delta.y(), frame.top() + minimum.height() - 1));
        }
        setGeometry(frame);
        return true;
    }
    if (receiver == this || receiver == m_content) {
        updateCursor(edgesAt(point));
    }
    return false;
}

void FloatingPanel::updateCursor(Qt::Edges edges)
{
    if (edges == Qt::Edges()) {
        unsetCursor();
    } else {
        setCursor(cursorFor(edges));
    }
}

} // namespace quilvant
