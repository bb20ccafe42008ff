#include "foundation/EngineKind.h"

#include "foundation/L.h"
#include "foundation/Settings.h"

namespace quilvant::Engines {

EngineKind fromStored(const std::optional<QString>& stored)
{
    if (!stored) {
        return EngineKind::Hosted;
    }
    for (const EngineKind kind : all) {
        if (*stored == storedName(kind)) {
            return kind;
        }
    }
    return EngineKind::Codex;
}

EngineKind fromSettings()
{
    const std::optional<QVariant> stored = Settings::value(Settings::Key::engine);
    return fromStored(stored ? std::optional<QString>(stored->toString()) : std::nullopt);
}

// Literals, not namespace-scope strings: other files initialise their own constants from this before main().
QString storedName(EngineKind kind)
{
    switch (kind) {
    case EngineKind::Hosted:
        return QStringLiteral("Sorn");
    case EngineKind::MiniMax:
        return QStringLiteral("MiniMax");
    case EngineKind::Codex:
        break;
    }
    return QStringLiteral("Codex");
}

QString label(EngineKind kind)
{
    switch (kind) {
    case EngineKind::Hosted:
        return QStringLiteral("Quilvant · ") + L::t(QStringLiteral("翻译服务"));
    case EngineKind::MiniMax:
        return QStringLiteral("MiniMax · ") + L::t(QStringLiteral("自带 API Key"));
    case EngineKind::Codex:
        break;
    }
    return QStringLiteral("Codex · ") + L::t(QStringLiteral("高级设置"));
}

std::optional<EngineKind> fromCommandLine(const QString& name)
{
    if (name.compare(QLatin1String("hosted"), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String("quilvant"), Qt::CaseInsensitive) == 0) {
        return EngineKind::Hosted;
    }
    for (const EngineKind kind : all) {
        if (name.compare(storedName(kind), Qt::CaseInsensitive) == 0) {
            return kind;
        }
    }
    return std::nullopt;
}

} // namespace quilvant::Engines
