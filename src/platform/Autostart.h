#pragma once

#include "core/Outcome.h"

#include <QString>

// Launch at login: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/quilvant.desktop, which desktops that
// follow the autostart specification start when the person logs in.
namespace quilvant::Autostart {

QString entryPath();

// Whether the entry is there and not hidden.
bool enabled();

// Writes the entry for `executable` (whole, or not at all) or removes it. A failure says what went wrong.
Outcome<void> setEnabled(bool on, const QString& executable);

// `executable` as the Exec key of a desktop entry wants it: quoted, with the characters the specification
// reserves escaped.
QString execValue(const QString& executable);

} // namespace quilvant::Autostart
