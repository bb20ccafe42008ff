#pragma once

#include "core/Outcome.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <nlohmann/json.hpp>

// What the app-server child is started with and how its error objects read: shared by the connection and the
// translation turns.
namespace quilvant::Codex {

using Json = nlohmann::json;

// The command line after the executable: configuration overrides that switch off everything but the model,
// then "app-server --listen stdio://" (41 arguments).
QStringList arguments();

// The caller's environment with PATH replaced by a fixed search path that starts with the executable's own
// folder (where package managers put the runtime such a CLI is launched with).
QProcessEnvironment environment(const QString& executable);
QString searchPath(const QString& executable);

// "kestu-translation" inside the private temporary directory, created when missing.
Outcome<QString> workingDirectory();

// The text to show for a JSON-RPC error object: an error JSON embedded in its message yields the inner message
// as it stands, any other message (or the request-failed fallback) goes through the interface catalogue.
QString errorText(const Json& error);

// JSON string <-> QString (UTF-8 on the wire).
inline QString string(const Json& value)
{
    return QString::fromStdString(value.get_ref<const std::string&>());
}
inline std::string utf8(const QString& text)
{
    return text.toStdString();
}

// The member `key` of `object` when it is a string, nullptr otherwise (also when `object` is no object).
const std::string* stringMember(const Json& object, const char* key);
// The member `key` of `object` when it is an object, nullptr otherwise.
const Json* objectMember(const Json& object, const char* key);

} // namespace quilvant::Codex
