#pragma once

#include "core/Outcome.h"

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
    // Feeds one event-stream line without its line ending.
    Outcome<void> line(const QString& line);
    // Dispatches the pending event, if any.
    Outcome<void> flush();
    // The final visible text, or the failure that ends the translation.
    Outcome<QString> completedText() const;

    const QString& text() const { return m_text; }
    bool done() const { return m_done; }
    const std::optional<QString>& finishReason() const { return m_finishReason; }
    qint64 reasoningCharacters() const { return m_reasoningCharacters; }

    // The text a user may see: complete <think> blocks removed, an unterminated one hidden to the end, a tag
    // still arriving hidden, white space trimmed.
    static QString visible(const QString& text);
    // The failure message a decoded reply reports, or nothing when it reports success.
    static std::optional<QString> serverFailure(const nlohmann::json& object, int http);
    // The same for raw bytes; a body that is not a JSON object counts as an empty object.
    static std::optional<QString> serverFailure(const QByteArray& body, int http);

private:
    QStringList m_dataLines;
    QString m_text;
    bool m_done = false;
    std::optional<QString> m_finishReason;
    qint64 m_reasoningCharacters = 0;
};

// The failure messages of the MiniMax engine, as catalogue keys (shown through L::t).
namespace MiniMaxMessage {
inline const QString missingKey = QStringLiteral("请先在设置中保存 MiniMax API Key。");
inline const QString missingModel = QStringLiteral("请先在设置中填写 MiniMax 模型名称。");
inline const QString invalidEndpoint = QStringLiteral("请填写有效的 HTTPS API 地址。");
inline const QString notHttp = QStringLiteral("MiniMax 未返回有效的 HTTP 响应。");
inline const QString bodyTooLarge = QStringLiteral("MiniMax 返回的数据过大，已停止读取。");
inline const QString eventTooLarge = QStringLiteral("MiniMax 流式事件过大，已停止读取。");
inline const QString invalidStream = QStringLiteral("MiniMax 返回了无法解析的流式数据，请重试。");
inline const QString streamTruncated = QStringLiteral("MiniMax 译文被长度限制截断，请缩小选区后重试。");
inline const QString bodyTruncated = QStringLiteral("MiniMax 译文被长度限制截断，请缩小选区重试。");
inline const QString incomplete = QStringLiteral("MiniMax 未完整返回译文，请重试；当前部分内容未缓存。");
inline const QString noTranslation = QStringLiteral("MiniMax 未返回译文，请检查模型或重试。");
} // namespace MiniMaxMessage

} // namespace quilvant
