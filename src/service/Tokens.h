#pragma once

#include <string>
#include <string_view>

// Access tokens: 256 random bits shown once to whoever creates them, stored only as their SHA-256 digest.
namespace quilvant::service::Tokens {

// A new secret token: "qvs_" followed by 64 hexadecimal digits.
std::string generate();
// A new public identifier of a token, for lists, logs and the command line: "t" and 12 hexadecimal digits.
std::string generateId();
// A new request identifier: 32 hexadecimal digits.
std::string generateRequestId();
// The hexadecimal SHA-256 digest of `token`, the only form in which tokens are stored and looked up.
std::string digest(std::string_view token);

} // namespace quilvant::service::Tokens
