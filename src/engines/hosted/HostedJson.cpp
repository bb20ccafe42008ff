#include "engines/hosted/HostedJson.h"

#include <limits>

namespace quilvant::HostedJson {

namespace {

Error decodingError(const QString& record, const QString& detail)
{
    return Error::system(QStringLiteral("Could not decode the hosted service's %1 record: %2.").arg(record, detail));
}

QString fieldName(const char* field)
{
    return QString::fromUtf8(field);
}

QString fromJsonString(const nlohmann::json& value)
{
    const auto& text = value.get_ref<const std::string&>();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

Outcome<nlohmann::json> parseObject(const QByteArray& bytes, const QString& record)
{
    nlohmann::json value = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (value.is_discarded()) {
        return decodingError(record, QStringLiteral("the data is not valid JSON"));
    }
    if (!value.is_object()) {
        return decodingError(record, QStringLiteral("expected an object"));
    }
    return value;
}

Outcome<nlohmann::json> requiredObject(const nlohmann::json& object, const char* field, const QString& record)
{
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) {
        return decodingError(record, QStringLiteral("\"%1\" is missing").arg(fieldName(field)));
    }
    if (!it->is_object()) {
        return decodingError(record, QStringLiteral("\"%1\" is not an object").arg(fieldName(field)));
    }
    return *it;
}

Outcome<QString> requiredString(const nlohmann::json& object, const char* field, const QString& record)
{
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) {
        return decodingError(record, QStringLiteral("\"%1\" is missing").arg(fieldName(field)));
    }
    if (!it->is_string()) {
        return decodingError(record, QStringLiteral("\"%1\" is not a string").arg(fieldName(field)));
    }
    return fromJsonString(*it);
}

Outcome<qint64> requiredInteger(const nlohmann::json& object, const char* field, const QString& record)
{
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) {
        return decodingError(record, QStringLiteral("\"%1\" is missing").arg(fieldName(field)));
    }
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<qint64>::max())) {
            return decodingError(record, QStringLiteral("\"%1\" is out of range").arg(fieldName(field)));
        }
        return static_cast<qint64>(value);
    }
    if (!it->is_number_integer()) {
        return decodingError(record, QStringLiteral("\"%1\" is not an integer").arg(fieldName(field)));
    }
    return static_cast<qint64>(it->get<std::int64_t>());
}

Outcome<std::optional<QString>> optionalString(const nlohmann::json& object, const char* field, const QString& record)
{
    const auto it = object.find(field);
    if (it == object.end() || it->is_null()) {
        return std::optional<QString>();
    }
    if (!it->is_string()) {
        return decodingError(record, QStringLiteral("\"%1\" is not a string").arg(fieldName(field)));
    }
    return std::optional<QString>(fromJsonString(*it));
}

} // namespace quilvant::HostedJson
