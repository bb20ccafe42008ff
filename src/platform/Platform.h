#pragma once

#include "platform/CaptureTool.h"
#include "platform/GlobalShortcut.h"
#include "platform/KeyboardFocus.h"
#include "platform/OutsideClicks.h"
#include "platform/RegionPicker.h"
#include "platform/RegionReader.h"
#include "platform/ScreenAccess.h"
#include "platform/SelectionReader.h"

#include <QString>
#include <memory>

// The one place that chooses the platform backends for the session the program runs in.
namespace quilvant::Platform {

// The global shortcut: the X11 key grab, the GlobalShortcuts portal on Wayland, or one that always fails.
// With `shift`, the selection's: Alt + Shift + the letter.
std::unique_ptr<GlobalShortcut> globalShortcut(QObject* parent = nullptr, bool shift = false);

// A second global shortcut, of its own, for watching a region (a grab or a portal shortcut beside the first).
std::unique_ptr<GlobalShortcut> watchShortcut(QObject* parent = nullptr);

// Clicks elsewhere: XInput raw presses on X11, otherwise the card's window losing the focus.
std::unique_ptr<OutsideClicks> outsideClicks(QObject* parent = nullptr);

// The selected text: PRIMARY and CLIPBOARD on X11, wl-paste on Wayland, or a reader that finds nothing.
std::unique_ptr<SelectionReader> selectionReader(QObject* parent = nullptr);

// The keyboard for windows the person asks for: the X11 focus request and Escape grab, or the toolkit's own.
std::unique_ptr<KeyboardFocus> keyboardFocus(QObject* parent = nullptr);

// The capture tool named by `setting` ("maim", "portal", "spectacle", "slurp-grim"), or when it is empty or
// unknown the session's own: maim on X11; on Wayland spectacle on KDE, slurp and grim on wlroots desktops, the
// portal elsewhere (and wherever the first choice is not installed but the portal is).
std::unique_ptr<CaptureTool> captureTool(const QString& setting);

// Screen access for captures with `tool`.
ScreenAccess screenAccess(const CaptureTool& tool);

// How a watched region is looked at: the X server's pixels on X11; on wlroots desktops the compositor's screen
// copy protocol, or grim where the compositor does not offer it; elsewhere on Wayland (the desktops that ask the
// person for every picture) one that is not available and says so.
std::unique_ptr<RegionReader> regionReader();

// The selection tool that gives a watched region: slop on X11, slurp on wlroots desktops; nullptr elsewhere.
std::unique_ptr<RegionPicker> regionPicker();

} // namespace quilvant::Platform
