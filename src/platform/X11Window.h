#pragma once

#include <QWindow>

// Window facts and hints that only the X server knows. Every function is harmless off X11: queries answer as
// a composited desktop would, hints do nothing.
namespace quilvant::X11Window {

// The program runs on the X11 platform (xcb) with a connection to the server.
bool available();

// A compositing manager owns the _NET_WM_CM_S<screen> selection of the default screen, so that translucent
// windows are blended. Off X11 the desktop always composites.
bool compositorRunning();

// Hints for a floating panel, set on the still unmapped window `id`: shown on every workspace (sticky, all
// desktops) and kept out of the task bar and pager.
void prepareFloatingPanel(WId id);

// The server reports the window as viewable: mapped, and every ancestor mapped too.
bool isViewable(WId id);

// Gives the keyboard focus to the mapped top-level window `id` as the person's request made at server time
// `time`: through the window manager (_NET_ACTIVE_WINDOW from an application) where one supports it, otherwise
// directly.
void activate(WId id, uint32_t time);

// Moves the keyboard focus away from the program's windows (to whatever window the pointer is over), as
// another application taking the focus would.
void releaseInputFocus();

} // namespace quilvant::X11Window
