#include "engines/codex/CodexFraming.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace quilvant {

void CodexFraming::append(QByteArrayView bytes)
{
    if (!m_overflowed) {
        m_buffer.append(bytes);
    }
}

std::optional<Codex::Json> CodexFraming::next()
{
    qsizetype end = 0;
    while (!m_overflowed && (end = m_buffer.indexOf('\n', std::max(m_from, m_search))) >= 0) {
        const qsizetype from = std::exchange(m_from, end + 1);
        if (end - from > lineLimit) {
            m_overflowed = true;
            break;
        }
        Codex::Json message =
            Codex::Json::parse(m_buffer.constData() + from, m_buffer.constData() + end, nullptr, false);
        if (message.is_object()) {
            return message;
        }
    }
    m_buffer.remove(0, m_from);
    m_from = 0;
    m_search = m_buffer.size();
    if (m_buffer.size() > lineLimit) {
        m_overflowed = true; // a line without its end that can only grow
    }
    if (m_overflowed) {
        m_buffer = QByteArray();
        m_search = 0;
    }
    return std::nullopt;
}

void CodexFraming::clear()
{
    m_buffer.clear();
    m_from = 0;
    m_search = 0;
    m_overflowed = false;
}

std::optional<qint64> Codex::responseId(const Json& message)
{
    const auto id = message.find("id");
    if (id == message.end() || !id->is_number_integer() || message.contains("method")) {
        return std::nullopt;
    }
    if (id->is_number_unsigned() &&
        id->get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<qint64>::max())) {
        return std::nullopt;
    }
    return id->get<qint64>();
}

bool Codex::isRequest(const Json& message)
{
    return message.contains("id") && message.contains("method");
}

} // namespace quilvant
