#pragma once

#include "core/Outcome.h"

#include <QByteArray>
#include <QString>
#include <nlohmann/json.hpp>

// Decoding of the hosted service's JSON records with the strictness of a typed decoder: a required field that
// is missing or of another type is a decoding error that names the record and the field.
namespace quilvant::HostedJson {

// `bytes` as a JSON object; a parse error or another JSON type is an error naming `record`.
Outcome<nlohmann::json> parseObject(const QByteArray& bytes, const QString& record);

Outcome<nlohmann::json> requiredObject(const nlohmann::json& object, const char* field, const QString& record);
Outcome<QString> requiredString(const nlohmann::json& object, const char* field, const QString& record);
Outcome<qint64> requiredInteger(const nlohmann::json& object, const char* field, const QString& record);

// Absent and null read as nullopt; another type is an error.
Outcome<std::optional<QString>> optionalString(const nlohmann::json& object, const char* field, const QString& record);

} // namespace quilvant::HostedJson
