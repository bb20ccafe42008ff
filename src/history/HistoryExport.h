#pragma once

#include "core/Outcome.h"
#include "history/HistoryEntry.h"

#include <QByteArray>
#include <QString>

// The history as files other programs read.
namespace quilvant::HistoryExport {

// Comma-separated values (RFC 4180: CRLF line ends, fields with commas, quotes or line breaks in double quotes)
// in UTF-8 with a byte-order mark, for spreadsheets: a header row, then time (ISO 8601, UTC), source,
// translation, target language and engine, one entry a row.
QByteArray csv(const HistoryEntries& entries);

// Tab-separated notes for a flash-card program: a header that declares the tab separator, HTML fields and the
// columns Front (the source) and Back (the translation), then one note a line. Line breaks become <br> and tabs
// a character reference, so every note stays on one line.
QByteArray cards(const HistoryEntries& entries);

// The engine as people read its name ("Quilvant", "MiniMax", "Codex").
QString engineName(EngineKind engine);

// Writes `bytes` to `path` whole or not at all.
Outcome<void> write(const QString& path, const QByteArray& bytes);

} // namespace quilvant::HistoryExport
