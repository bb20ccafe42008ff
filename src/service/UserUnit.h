#pragma once

#include <string>

// The systemd user unit that `init` installs, so that a person's own service runs at every login.
namespace quilvant::service {

// One word of a unit's command line: quoted, with systemd's specifiers and variables kept literal.
std::string unitWord(const std::string& word);

// Installs and starts the unit where systemd manages the user's session. Returns what happened, for the
// summary.
std::string installUserUnit(const std::string& configPath);

} // namespace quilvant::service
