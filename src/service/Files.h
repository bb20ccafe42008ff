#pragma once

#include <string>

// Small file chores of the command-line side: bounded reads, private writes, directories.
namespace quilvant::service {

struct FileText
{
    std::string value;
    std::string error; // set when the read failed

    explicit operator bool() const { return error.empty(); }
};

// The whole file, refused when it holds more than `limit` bytes.
FileText readSmallFile(const std::string& path, std::size_t limit);

// Writes `content` to `path` through a temporary file renamed into place, readable by the owner only (or with
// `mode`). Returns an error message, empty on success.
std::string writeFileAtomically(const std::string& path, const std::string& content, unsigned mode = 0600);

// Creates `path` and its missing parents with `mode`. Returns an error message, empty on success.
std::string makeDirectories(const std::string& path, unsigned mode = 0700);

} // namespace quilvant::service
