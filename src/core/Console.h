#pragma once

#include <QByteArray>
#include <QString>

namespace quilvant::Console {

// One line (a line feed is added) to standard output, flushed at once so that a reader sees progress.
void printLine(const QString& line);

// "prefix + description + line feed" to standard error in a single write, as every failure line is written.
void printFailure(const QString& prefix, const QString& description);

// Writes bytes to a file descriptor completely, retrying short writes; false when the descriptor refuses.
bool writeAll(int fd, const QByteArray& bytes);

// Reads one line from standard input without its line ending; the empty string at end of input.
QString readLine();

// Reads standard input to its end.
QByteArray readAll();

} // namespace quilvant::Console
