#pragma once

#include <string>
#include <vector>

// The command line of quilvant-service: serve, init, token create/list/top-up/revoke.
namespace quilvant::service {

// Runs the command named by `arguments` (without the program name) and returns the exit status: 0 on success,
// 1 when the work failed, 2 for a command line that is not understood.
int runCommand(const std::vector<std::string>& arguments);

} // namespace quilvant::service
