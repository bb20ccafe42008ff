#pragma once

#include "chatstream/MiniMaxStream.h"

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
    // So does a body of more than this many bytes, however it is cut into lines and events.
    static constexpr qsizetype bodyLimit = 32'000'000;

    // `publish` gets the whole visible text; `secret` is hidden in messages taken from the server.
    explicit MiniMaxEventReader(std::function<void(const QString&)> publish, QString secret = {});

    // Feeds the next bytes of the body. After "[DONE]" the reader stops (stopped() turns true) and the rest of
    // the body is not read.
    StreamOutcome<void> feed(QByteArrayView bytes);
    bool stopped() const { return m_stream.done(); }

    // The body ended (or reading stopped): dispatches what is left and returns the final text, publishing it
    // once more if it differs from the last text published.
    StreamOutcome<QString> finish();

    const MiniMaxStream& stream() const { return m_stream; }

private:
    StreamOutcome<void> takeLine();
    void publishIfChanged();

    std::function<void(const QString&)> m_publish;
    MiniMaxStream m_stream;
    QByteArray m_line;
    qsizetype m_bodySize = 0;
    // The visible text only ever takes prefixes of one text, so its length tells whether it changed.
    qsizetype m_publishedSize = 0;
};

} // namespace quilvant
