#pragma once

#include <QWidget>

namespace quilvant::WatchSettings {

// The control of the watch shortcut's settings row, which keeps to the interface language and the stored setting
// by itself: a picker of the letters, or, where the desktop does not let the program watch a region, a line that
// says so instead. Its label belongs to the section that holds it.
QWidget* makeControl();

} // namespace quilvant::WatchSettings
