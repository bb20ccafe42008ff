#pragma once

#include "chatstream/StreamFailure.h"
#include "core/Outcome.h"

#include <QString>

namespace quilvant {

// The failure messages of the chat-completions engine, as catalogue keys (shown through L::t).
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

// What the person is shown for a failure of the chat-completions parsing, in the interface language.
Error streamError(const StreamFailure& failure);

} // namespace quilvant
