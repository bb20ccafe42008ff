#include "engines/codex/CodexClient.h"
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

std::optional<QString> codexPath()
{
    for (const QString& candidate : codexCandidates()) {
        if (candidate.isEmpty()) {
            continue;
        }
        const QFileInfo file(candidate);
        if (file.isFile() && file.isExecutable()) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace quilvant::Translation
