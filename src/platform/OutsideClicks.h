#pragma once

#include <QObject>
#include <QPoint>
#include <optional>

namespace quilvant {

// A mouse button pressed anywhere on the desktop, as the outside-click rule of the card needs it.
struct PointerPress
{
    // Where, in the X root window's pixels; unknown when the desktop only told us that the card lost the focus.
    std::optional<QPoint> position;
    // When, in seconds on Clock::uptime().
    double at = 0;
    // The display's own stamp of the press, as the toolkit stamps its input events (QInputEvent::timestamp());
    // unknown when only the loss of the focus was seen.
    std::optional<quint64> stamp;
};

// Presses of the left or right button in other applications (and in ours).
class OutsideClicks : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    void pressed(const quilvant::PointerPress& press);
};

// Where presses elsewhere cannot be seen (Wayland): the card's window losing the focus stands for a click
// elsewhere. The window tells it through windowDeactivated().
class FocusLossClicks final : public OutsideClicks
{
    Q_OBJECT

public:
    using OutsideClicks::OutsideClicks;
    void windowDeactivated();
};

} // namespace quilvant

Q_DECLARE_METATYPE(quilvant::PointerPress)
