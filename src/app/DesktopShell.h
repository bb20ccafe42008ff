#pragma once

#include "core/Async.h"

namespace quilvant::app {

// What a start of the desktop program asks for, of itself or of the instance that runs already.
enum class InstanceRequest
{
    None,               // a plain start: a running instance shows its card
    Capture,            // --capture
    ShowCard,           // --show-card
    Settings,           // --settings
    TranslateSelection, // --translate-selection
    History,            // --history
};

// In the application object that exists: hands `request` to the instance that runs already and ends at once,
// or becomes the desktop program (tray icon, shortcut, captures) and does it, ending when the person quits.
void startDesktop(InstanceRequest request, Completion<void> done);

// The plain start: the desktop program in an application object of its own.
int runDesktop(int& argc, char** argv);

} // namespace quilvant::app
