#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Whether the windows of the program can be shown at all, decided before Qt is asked to open a display (its
// platform plugin aborts the process when it cannot).
namespace quilvant::app::GraphicalSession {

// Why no display can be used with these command-line arguments and this environment, in the interface
// language; nullopt when a display opened, or when a platform was chosen that needs none (offscreen, vnc, …).
std::optional<QString> missing(const QStringList& arguments);

} // namespace quilvant::app::GraphicalSession
