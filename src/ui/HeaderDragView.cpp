#include "ui/HeaderDragView.h"

#include <QMouseEvent>
#include <QWindow>

namespace quilvant {

HeaderDragView::HeaderDragView(QWidget* parent)
    : QWidget(parent)
{}

bool HeaderDragView::hitTest(const QPoint& point) const
{
    return rect().contains(point) && point.x() < width() - buttonArea;
}

void HeaderDragView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !hitTest(event->position().toPoint())) {
        event->ignore();
        return;
    }
    event->accept();
    QWindow* handle = window()->windowHandle();
    // The window manager moves the window when it can; without one, follow the pointer ourselves.
    if (handle != nullptr && handle->startSystemMove()) {
        return;
    }
    m_grabOffset = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
}

void HeaderDragView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_grabOffset) {
        window()->move(event->globalPosition().toPoint() - *m_grabOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void HeaderDragView::mouseReleaseEvent(QMouseEvent* event)
{
    m_grabOffset.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace quilvant
