#pragma once

#include "engines/codex/CodexProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace quilvant {

// Turns the app-server's standard output into its messages, one JSON object per line. Only whole lines are
// decoded, so a character split across reads is put together before it is read; a line that is not a JSON
// object (junk, an array, an empty line) is skipped and the next one read.
class CodexFraming
{
public:
    // A line may be this long; a longer one, whole or still arriving, ends the framing (overflowed()).
    static constexpr qsizetype lineLimit = 16'000'000;

    void append(QByteArrayView bytes);
    // The object on the next whole line, or nothing when no whole line is left (a partial one stays buffered)
    // or a line is beyond the limit.
    std::optional<Codex::Json> next();
    bool overflowed() const { return m_overflowed; }
    // Drops everything buffered, read or not.
    void clear();

private:
    QByteArray m_buffer;
    bool m_overflowed = false;
    qsizetype m_from = 0;   // where the first line not yet read starts
    qsizetype m_search = 0; // bytes before this hold no line feed after m_from
};

namespace Codex {

// The id of a message that may answer one of our requests: an integer id that fits, and no method.
std::optional<qint64> responseId(const Json& message);
// A request from the server: an id of any type, and a method.
bool isRequest(const Json& message);

} // namespace Codex

} // namespace quilvant
