#pragma once

#include <QString>

// Which kind of desktop session the program runs in, read from the environment the session gave it.
namespace quilvant::DisplaySession {

enum class Kind
{
    X11,
    Wayland,
    None, // no display at all
};

// Wayland when WAYLAND_DISPLAY is set or XDG_SESSION_TYPE says so, else X11 when DISPLAY is set.
Kind current();

// The desktop's names from XDG_CURRENT_DESKTOP, upper-cased ("KDE", "GNOME", "SWAY", …).
QStringList desktops();

} // namespace quilvant::DisplaySession
