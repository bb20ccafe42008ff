#include "chatstream/MiniMaxStream.h"

#include "core/Redaction.h"

#include <QTextBoundaryFinder>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace quilvant {

namespace {

using nlohmann::json;

// Characters as a reader counts them (grapheme clusters), so a combined emoji or accented letter is one.
qint64 characterCount(const QString& text)
{
    qint64 count = 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    while (finder.toNextBoundary() > 0) {
        ++count;
    }
    return count;
}

QString stringOf(const json& value)
{
    const auto& s = value.get_ref<const json::string_t&>();
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

const json* member(const json& object, const char* name)
{
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

const json* stringMember(const json& object, const char* name)
{
    const json* value = member(object, name);
    return value != nullptr && value->is_string() ? value : nullptr;
}

// The integer value of a JSON number, clamped to the range of the type (a float out of range has none).
std::optional<qint64> integerOf(const json& value)
{
    if (value.is_number_integer() && value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                                  : static_cast<qint64>(u);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        if (!std::isfinite(d)) {
            return std::nullopt;
        }
        if (d >= 9.2e18) {
            return std::numeric_limits<qint64>::max();
        }
        if (d <= -9.2e18) {
            return std::numeric_limits<qint64>::min();
        }
        return static_cast<qint64>(d);
    }
    return std::nullopt;
}

// The parser's own message quotes the bytes around the fault, which may be anything a server echoes (a key
// included); only the position is kept.
StreamFailure parseError(const json::exception& error)
{
    const auto* parse = dynamic_cast<const json::parse_error*>(&error);
    return {StreamFailure::Kind::NotJson,
            parse != nullptr ? QStringLiteral("JSON parse error in a stream event at byte %1.").arg(parse->byte)
                             : QStringLiteral("JSON parse error in a stream event.")};
}

} // namespace

MiniMaxStream::MiniMaxStream(QString secret)
    : m_secret(std::move(secret))
{}

StreamOutcome<void> MiniMaxStream::line(const QString& line)
{
    if (line.isEmpty()) {
        return flush();
    }
    if (line.startsWith(QLatin1String("data:"))) {
        QString payload = line.mid(5);
        if (payload.startsWith(QLatin1Char(' '))) {
            payload.remove(0, 1);
        }
        // The lines of one event are joined by line feeds: each one counts one more character.
        m_dataSize += payload.size() + (m_dataLines.isEmpty() ? 0 : 1);
        if (m_dataSize >= eventLimit) {
            return StreamFailure{StreamFailure::Kind::EventTooLarge};
        }
        m_dataLines.append(payload);
    }
    return {};
}

StreamOutcome<void> MiniMaxStream::flush()
{
    if (m_dataLines.isEmpty()) {
        return {};
    }
    const QString payload = m_dataLines.join(QLatin1Char('\n'));
    m_dataLines.clear();
    m_dataSize = 0;
    if (payload == QLatin1String("[DONE]")) {
        m_done = true;
        return {};
    }
    const QByteArray bytes = payload.toUtf8();
    json object;
    try {
        object = json::parse(bytes.constBegin(), bytes.constEnd());
    } catch (const json::exception& error) {
        return parseError(error);
    }
    if (!object.is_object()) {
        return StreamFailure{StreamFailure::Kind::NotAnObject};
    }
    if (auto failure = serverFailure(object, 200, m_secret)) {
        return StreamFailure{StreamFailure::Kind::Server, std::move(*failure), 200};
    }
    const json* choices = member(object, "choices");
    if (choices == nullptr || !choices->is_array()) {
        return {};
    }
    for (const json& choice : *choices) {
        const json* delta = member(choice, "delta");
        if (delta != nullptr && delta->is_object()) {
            if (const json* content = stringMember(*delta, "content")) {
                m_visible.append(stringOf(*content));
            }
            if (const json* reasoning = stringMember(*delta, "reasoning_content")) {
                m_reasoningCharacters += characterCount(stringOf(*reasoning));
            }
        }
        if (const json* reason = stringMember(choice, "finish_reason")) {
            m_finishReason = stringOf(*reason);
        }
    }
    return {};
}

StreamOutcome<QString> MiniMaxStream::completedText() const
{
    if (m_finishReason == QStringLiteral("length")) {
        return StreamFailure{StreamFailure::Kind::Truncated};
    }
    const bool complete = m_finishReason ? *m_finishReason == QLatin1String("stop") : m_done;
    if (!complete || visibleText().isEmpty()) {
        return StreamFailure{StreamFailure::Kind::Incomplete};
    }
    return visibleText();
}

QString MiniMaxStream::visible(const QString& text)
{
    VisibleText visible;
    visible.append(text);
    return visible.text();
}

std::optional<QString> MiniMaxStream::serverFailure(const json& object, int http, const QString& secret)
{
    const json* baseResp = member(object, "base_resp");
    const json* error = member(object, "error");
    if (baseResp != nullptr && !baseResp->is_object()) {
        baseResp = nullptr;
    }
    if (error != nullptr && !error->is_object()) {
        error = nullptr;
    }
    std::optional<qint64> code;
    if (baseResp != nullptr) {
        if (const json* status = member(*baseResp, "status_code"); status != nullptr && status->is_number()) {
            code = integerOf(*status);
        }
    }
    const bool httpOk = http >= 200 && http <= 299;
    if (httpOk && error == nullptr && (!code || *code == 0)) {
        return std::nullopt;
    }

    QString message = QStringLiteral("服务未提供具体错误说明。");
    if (const json* text = error != nullptr ? stringMember(*error, "message") : nullptr) {
        message = stringOf(*text);
    } else if (const json* status = baseResp != nullptr ? stringMember(*baseResp, "status_msg") : nullptr) {
        message = stringOf(*status);
    } else if (const json* top = stringMember(object, "message")) {
        message = stringOf(*top);
    }

    QString composed = QStringLiteral("MiniMax request failed (HTTP ") + QString::number(http);
    if (code && *code != 0) {
        composed += QStringLiteral(", code ") + QString::number(*code);
    }
    composed += QStringLiteral("): ") + Redaction::redacted(message, {secret});
    return composed;
}

std::optional<QString> MiniMaxStream::serverFailure(const QByteArray& body, int http, const QString& secret)
{
    json object = json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    if (!object.is_object()) {
        object = json::object();
    }
    return serverFailure(object, http, secret);
}

StreamOutcome<QString> MiniMaxStream::wholeBody(const QByteArray& body, int http, const QString& secret)
{
    json object = json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    if (!object.is_object()) {
        object = json::object();
    }
    if (auto failure = serverFailure(object, http, secret)) {
        return StreamFailure{StreamFailure::Kind::Server, std::move(*failure), http};
    }
    QString content;
    const json* choices = member(object, "choices");
    if (choices != nullptr && choices->is_array() && !choices->empty()) {
        const json& first = choices->front();
        if (const json* reason = stringMember(first, "finish_reason"); reason != nullptr && *reason == "length") {
            return StreamFailure{StreamFailure::Kind::BodyTruncated};
        }
        if (const json* message = member(first, "message"); message != nullptr && message->is_object()) {
            if (const json* text = stringMember(*message, "content")) {
                content = stringOf(*text);
            }
        }
    }
    const QString result = visible(content);
    if (result.isEmpty()) {
        return StreamFailure{StreamFailure::Kind::NoTranslation};
    }
    return result;
}

} // namespace quilvant
