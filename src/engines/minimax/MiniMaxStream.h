#pragma once

#include "core/Outcome.h"
#include "engines/minimax/VisibleText.h"

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
    Outcome<void> line(const QString& line);
    // Dispatches the pending event, if any.
    Outcome<void> flush();
    // The final visible text, or the failure that ends the translation.
    Outcome<QString> completedText() const;

    // What the user may see of the content received so far, kept up to date with each event.
    const QString& visibleText() const { return m_visible.text(); }
    bool done() const { return m_done; }
    const std::optional<QString>& finishReason() const { return m_finishReason; }
    qint64 reasoningCharacters() const { return m_reasoningCharacters; }

    // The text a user may see of a whole answer: complete <think> blocks removed, an unterminated one hidden to
    // the end, a tag still arriving hidden, white space trimmed.
    static QString visible(const QString& text);
    // The failure message a decoded reply reports, or nothing when it reports success. The server's own wording
    // has `secret` hidden, then is cut to 500 characters.
    static std::optional<QString> serverFailure(const nlohmann::json& object, int http, const QString& secret = {});
    // The same for raw bytes; a body that is not a JSON object counts as an empty object.
    static std::optional<QString> serverFailure(const QByteArray& body, int http, const QString& secret = {});
    // The visible translation of a whole (not streamed) chat-completion body, or the failure it reports.
    static Outcome<QString> wholeBody(const QByteArray& body, int http, const QString& secret = {});

private:
    QString m_secret;
    QStringList m_dataLines;
    qsizetype m_dataSize = 0;
    VisibleText m_visible;
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
inline const QString keyHasControlCharacters = QStringLiteral("MiniMax API Key 含有控制字符，请在设置中重新保存。");
// %1: the HTTP status; %2: where it points.
inline const QString redirected =
    QStringLiteral("MiniMax 接口地址被重定向（HTTP %1）到 %2，请在设置中填写最终的 API 地址。");
inline const QString redirectedNowhere =
    QStringLiteral("MiniMax 接口地址被重定向（HTTP %1），但未给出新地址，请检查设置中的 API 地址。");
} // namespace MiniMaxMessage

} // namespace quilvant
