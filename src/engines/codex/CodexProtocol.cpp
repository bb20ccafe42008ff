#include "engines/codex/CodexProtocol.h"

#include "core/PrivateTempDir.h"
#include "core/Redaction.h"
#include "foundation/L.h"

#include <QDir>
#include <QFileInfo>

namespace quilvant::Codex {

namespace {

const QString requestFailedKey = QStringLiteral("Codex 请求失败，请检查网络、模型名称和登录状态。");

} // namespace

QStringList arguments()
{
    QStringList arguments;
    const QStringList overrides = {
        QStringLiteral("mcp_servers={}"),          QStringLiteral("plugins={}"),
        QStringLiteral("project_doc_max_bytes=0"), QStringLiteral("skills.max_context_tokens=1"),
        QStringLiteral("web_search=\"disabled\""),
    };
    for (const QString& value : overrides) {
        arguments << QStringLiteral("-c") << value;
    }
    const QStringList features = {
        QStringLiteral("shell_tool"),     QStringLiteral("apps"),
        QStringLiteral("plugins"),        QStringLiteral("multi_agent"),
        QStringLiteral("hooks"),          QStringLiteral("browser_use"),
        QStringLiteral("computer_use"),   QStringLiteral("tool_suggest"),
        QStringLiteral("remote_plugin"),  QStringLiteral("view_image"),
        QStringLiteral("code_mode_host"), QStringLiteral("goals"),
        QStringLiteral("sleep_tool"),     QStringLiteral("workspace_dependencies"),
    };
    for (const QString& feature : features) {
        arguments << QStringLiteral("-c") << QStringLiteral("features.") + feature + QStringLiteral("=false");
    }
    arguments << QStringLiteral("app-server") << QStringLiteral("--listen") << QStringLiteral("stdio://");
    return arguments;
}

QString searchPath(const QString& executable)
{
    // A desktop session's PATH is often minimal or unrelated to the login shell's; the CLI (and the runtime
    // its launcher needs) live in one of these folders.
    QStringList folders;
    const QString own = QFileInfo(executable).absolutePath();
    if (!executable.isEmpty() && !own.isEmpty()) {
        folders << own;
    }
    folders << QDir::homePath() + QStringLiteral("/.local/bin") << QStringLiteral("/usr/local/bin")
            << QStringLiteral("/usr/bin") << QStringLiteral("/bin") << QStringLiteral("/usr/local/sbin")
            << QStringLiteral("/usr/sbin") << QStringLiteral("/sbin");
    folders.removeDuplicates();
    return folders.join(QLatin1Char(':'));
}

QProcessEnvironment environment(const QString& executable)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), searchPath(executable));
    return environment;
}

Outcome<QString> workingDirectory()
{
    const Outcome<QString> base = PrivateTempDir::path();
    if (!base) {
        return base.error();
    }
    const QString path = QDir(base.value()).filePath(QStringLiteral("kestu-translation"));
    if (!QDir().mkpath(path)) {
        return Error::system(QStringLiteral("Cannot create the directory ") + path);
    }
    return path;
}

const std::string* stringMember(const Json& object, const char* key)
{
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

const Json* objectMember(const Json& object, const char* key)
{
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? &*it : nullptr;
}

QString errorText(const Json& error)
{
    const std::string* message = stringMember(error, "message");
    const QString text = message != nullptr ? QString::fromStdString(*message) : requestFailedKey;

    // Some failures arrive as the upstream service's own error JSON inside the message; its message is the
    // useful part and is shown as the service wrote it.
    // The child's own words are cut to a readable length; no secret of ours is ever given to it.
    const Json inner = Json::parse(utf8(text), nullptr, false);
    if (const Json* innerError = objectMember(inner, "error")) {
        const std::string* innerMessage = stringMember(*innerError, "message");
        return Redaction::firstCharacters(innerMessage != nullptr ? QString::fromStdString(*innerMessage) : text);
    }
    return Redaction::firstCharacters(L::t(text));
}

} // namespace quilvant::Codex
