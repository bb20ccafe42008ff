#pragma once

#include "platform/OutsideClicks.h"
#include "platform/ServerClock.h"
#include "platform/X11Connection.h"

#include <memory>

namespace quilvant {

// Presses seen on X11 through XInput 2.2 raw button events on the root window, which arrive whichever window
// is under the pointer and also while another program holds a grab. The pointer's position is read when the
// event is handled; the time is the event's own.
class X11OutsideClicks final : public OutsideClicks
{
    Q_OBJECT

public:
    // nullptr without an X display or without XInput 2.2.
    static std::unique_ptr<X11OutsideClicks> create(QObject* parent = nullptr);

private:
    X11OutsideClicks(std::unique_ptr<X11Connection> connection, uint8_t opcode, QObject* parent);
    void handle(const xcb_generic_event_t& event);

    std::unique_ptr<X11Connection> m_x;
    uint8_t m_opcode;
    ServerClock m_clock;
};

} // namespace quilvant
