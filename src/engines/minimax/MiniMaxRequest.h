#pragma once

#include "core/Outcome.h"
#include "engines/http/HttpTransport.h"

#include <QString>
#include <QUrl>

namespace quilvant {

// One translation request as the settings and the keyring supply it (untrimmed).
struct MiniMaxRequest
{
    QString text;     // the source text
    QString language; // the target language's English name, as the prompt writes it
    QString endpoint; // the full chat-completions URL
    QString model;
    QString key;      // the API key
    QString thinking; // the thinking setting, e.g. "automatic" or "disabled"
};

// A request that passed the checks, with what the cache and the transfer need.
struct MiniMaxPlan
{
    QUrl url;
    QString model;    // trimmed
    QString key;      // trimmed; hidden in every message from here on
    QString cacheKey; // see cacheKey()
};

namespace MiniMaxRequests {

// The checks made before any cache or network work, in order: a key, a key without control characters, a model,
// an https endpoint with a host. The first that fails gives the message.
Outcome<MiniMaxPlan> check(const MiniMaxRequest& request);

// Lower-case hex SHA-256 of the six parts joined by NUL.
QString cacheKey(const QString& endpoint, const QString& model, const QString& language, const QString& key,
                 const QString& thinking, const QString& text);

// The streamed chat-completions POST (no time limits: the client sets its own).
Outcome<http::HttpRequest> build(const MiniMaxRequest& request, const MiniMaxPlan& plan);

// Only https URLs with a host are endpoints; `text` is used as it stands.
std::optional<QUrl> parseEndpoint(const QString& text);

} // namespace MiniMaxRequests

} // namespace quilvant
