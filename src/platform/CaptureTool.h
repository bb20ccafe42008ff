#pragma once

#include "core/Async.h"

#include <QString>

namespace quilvant {

// One interactive selection of a screen region by an outside tool, which writes it as a PNG to a path.
// The outcome is the tool's exit status with the rules of the capture flow: 0 or 1 without a file is a
// selection the person cancelled, 2 or more a failed tool; a tool that cannot be started is the error.
class CaptureTool
{
public:
    virtual ~CaptureTool() = default;

    // How settings and logs name the tool ("maim", "portal", "spectacle", "slurp-grim").
    virtual QString name() const = 0;
    // Whether the tool can be used here (its programs are installed, or its service is there).
    virtual bool available() const = 0;
    // Starts the selection; `done` ends on the calling thread, never inside this call. The calling thread is
    // not blocked while the person selects. Cancelling ends the tool.
    virtual Cancellation capture(const QString& path, Completion<int> done) = 0;
};

} // namespace quilvant
