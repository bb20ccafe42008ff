#include "engines/codex/CodexClient.h"
#include "foundation/L.h"
#include "foundation/Settings.h"

#include <QDir>
#include <QFileInfo>

namespace quilvant::Translation {

QStringList codexCandidates()
{
    // The stored setting first, exactly as stored; then the places installers put the CLI: the user's own bin
    // folder, the local prefix (also npm's global prefix on Debian), distribution packages, and the per-user
    // npm prefix that avoids root.
    const QString home = QDir::homePath();
    return {
        Settings::codexPath(),
        home + QStringLiteral("/.local/bin/codex"),
        QStringLiteral("/usr/local/bin/codex"),
        QStringLiteral("/usr/bin/codex"),
        home + QStringLiteral("/.npm-global/bin/codex"),
    };
}

Outcome<QString> codexPath()
{
    const QStringList candidates = codexCandidates();
    for (const QString& candidate : candidates) {
        if (candidate.isEmpty()) {
            continue;
        }
        const QFileInfo file(candidate);
        if (file.isFile() && file.isExecutable()) {
            return file.absoluteFilePath();
        }
    }
    // Nothing to run. A setting that names something which is there but cannot be run says more than "not found".
    const QFileInfo configured(candidates.first());
    if (!candidates.first().isEmpty() && configured.exists()) {
        const QString shown = QDir::toNativeSeparators(configured.absoluteFilePath());
        if (configured.isDir()) {
            return AppFailure{L::t(QStringLiteral("设置中的 Codex CLI 路径是一个文件夹：%1")).arg(shown)};
        }
        return AppFailure{L::t(QStringLiteral("设置中的 Codex CLI 无法执行，请检查文件和执行权限：%1")).arg(shown)};
    }
    return AppFailure{L::t(QStringLiteral("未找到 Codex CLI，请在设置中填写路径，并先运行 codex login。"))};
}

} // namespace quilvant::Translation
