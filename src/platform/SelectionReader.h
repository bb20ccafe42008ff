#pragma once

#include "core/Async.h"

#include <QObject>
#include <QString>

namespace quilvant {

// What one read of the selected text gave.
struct SelectedText
{
    enum class From
    {
        Primary,   // the highlighted text
        Clipboard, // the last copied text (the highlighted was empty, or the desktop gives only this)
        Nothing,   // neither held text
    };
    QString text; // plain text, also of a rich selection
    From from = From::Nothing;
    bool tooLarge = false; // more than the byte limit: `text` is empty, the rest was not read
};

// The text the person has selected in any program, read when asked. Reads never wait on the GUI thread: the
// program that owns the selection answers through the event loop or a child process, within a time limit.
class SelectionReader : public QObject
{
    Q_OBJECT

public:
    // What this desktop lets a program without the focus read.
    enum class Access
    {
        Primary,   // the highlighted text, and the clipboard when nothing is highlighted
        Clipboard, // only the clipboard
        None,      // neither
    };

    using QObject::QObject;

    virtual Access access() const = 0;
    // Reads the selection as plain text, at most `limit` bytes of it. A new read ends an earlier one (cancelled).
    virtual Cancellation read(qsizetype limit, Completion<SelectedText> done) = 0;
};

// Where no selection can be read: every read ends with nothing.
class NullSelectionReader final : public SelectionReader
{
    Q_OBJECT

public:
    using SelectionReader::SelectionReader;
    Access access() const override { return Access::None; }
    Cancellation read(qsizetype limit, Completion<SelectedText> done) override;
};

} // namespace quilvant
