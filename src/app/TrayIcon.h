#pragma once

#include <QIcon>

// The tray item's icon: the brand mark, monochrome, for the panel it sits on.
namespace quilvant::TrayIcon {

// The icon theme's symbolic icon of the program ("quilvant-symbolic") where it is installed (the tray host tints a
// symbolic icon to its panel); otherwise the mark drawn in the panel's foreground colour, light on a dark panel and
// dark on a light one, at the sizes tray hosts ask for.
QIcon forPanel(bool darkPanel);

} // namespace quilvant::TrayIcon
