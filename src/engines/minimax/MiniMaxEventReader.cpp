#include "engines/minimax/MiniMaxEventReader.h"

#include "foundation/L.h"

namespace quilvant {

MiniMaxEventReader::MiniMaxEventReader(std::function<void(const QString&)> publish)
    : m_publish(std::move(publish))
{}

Outcome<void> MiniMaxEventReader::feed(QByteArrayView bytes)
{
    qsizetype position = 0;
    while (position < bytes.size() && !stopped()) {
        const qsizetype newline = bytes.indexOf('\n', position);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        const qsizetype length = end - position;
        // The line buffer may never reach the limit, not even for a moment.
        if (m_line.size() + length >= lineLimit) {
            return AppFailure{L::t(MiniMaxMessage::eventTooLarge)};
        }
        m_line.append(bytes.sliced(position, length));
        position = end;
        if (newline < 0) {
            break;
        }
        ++position;
        if (auto taken = takeLine(); !taken) {
            return taken;
        }
    }
    return {};
}

Outcome<void> MiniMaxEventReader::takeLine()
{
    if (m_line.endsWith('\r')) {
        m_line.chop(1);
    }
    const QString line = QString::fromUtf8(m_line);
    m_line.clear();
    if (auto fed = m_stream.line(line); !fed) {
        return fed;
    }
    // The text only grows, so an unchanged size means an unchanged text and the same visible text.
    if (m_stream.text().size() == m_lastTextSize) {
        return {};
    }
    m_lastTextSize = m_stream.text().size();
    const QString visible = MiniMaxStream::visible(m_stream.text());
    if (visible != m_lastPublished) {
        m_publish(visible);
        if (!m_stream.done()) {
            m_lastPublished = visible;
        }
    }
    return {};
}

Outcome<QString> MiniMaxEventReader::finish()
{
    if (!m_line.isEmpty()) {
        const QString line = QString::fromUtf8(m_line);
        m_line.clear();
        if (auto fed = m_stream.line(line); !fed) {
            return fed.error();
        }
    }
    if (auto flushed = m_stream.flush(); !flushed) {
        return flushed.error();
    }
    Outcome<QString> completed = m_stream.completedText();
    if (completed && completed.value() != m_lastPublished) {
        m_publish(completed.value());
        m_lastPublished = completed.value();
    }
    return completed;
}

} // namespace quilvant
