#include "engines/hosted/HostedErrors.h"

#include "engines/hosted/HostedJson.h"
#include "foundation/L.h"

#include <QHash>

namespace quilvant::HostedErrors {

QString messageFor(const QString& code)
{
    static const QHash<QString, QString> keys = [] {
        QHash<QString, QString> table;
        const auto add = [&table](const char* name, const char* key) {
            table.insert(QString::fromUtf8(name), QString::fromUtf8(key));
        };
        add("moderation_blocked", "该内容不符合使用规范。");
        add("moderation_review", "该内容需进一步审核，请稍后重试。此次不扣额度。");
        add("moderation_unavailable", "审核服务暂不可用，请稍后重试。此次不扣额度。");
        add("moderation_rate_limit", "请求较多，请稍后重试。此次不扣额度。");
        add("moderation_text_too_long", "文字过长，请缩小选区。");
        add("text_too_long", "文字过长，请缩小选区。");
        add("rate_limit", "操作过于频繁，请稍后重试。");
        add("translation_failed", "翻译失败，请重试。此次不扣额度。");
        add("provider_unavailable", "翻译失败，请重试。此次不扣额度。");
        add("not_configured", "服务暂时不可用，请稍后重试。");
        add("service_unavailable", "服务暂时不可用，请稍后重试。");
        return table;
    }();
    return L::t(keys.value(code, QStringLiteral("暂时无法完成，请稍后重试。")));
}

Outcome<QString> failureCode(const QByteArray& json)
{
    const auto object = HostedJson::parseObject(json, QStringLiteral("error"));
    if (!object) {
        return object.error();
    }
    const auto detail = HostedJson::requiredObject(object.value(), "error", QStringLiteral("error"));
    if (!detail) {
        return detail.error();
    }
    const auto code = HostedJson::requiredString(detail.value(), "code", QStringLiteral("error"));
    if (!code) {
        return code.error();
    }
    // The service's own wording is decoded but never shown: the code decides the message.
    if (const auto message = HostedJson::requiredString(detail.value(), "message", QStringLiteral("error")); !message) {
        return message.error();
    }
    return code.value();
}

Error responseFailure(const QByteArray& body)
{
    const auto code = failureCode(body);
    if (!code) {
        return AppFailure{L::t(QStringLiteral("服务暂时不可用，请稍后重试。"))};
    }
    return AppFailure{messageFor(code.value())};
}

} // namespace quilvant::HostedErrors
