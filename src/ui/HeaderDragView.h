#pragma once

#include <QPoint>
#include <QWidget>
#include <optional>

namespace quilvant {

// The card's header, by which the person drags the card's window. Its right-hand 94 points belong to the
// buttons drawn there: a press on them (or between them) never starts a drag. The first press drags even while
// the window does not have the focus.
class HeaderDragView final : public QWidget
{
    Q_OBJECT

public:
    // The width at the right that is left to the buttons.
    static constexpr int buttonArea = 94;

    explicit HeaderDragView(QWidget* parent = nullptr);

    // Whether a press at `point` (in this view's coordinates) starts a drag.
    bool hitTest(const QPoint& point) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Set while the window is moved by hand (no window manager took the move over).
    std::optional<QPoint> m_grabOffset;
};

} // namespace quilvant
