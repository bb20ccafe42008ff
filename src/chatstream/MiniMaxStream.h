#pragma once

#include "chatstream/StreamFailure.h"
#include "chatstream/VisibleText.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <nlohmann/json_fwd.hpp>
#include <optional>

namespace quilvant {

// Assembles the chat-completions event stream of one translation: lines into events, events into text, with
// the model's reasoning kept out of what the user sees.
class MiniMaxStream
{
public:
    // The data lines of one event may add up to this many characters (excluded).
    static constexpr qsizetype eventLimit = 2'000'000;

    // `secret` (the API key) is hidden in every message taken from the server.
    explicit MiniMaxStream(QString secret = {});

    // Feeds one event-stream line without its line ending.
    StreamOutcome<void> line(const QString& line);
    // Dispatches the pending event, if any.
    StreamOutcome<void> flush();
    // The final visible text, or the failure that ends the translation.
    StreamOutcome<QString> completedText() const;

    // What the user may see of the content received so far, kept up to date with each event.
    const QString& visibleText() const { return m_visible.text(); }
    bool done() const { return m_done; }
    const std::optional<QString>& finishReason() const { return m_finishReason; }
    qint64 reasoningCharacters() const { return m_reasoningCharacters; }

    // The text a user may see of a whole answer: complete <think> blocks removed, an unterminated one hidden to
    // the end, a tag still arriving hidden, white space trimmed.
    static QString visible(const QString& text);
    // What a decoded reply reports as its failure, or nothing when it reports success: the status, the
    // provider's code and the server's own wording, with `secret` hidden, then cut to 500 characters.
    static std::optional<QString> serverFailure(const nlohmann::json& object, int http, const QString& secret = {});
    // The same for raw bytes; a body that is not a JSON object counts as an empty object.
    static std::optional<QString> serverFailure(const QByteArray& body, int http, const QString& secret = {});
    // The visible translation of a whole (not streamed) chat-completion body, or the failure it reports.
    static StreamOutcome<QString> wholeBody(const QByteArray& body, int http, const QString& secret = {});

private:
    QString m_secret;
    QStringList m_dataLines;
    qsizetype m_dataSize = 0;
    VisibleText m_visible;
    bool m_done = false;
    std::optional<QString> m_finishReason;
    qint64 m_reasoningCharacters = 0;
};

} // namespace quilvant
