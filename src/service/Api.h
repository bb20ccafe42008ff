#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The wire contract with the desktop client: error codes with their HTTP statuses, the JSON request bodies and
// the server-sent events of a translation.
namespace quilvant::service {

enum class ErrorCode
{
    ModerationBlocked,
    ModerationReview,
    ModerationUnavailable,
    ModerationRateLimit,
    ModerationTextTooLong,
    TextTooLong,
    RateLimit,
    TranslationFailed,
    ProviderUnavailable,
    NotConfigured,
    ServiceUnavailable,
    AllowanceExhausted,
    InvalidToken,
    InvalidRequest,
    UnsupportedTarget,
    PrivacyRequired,
    HeadersTooLarge,
    NotFound,
    MethodNotAllowed,
};

struct ErrorInfo
{
    std::string_view code;    // as the client matches it
    unsigned status;          // the HTTP status of a response that is this error
    std::string_view message; // for people reading the body; the client shows its own text for the code
};

const ErrorInfo& errorInfo(ErrorCode code);

// {"error":{"code":…,"message":…}}, the body of an error response and the payload of an "error" event.
std::string errorBody(ErrorCode code);

// One server-sent event: "event: NAME\ndata: JSON\n\n".
std::string deltaEvent(std::string_view text);
std::string doneEvent(std::string_view text, std::int64_t remainingCharacters, std::string_view requestId);
std::string errorEvent(ErrorCode code);

// The header that says the client shows its privacy terms, and the only value it sends.
inline constexpr std::string_view privacyHeader = "X-Quilvant-Privacy";
inline constexpr std::string_view privacyValue = "norvel-sift-1";

struct TranslateRequest
{
    std::string source;       // as sent, untrimmed
    std::string target;       // a language code the service knows
    std::string languageName; // its English name, for the prompt
    std::int64_t characters = 0;
};

struct ModerateRequest
{
    std::string text;
    std::string stage; // "input" or "output"
    std::int64_t characters = 0;
};

template <typename T>
struct Decoded
{
    std::optional<T> request;
    ErrorCode error = ErrorCode::InvalidRequest; // when there is no request
};

// The body of POST /v1/translate: a JSON object with the strings `source` (not blank, at most `characterLimit`
// code points) and `target` (a known language code); `requestID` may be present and is not used.
Decoded<TranslateRequest> decodeTranslate(std::string_view body, std::int64_t characterLimit);
// The body of POST /v1/moderate: the strings `text` (at most `characterLimit` code points) and `stage`
// ("input" or "output"); `requestID` may be present and is not used.
Decoded<ModerateRequest> decodeModerate(std::string_view body, std::int64_t characterLimit);

// The English name of a target language code ("zh-Hans" is "Simplified Chinese"), or nothing.
std::optional<std::string_view> languageName(std::string_view code);

} // namespace quilvant::service
