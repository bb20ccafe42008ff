#pragma once

#include "core/Outcome.h"

#include <QString>
#include <QStringList>

// Launch at login through an XDG autostart entry. The state is always read back from the files, so the
// settings window shows what the desktop will do, not what was last asked for.
namespace quilvant::Autostart {

// The person's own entry: $XDG_CONFIG_HOME/autostart/quilvant.desktop.
QString path();

// Whether the desktop starts Quilvant at login: the person's entry when there is one, otherwise a system-wide
// entry of the same name in $XDG_CONFIG_DIRS. An entry counts unless it says Hidden=true or
// X-GNOME-Autostart-enabled=false.
bool isEnabled();

// Turns the start at login on (writing an entry that runs `executable`) or off (removing the person's entry,
// or hiding a system-wide one). Fails with a description of what could not be written or removed.
Outcome<void> setEnabled(bool enabled, const QString& executable);

// The Exec= line of an entry that runs `executable` with no arguments, quoted as the desktop entry format asks.
QString execLine(const QString& executable);

} // namespace quilvant::Autostart
