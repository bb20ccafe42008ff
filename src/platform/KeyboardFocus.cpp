#include "platform/KeyboardFocus.h"

#include <QWindow>

namespace quilvant {

void KeyboardFocus::activate(QWindow* window)
{
    if (window != nullptr) {
        window->requestActivate();
    }
}

} // namespace quilvant
