#pragma once

#include "core/Outcome.h"
#include "engines/minimax/MiniMaxStream.h"

#include <QByteArray>
#include <QString>
#include <functional>

namespace quilvant {

// Turns the bytes of one event-stream body into visible text updates: splits lines on line feed over bytes,
// decodes a line only when it is whole (so a character split across reads is never cut), feeds the lines to a
// MiniMaxStream and publishes the visible text whenever it changes.
class MiniMaxEventReader
{
public:
    // One stream line of this many bytes or more ends the translation.
    static constexpr qsizetype lineLimit = 2'000'000;

    explicit MiniMaxEventReader(std::function<void(const QString&)> publish);

    // Feeds the next bytes of the body. After "[DONE]" the reader stops (stopped() turns true) and the rest of
    // the body is not read.
    Outcome<void> feed(QByteArrayView bytes);
    bool stopped() const { return m_stream.done(); }

    // The body ended (or reading stopped): dispatches what is left and returns the final text, publishing it
    // once more if it differs from the last text published.
    Outcome<QString> finish();

    const MiniMaxStream& stream() const { return m_stream; }

private:
    Outcome<void> takeLine();

    std::function<void(const QString&)> m_publish;
    MiniMaxStream m_stream;
    QByteArray m_line;
    QString m_lastPublished;
    qsizetype m_lastTextSize = 0;
};

} // namespace quilvant
