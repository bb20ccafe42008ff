#pragma once

#include <QIcon>

// The tray item's icon: the brand mark, monochrome, drawn for the panel it sits on.
namespace quilvant::TrayIcon {

// White on a dark panel, black on a light one, at the sizes tray hosts ask for.
QIcon forPanel(bool darkPanel);

} // namespace quilvant::TrayIcon
