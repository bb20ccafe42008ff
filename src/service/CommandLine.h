#pragma once

#include "core/Clock.h"
#include "service/Config.h"
#include "service/Store.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What every command of quilvant-service shares: the parsed command line, its whole-number options, the
// configuration and the store it names, and the way a failure is said.
namespace quilvant::service {

extern const char* const usage;

struct Arguments
{
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    std::string error;

    bool has(const std::string& name) const { return options.count(name) > 0; }
    std::string value(const std::string& name, const std::string& fallback = {}) const;
};

Arguments parseArguments(const std::vector<std::string>& arguments);

// A whole number option within [minimum, maximum]; nothing (and a message) otherwise.
std::optional<std::int64_t> number(const Arguments& arguments, const std::string& name, std::int64_t fallback,
                                   std::int64_t minimum, std::int64_t maximum);

// Says `message` on standard error and returns 1, the status of work that failed.
int fail(const std::string& message);

// The configuration --config names (or the default one); nothing, and a message said, when it is not usable.
std::optional<ServiceConfig> configFrom(const Arguments& arguments);

// The store of `config` with one connection; nothing, and a message said, when it cannot be opened. Creates no
// database unless `create`: a command that would silently start an empty one hides a lost database.
std::unique_ptr<Store> openStore(const ServiceConfig& config, bool create);

using quilvant::Clock::unixNow;

} // namespace quilvant::service

namespace quilvant::service {

// The commands, each in a file of its own.
int serveCommand(const Arguments& arguments);
int tokenCommand(const Arguments& arguments);
int initCommand(const Arguments& arguments);

} // namespace quilvant::service
