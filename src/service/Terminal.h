#pragma once

#include <cstddef>
#include <string>

// The command line's side of a terminal: outside text made safe to print, and a secret read without echo.
namespace quilvant::service {

// Outside text bound for a terminal: control characters become spaces.
std::string printable(std::string text);

// The first line of standard input (read without echo on a terminal, after `prompt`), with trailing blanks
// removed; at most `limit` + 1 bytes are read, so a longer line shows as longer than `limit`.
std::string readSecretLine(const char* prompt, std::size_t limit);

} // namespace quilvant::service
