#pragma once

#include "core/Outcome.h"

#include <QString>
#include <QStringList>
#include <QTextBoundaryFinder>

// Messages that can carry a server's or a child's bytes: secrets hidden first, then cut to a readable length,
// so that a secret placed at the cut cannot show its first characters.
namespace quilvant::Redaction {

// What a hidden secret reads as.
inline const QString marker = QStringLiteral("[已隐藏 Key]");
inline constexpr qsizetype messageLimit = 500;

// The first `limit` characters of `text`, counted as a reader counts them (a combined emoji is one).
inline QString firstCharacters(const QString& text, qsizetype limit = messageLimit)
{
    if (text.size() <= limit) {
        return text; // never more characters than code units
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype i = 0; i < limit; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            return text;
        }
        end = next;
    }
    return text.left(end);
}

// `message` with every occurrence of each non-empty secret replaced by the marker.
inline QString hidden(QString message, const QStringList& secrets)
{
    for (const QString& secret : secrets) {
        if (!secret.isEmpty()) {
            message.replace(secret, marker);
        }
    }
    return message;
}

// hidden(), then cut to `limit` characters.
inline QString redacted(const QString& message, const QStringList& secrets, qsizetype limit = messageLimit)
{
    return firstCharacters(hidden(message, secrets), limit);
}

// The same error with the secrets hidden. A system error (a transport's or a parser's description) is also cut;
// a user-facing message was composed by the engine, which cut the outside text in it already.
inline Error redacted(const Error& error, const QStringList& secrets)
{
    switch (error.kind()) {
    case Error::Kind::App:
        return Error::app(hidden(error.description(), secrets));
    case Error::Kind::System:
        return Error::system(redacted(error.description(), secrets));
    case Error::Kind::Cancelled:
        break;
    }
    return error;
}

// True when `secret` holds a control character (a line break, say), which no key or token may carry: sent in
// a header it would end the header early.
inline bool hasControlCharacter(const QString& secret)
{
    for (const QChar c : secret) {
        if (c.category() == QChar::Other_Control) {
            return true;
        }
    }
    return false;
}

} // namespace quilvant::Redaction
