#pragma once

#include "core/Diagnostics.h"
#include "engines/minimax/MiniMaxClient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QtTest>
#include <memory>
#include <optional>

namespace quilvant::test {

// One translation as the caller saw it.
struct TranslationTrace
{
    QStringList updates;
    std::optional<Outcome<QString>> result;
    int completions = 0;

    bool finished() const { return completions > 0; }
    bool succeeded() const { return result && result->ok(); }
    QString text() const { return succeeded() ? result->value() : QString(); }
    QString failure() const { return result && !result->ok() ? result->error().description() : QString(); }
    bool isAppFailure() const { return result && !result->ok() && result->error().isAppFailure(); }
    bool isCancelled() const { return result && !result->ok() && result->error().isCancelled(); }
};

inline std::shared_ptr<TranslationTrace> startTranslation(MiniMaxClient& client, const MiniMaxRequest& request,
                                                          Cancellation* handle = nullptr)
{
    auto trace = std::make_shared<TranslationTrace>();
    Cancellation cancellation = client.translate(
        request, [trace](const QString& text) { trace->updates.append(text); },
        [trace](Outcome<QString> outcome) {
            ++trace->completions;
            trace->result = std::move(outcome);
        });
    if (handle != nullptr) {
        *handle = cancellation;
    }
    return trace;
}

// "data: {...}\n\n" for one event with a content delta and an optional finish reason.
inline QByteArray contentEvent(const QString& content, const QString& finishReason = {})
{
    QJsonObject choice{{QStringLiteral("delta"), QJsonObject{{QStringLiteral("content"), content}}}};
    if (!finishReason.isEmpty()) {
        choice.insert(QStringLiteral("finish_reason"), finishReason);
    }
    const QJsonObject event{{QStringLiteral("choices"), QJsonArray{choice}}};
    return "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

inline QByteArray reasoningEvent(const QString& reasoning)
{
    const QJsonObject choice{{QStringLiteral("delta"), QJsonObject{{QStringLiteral("reasoning_content"), reasoning}}}};
    return "data: " +
           QJsonDocument(QJsonObject{{QStringLiteral("choices"), QJsonArray{choice}}}).toJson(QJsonDocument::Compact) +
           "\n\n";
}

// Lines appended to the diagnostics log since `offset`, without their time stamps; moves `offset` on.
inline QStringList newDiagnostics(qint64& offset)
{
    QFile file(Diagnostics::logPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    file.seek(offset);
    const QByteArray bytes = file.readAll();
    offset += bytes.size();
    QStringList lines;
    for (const QByteArray& line : bytes.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0) {
            lines.append(QString::fromUtf8(line.mid(space + 1)));
        }
    }
    return lines;
}

inline qint64 diagnosticsEnd()
{
    return QFileInfo(Diagnostics::logPath()).size();
}

} // namespace quilvant::test
