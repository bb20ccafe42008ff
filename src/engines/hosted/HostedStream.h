#pragma once

#include "core/Async.h"
#include "core/Outcome.h"
#include "engines/hosted/HostedResult.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace quilvant {

// Reads the hosted translation's event stream: bytes to lines, lines to events, events to updates and the
// final result. This service's rules differ from the chat-completions stream's: data lines are concatenated
// without a separator, and an event name stays until an event with data is dispatched.
class HostedStream
{
public:
    static constexpr qsizetype lineLimit = 400'000;
    // The data lines of one event may add up to as much as one line.
    static constexpr qsizetype eventLimit = lineLimit;
    // The whole body: the service sends the whole translation so far in every delta, so this is far more than a
    // translation, and still a bound.
    static constexpr qsizetype bodyLimit = 64'000'000;

    explicit HostedStream(TextUpdate update);

    // Feeds the next bytes of the body. An error ends the translation; nothing more may be fed after it.
    Outcome<void> feed(QByteArrayView bytes);

    // The body has ended: a partial last line is dropped, the pending event is dispatched once more, and the
    // final result (or why there is none) comes back.
    Outcome<HostedResult> finish();

    // Text of the fixed failure for a stream without a usable result (the same in both interface languages).
    static QString interruptedMessage();
    // Catalogue key of the failure for a response beyond its bound.
    static const QString tooMuchDataKey;

private:
    Outcome<void> line(const QByteArray& bytes);
    Outcome<void> dispatch();

    TextUpdate m_update;
    QString m_event;
    QString m_data;
    std::optional<HostedResult> m_result;
    QByteArray m_buffer;
    qsizetype m_bodySize = 0;
};

} // namespace quilvant
