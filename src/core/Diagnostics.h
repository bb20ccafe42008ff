#pragma once

#include <QString>

namespace quilvant::Diagnostics {

// Appends "<UTC time stamp> <event>\n" to kestu-diagnostics.log in the private temporary directory.
// Callable from any thread; never fails and never affects the caller (a line that cannot be written is lost).
void record(const QString& event);

// Where record() writes, decided on first use and kept for the life of the process; empty when the private
// temporary directory cannot be used.
QString logPath();

// "%.3f" seconds, as the event texts write them.
QString seconds(double value);

} // namespace quilvant::Diagnostics
