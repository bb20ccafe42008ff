#pragma once

namespace quilvant::app {

// The desktop program: the tray icon and its menu, running until the person quits.
int runDesktop(int& argc, char** argv);

} // namespace quilvant::app
