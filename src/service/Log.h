#pragma once

#include <string>
#include <string_view>
#include <vector>

// The service's log: one line per event on standard error (the journal, under systemd). Nothing that comes
// from outside goes into a line unredacted: access tokens, bearer values and the configured upstream keys are
// replaced, control characters become spaces, and the result is cut to a bounded length.
namespace quilvant::service::Log {

// Secrets that must never appear in a line (the upstream and moderation keys). Call before serving.
void setSecrets(std::vector<std::string> secrets);

// `text` with every secret, access token and bearer value replaced by "[redacted]", control characters
// replaced by spaces, and cut to at most `limit` bytes (at a character boundary).
std::string redact(std::string_view text, std::size_t limit = 400);

// Writes one line ("quilvant-service: " + text) with a single write, whole or not at all.
void line(std::string_view text);

} // namespace quilvant::service::Log
