#include "service/CommandLine.h"

#include "service/Log.h"

#include <algorithm>
#include <iostream>

namespace quilvant::service {

const char* const usage = R"(Usage: quilvant-service [--config FILE] COMMAND [OPTIONS]

Serves Quilvant's hosted translation to one person or to many.

Commands:
  serve                         serve until SIGTERM, SIGINT or SIGHUP (the configuration comes from --config)
  init --upstream URL --model NAME [--port N] [--characters N] [--no-unit]
                                set up a service for this user: configuration, database, a token for this
                                user's Quilvant (saved in the keyring) and, where systemd runs for the user,
                                a user unit started now and at every login. The upstream key is read from
                                standard input (an empty line for none); one short request checks it.
  token create --label NAME --characters N [--per-minute N] [--moderations-per-minute N] [--create-database]
                                create a token; its secret is printed once, on standard output
  token list [--json]           list the tokens
  token top-up TOKEN --characters N
                                add to a token's allowance (TOKEN is its id or its label)
  token revoke TOKEN            revoke a token at once

--config FILE defaults to $XDG_CONFIG_HOME/quilvant-service/config.json. The token commands refuse to create
a database that is not there (it would hide a lost one); --create-database lets token create make it.
)";

std::string Arguments::value(const std::string& name, const std::string& fallback) const
{
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
}

Arguments parseArguments(const std::vector<std::string>& arguments)
{
    static const std::vector<std::string> withValue = {
        "--config", "--upstream",   "--model",      "--port",
        "--label",  "--characters", "--per-minute", "--moderations-per-minute"};
    static const std::vector<std::string> flags = {"--no-unit", "--json", "--help", "--version", "--create-database"};
    Arguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (std::find(withValue.begin(), withValue.end(), argument) != withValue.end()) {
            if (i + 1 >= arguments.size()) {
                parsed.error = argument + " needs a value";
                return parsed;
            }
            parsed.options[argument] = arguments[++i];
        } else if (std::find(flags.begin(), flags.end(), argument) != flags.end()) {
            parsed.options[argument] = "";
        } else if (argument.rfind("--", 0) == 0) {
            parsed.error = "unknown option " + argument;
            return parsed;
        } else {
            parsed.words.push_back(argument);
        }
    }
    return parsed;
}

std::optional<std::int64_t> number(const Arguments& arguments, const std::string& name, std::int64_t fallback,
                                   std::int64_t minimum, std::int64_t maximum)
{
    if (!arguments.has(name)) {
        return fallback;
    }
    const std::string text = arguments.value(name);
    std::int64_t value = 0;
    try {
        std::size_t used = 0;
        value = std::stoll(text, &used);
        if (used != text.size()) {
            throw std::invalid_argument(text);
        }
    } catch (const std::exception&) {
        std::cerr << "quilvant-service: " << name << " needs a whole number, not \"" << text << "\"\n";
        return std::nullopt;
    }
    if (value < minimum || value > maximum) {
        std::cerr << "quilvant-service: " << name << " must be from " << minimum << " to " << maximum << "\n";
        return std::nullopt;
    }
    return value;
}

int fail(const std::string& message)
{
    std::cerr << "quilvant-service: " << message << "\n";
    return 1;
}

std::optional<ServiceConfig> configFrom(const Arguments& arguments)
{
    const std::string path = arguments.value("--config", defaultConfigPath());
    ConfigResult loaded = loadConfig(path);
    if (!loaded.config) {
        fail("configuration " + path + ": " + loaded.error);
    }
    return loaded.config;
}

std::unique_ptr<Store> openStore(const ServiceConfig& config, bool create)
{
    try {
        return Store::open(config.database, 1, create ? Store::Create::Yes : Store::Create::No);
    } catch (const StoreError& failure) {
        fail("database: " + Log::redact(failure.what()));
        return nullptr;
    }
}

} // namespace quilvant::service
