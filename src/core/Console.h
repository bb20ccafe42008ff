#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace quilvant::Console {

// Text of one line (a line feed is added) for standard output, written at once so that a reader sees progress.
// On a terminal every control character other than line feed and tab is replaced (see cleaned()), so that text
// from outside cannot drive the terminal; into a pipe or a file the text goes as it is. A write that fails is
// remembered: outputError() reports it.
void printLine(const QString& line);
// The same without the added line feed.
void print(const QString& text);

// Why a write to standard output failed ("" while every write succeeded): the first failure of the process.
QString outputError();

// "prefix + description + line feed" to standard error in a single write, as every failure line is written.
// Always cleaned: descriptions can carry a server's or a child's bytes.
void printFailure(const QString& prefix, const QString& description);

// Text for standard error, cleaned; for progress shown on a terminal.
void printToError(const QString& text);

// Writes bytes to a file descriptor completely, retrying short writes; false (errno set) when it refuses.
bool writeAll(int fd, const QByteArray& bytes);

// `text` with every C0 and C1 control character except line feed and tab (escape, carriage return, bell, the
// string introducers of OSC and DCS…) and DEL replaced by U+FFFD.
QString cleaned(const QString& text);

// A file name's bytes as text to show: valid UTF-8 as it is, every other byte and every control character as
// \xNN, so that any name can be shown and told apart from a similar one.
QString shownName(const QByteArray& name);

// One line from standard input without its line ending; the empty string at end of input. nullopt when the
// line is longer than `limit` bytes (nothing more of it is read).
std::optional<QString> readLine(qsizetype limit);

// Standard input to its end; nullopt when it holds more than `limit` bytes (at most limit + 1 bytes are read).
std::optional<QByteArray> readAll(qsizetype limit);

} // namespace quilvant::Console
