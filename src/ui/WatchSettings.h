#pragma once

#include <QLabel>
#include <QWidget>

namespace quilvant::WatchSettings {

// The settings row of the watch shortcut: its label and its control, which keep to the interface language and
// the stored setting by themselves. Where the desktop does not let the program watch a region, the control says
// so instead of offering a shortcut.
struct Row
{
    QLabel* label;
    QWidget* control;
};

Row makeRow();

} // namespace quilvant::WatchSettings
