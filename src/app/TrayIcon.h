#pragma once

#include <QIcon>

// The tray item's icon, which must stand out on dark and light panels alike.
namespace quilvant::TrayIcon {

// The full-colour application icon (the white mark on the brand's square) as pixmaps: no XEmbed tray tints an
// icon, and a mark of one fixed colour vanishes on one kind of panel (black on tint2's default is 1:1, white
// on a light panel 1.2:1), while the white mark keeps 5:1 against its own square on any panel, and the square
// stands out from black (4.2:1) and white (5:1) panels. Where the icon
// theme has "quilvant-symbolic" the icon also carries that name, so that a StatusNotifier host, which draws a
// named icon from the theme in its own panel's colour, shows the monochrome mark like the panel's other icons;
// hosts that draw the pixmaps (or do not find the name) show the colour icon.
QIcon forPanel();

} // namespace quilvant::TrayIcon
