#include "chatstream/MiniMaxEventReader.h"

namespace quilvant {

MiniMaxEventReader::MiniMaxEventReader(std::function<void(const QString&)> publish, QString secret)
    : m_publish(std::move(publish))
    , m_stream(std::move(secret))
{}

StreamOutcome<void> MiniMaxEventReader::feed(QByteArrayView bytes)
{
    m_bodySize += bytes.size();
    if (m_bodySize > bodyLimit) {
        return StreamFailure{StreamFailure::Kind::BodyTooLarge};
    }
    qsizetype position = 0;
    while (position < bytes.size() && !stopped()) {
        const qsizetype newline = bytes.indexOf('\n', position);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        const qsizetype length = end - position;
        // The line buffer may never reach the limit, not even for a moment.
        if (m_line.size() + length >= lineLimit) {
            return StreamFailure{StreamFailure::Kind::EventTooLarge};
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

StreamOutcome<void> MiniMaxEventReader::takeLine()
{
    if (m_line.endsWith('\r')) {
        m_line.chop(1);
    }
    const QString line = QString::fromUtf8(m_line);
    m_line.clear();
    if (auto fed = m_stream.line(line); !fed) {
        return fed;
    }
    publishIfChanged();
    return {};
}

void MiniMaxEventReader::publishIfChanged()
{
    const QString& visible = m_stream.visibleText();
    if (visible.size() == m_publishedSize) {
        return;
    }
    m_publishedSize = visible.size();
    m_publish(visible);
}

StreamOutcome<QString> MiniMaxEventReader::finish()
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
    StreamOutcome<QString> completed = m_stream.completedText();
    if (completed && completed.value().size() != m_publishedSize) {
        m_publishedSize = completed.value().size();
        m_publish(completed.value());
    }
    return completed;
}

} // namespace quilvant
