#pragma once

#include "platform/KeyboardFocus.h"
#include "platform/X11Connection.h"

#include <memory>
#include <vector>

namespace quilvant {

// The keyboard on X11. The focus is asked of the window manager with _NET_ACTIVE_WINDOW as an application's
// request, stamped with the server's time of the request (no user event can be later, so a window manager that
// weighs stamps against the person's last input grants it); without a window manager the focus is set directly.
// Escape is a passive grab on the root window, with every combination of the lock masks.
class X11KeyboardFocus final : public KeyboardFocus
{
    Q_OBJECT

public:
    // nullptr without an X display.
    static std::unique_ptr<X11KeyboardFocus> create(QObject* parent = nullptr);
    ~X11KeyboardFocus() override;

    void activate(QWindow* window) override;
    bool grabEscape() override;
    void releaseEscape() override;

private:
    X11KeyboardFocus(std::unique_ptr<X11Connection> connection, QObject* parent);
    // The server's time now, learnt from the stamp of a property change on `window`.
    uint32_t serverTime(xcb_window_t window);
    void handle(const xcb_generic_event_t& event);

    std::unique_ptr<X11Connection> m_x;
    xcb_atom_t m_stampAtom = XCB_ATOM_NONE;
    std::vector<xcb_keycode_t> m_escapeCodes;
    std::vector<uint16_t> m_grabbedMasks;
};

} // namespace quilvant
