#include "service/Api.h"

#include "service/TermList.h"

#include <array>
#include <nlohmann/json.hpp>

namespace quilvant::service {

namespace {

using nlohmann::json;

constexpr std::array<ErrorInfo, 19> table = {{
    {"moderation_blocked", 422, "The text does not meet the usage guidelines."},
    {"moderation_review", 422, "The text needs review before it can be used."},
    {"moderation_unavailable", 503, "Safety checks are unavailable."},
    {"moderation_rate_limit", 429, "Too many moderation requests for this token."},
    {"moderation_text_too_long", 413, "The text is too long to check."},
    {"text_too_long", 413, "The text is too long to translate."},
    {"rate_limit", 429, "Too many translations for this token."},
    {"translation_failed", 502, "The translation failed."},
    {"provider_unavailable", 502, "The translation provider is unavailable."},
    {"not_configured", 503, "This service has no translation provider configured."},
    {"service_unavailable", 503, "The service is unavailable."},
    {"allowance_exhausted", 402, "The token's allowance does not cover this text."},
    {"invalid_token", 401, "The access token is missing, unknown or revoked."},
    {"invalid_request", 400, "The request is not understood."},
    {"unsupported_target", 400, "The target language is not supported."},
    {"privacy_required", 400, "The request lacks the privacy header."},
    {"headers_too_large", 431, "The request headers are too large."},
    {"not_found", 404, "There is nothing here."},
    {"method_not_allowed", 405, "The method is not allowed here."},
}};

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> languages = {{
    {"zh-Hans", "Simplified Chinese"},
    {"zh-Hant", "Traditional Chinese"},
    {"ja", "Japanese"},
    {"ko", "Korean"},
    {"fr", "French"},
    {"en", "English"},
}};

std::string dump(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string event(std::string_view name, const json& data)
{
    std::string text = "event: ";
    text.append(name);
    text += "\ndata: ";
    text += dump(data);
    text += "\n\n";
    return text;
}

// The body as a JSON object, or nothing.
std::optional<json> object(std::string_view body)
{
    json value = json::parse(body, nullptr, false);
    if (!value.is_object()) {
        return std::nullopt;
    }
    return value;
}

const std::string* stringMember(const json& object, const char* name)
{
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

bool optionalStringOk(const json& object, const char* name)
{
    return !object.contains(name) || object.at(name).is_string();
}

bool blank(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

} // namespace

const ErrorInfo& errorInfo(ErrorCode code)
{
    return table.at(static_cast<std::size_t>(code));
}

std::string errorBody(ErrorCode code)
{
    const ErrorInfo& info = errorInfo(code);
    return dump({{"error", {{"code", info.code}, {"message", info.message}}}});
}

std::string deltaEvent(std::string_view text)
{
    return event("delta", {{"text", text}});
}

std::string doneEvent(std::string_view text, std::int64_t remainingCharacters, std::string_view requestId)
{
    return event("done", {{"text", text}, {"remainingCharacters", remainingCharacters}, {"requestID", requestId}});
}

std::string errorEvent(ErrorCode code)
{
    const ErrorInfo& info = errorInfo(code);
    return event("error", {{"error", {{"code", info.code}, {"message", info.message}}}});
}

std::optional<std::string_view> languageName(std::string_view code)
{
    for (const auto& [known, name] : languages) {
        if (known == code) {
            return name;
        }
    }
    return std::nullopt;
}

Decoded<TranslateRequest> decodeTranslate(std::string_view body, std::int64_t characterLimit)
{
    Decoded<TranslateRequest> result;
    const auto root = object(body);
    if (!root) {
        return result;
    }
    const std::string* source = stringMember(*root, "source");
    const std::string* target = stringMember(*root, "target");
    if (source == nullptr || target == nullptr || blank(*source) || !optionalStringOk(*root, "requestID")) {
        return result;
    }
    const auto name = languageName(*target);
    if (!name) {
        result.error = ErrorCode::UnsupportedTarget;
        return result;
    }
    const auto characters = static_cast<std::int64_t>(codePoints(*source));
    if (characters > characterLimit) {
        result.error = ErrorCode::TextTooLong;
        return result;
    }
    result.request = TranslateRequest{*source, *target, std::string(*name), characters};
    return result;
}

Decoded<ModerateRequest> decodeModerate(std::string_view body, std::int64_t characterLimit)
{
    Decoded<ModerateRequest> result;
    const auto root = object(body);
    if (!root) {
        return result;
    }
    const std::string* text = stringMember(*root, "text");
    const std::string* stage = stringMember(*root, "stage");
    if (text == nullptr || stage == nullptr || (*stage != "input" && *stage != "output") ||
        !optionalStringOk(*root, "requestID")) {
        return result;
    }
    const auto characters = static_cast<std::int64_t>(codePoints(*text));
    if (characters > characterLimit) {
        result.error = ErrorCode::ModerationTextTooLong;
        return result;
    }
    result.request = ModerateRequest{*text, *stage, characters};
    return result;
}

} // namespace quilvant::service
