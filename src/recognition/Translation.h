#pragma once

#include "core/Async.h"
#include "core/Outcome.h"

#include <QString>
#include <QStringList>
#include <atomic>

// Local text recognition of image files. No image leaves the machine.
namespace quilvant::Translation {

// The recognised text of the image at `path`: one line per text line, in reading order, joined with "\n" and
// otherwise as read. Nothing but white space fails with the "no text found" AppFailure; an unreadable or
// missing file, or missing recognition data, fails with its own description. Blocks the calling thread (never
// the GUI thread) and keeps that thread's engines warm for its next call; safe on several threads at once.
// `cancelled`, when given, is polled and ends the recognition with Error::cancelled() once set.
Outcome<QString> recognizeFile(const QString& path, const std::atomic<bool>* cancelled = nullptr);

// recognizeFile() for a file named by its bytes, as a command line gives it: a name that is not UTF-8 still opens
// its file, and messages show it escaped. An empty file, and an image of more than pixelLimit pixels, fail with
// an AppFailure that says so.
Outcome<QString> recognizeNamedFile(const QByteArray& name, const std::atomic<bool>* cancelled = nullptr);

// The largest image recognised, in pixels: a 12000 × 12000 capture, or three 8K screens side by side.
inline constexpr qint64 pixelLimit = 150'000'000;

// recognizeFile() on the shared recognition thread, ended on the calling thread (which needs an event loop).
Cancellation recognize(const QString& path, Completion<QString> done);

// Loads what reading the languages `codes` name ("en-US", …, "zh-Hant", as supportedLanguages() gives them) needs,
// for recognizeFile() calls to come on the calling thread. Languages not installed are passed over.
Outcome<void> prepare(const QStringList& codes);

// prepare() on the shared recognition thread, one language at a time, in the background: a capture asked for
// meanwhile waits for one engine at most. Best effort: an engine that does not load fails the capture that needs it.
void warmUp(const QStringList& codes);

// The codes ("en-US", …, "zh-Hant") of the preferred languages whose data is installed, in the preferred order.
QStringList supportedLanguages();

} // namespace quilvant::Translation
