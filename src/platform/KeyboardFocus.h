#pragma once

#include <QObject>

class QWindow;

namespace quilvant {

// Getting the keyboard to a window the person just asked for, and Escape to the program where the window
// manager does not hand the focus over.
class KeyboardFocus : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks for the keyboard focus for `window`, shown a moment ago. Here: the toolkit's own request, which the
    // desktop may refuse.
    virtual void activate(QWindow* window);
    // While held, Escape pressed in any application reaches escapePressed(). False where it cannot be had
    // (here: never).
    virtual bool grabEscape() { return false; }
    virtual void releaseEscape() {}

Q_SIGNALS:
    void escapePressed();
};

} // namespace quilvant
