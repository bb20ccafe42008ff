#pragma once

#include <string>
#include <vector>

// Other programs the command line starts, and its own path.
namespace quilvant::service {

// Runs a program (no shell) and returns its exit status, or -1 when it could not start.
int runProgram(const std::vector<std::string>& command);

// The absolute path of this executable.
std::string selfPath();

} // namespace quilvant::service
