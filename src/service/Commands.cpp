#include "service/Commands.h"

#include "core/Clock.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "service/Config.h"
#include "service/Files.h"
#include "service/Log.h"
#include "service/Moderation.h"
#include "service/Server.h"
#include "service/Store.h"
#include "service/Tokens.h"
#include "service/Upstream.h"

#include <QString>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace quilvant::service {

namespace {

constexpr const char* usage = R"(Usage: quilvant-service [--config FILE] COMMAND [OPTIONS]

Serves Quilvant's hosted translation to one person or to many.

Commands:
  serve                         serve until SIGTERM (the configuration comes from --config)
  init --upstream URL --model NAME [--port N] [--characters N] [--no-unit]
                                set up a service for this user: configuration, database, a token for this
                                user's Quilvant (saved in the keyring) and, where systemd runs for the user,
                                a user unit started now and at every login. The upstream key is read from
                                standard input (an empty line for none).
  token create --label NAME --characters N [--per-minute N] [--moderations-per-minute N]
                                create a token; its secret is printed once, on standard output
  token list [--json]           list the tokens
  token top-up TOKEN --characters N
                                add to a token's allowance (TOKEN is its id or its label)
  token revoke TOKEN            revoke a token at once

--config FILE defaults to $XDG_CONFIG_HOME/quilvant-service/config.json.
)";

constexpr unsigned short defaultPort = 8739;
constexpr std::size_t maxKeyBytes = 4096; // longer than any provider's key

struct Arguments
{
    std::vector<std::string> words;
    std::map<std::string, std::string> options;
    std::string error;

    bool has(const std::string& name) const { return options.count(name) > 0; }
    std::string value(const std::string& name, const std::string& fallback = {}) const
    {
        const auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

Arguments parse(const std::vector<std::string>& arguments)
{
    static const std::vector<std::string> withValue = {
        "--config", "--upstream",   "--model",      "--port",
        "--label",  "--characters", "--per-minute", "--moderations-per-minute"};
    static const std::vector<std::string> flags = {"--no-unit", "--json", "--help", "--version"};
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

// A whole number option within [minimum, maximum]; nothing (and a message) otherwise.
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

using quilvant::Clock::unixNow;

// Outside text bound for a terminal: control characters become spaces.
std::string printable(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return text;
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

std::unique_ptr<Store> openStore(const ServiceConfig& config)
{
    try {
        return Store::open(config.database, 1);
    } catch (const StoreError& failure) {
        fail("database: " + Log::redact(failure.what()));
        return nullptr;
    }
}

int serve(const Arguments& arguments)
{
    const auto config = configFrom(arguments);
    if (!config) {
        return 1;
    }
    Log::setSecrets({config->upstream.key, config->moderation.key});
    std::signal(SIGPIPE, SIG_IGN);
    // Every stream holds two descriptors (the client's and the upstream's): take all the system allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const Moderator::Loaded moderator = Moderator::load(config->moderation, config->upstream, config->limits);
    if (!moderator.moderator) {
        return fail("configuration: " + moderator.error);
    }
    const bool postgres = config->database.rfind("postgresql:", 0) == 0;
    const unsigned databaseThreads = config->databaseThreads > 0 ? config->databaseThreads : postgres ? 8 : 1;
    std::unique_ptr<Store> store;
    try {
        store = Store::open(config->database, databaseThreads);
    } catch (const StoreError& failure) {
        return fail("database: " + Log::redact(failure.what()));
    }
    Database database(std::move(store), databaseThreads);
    Server server(*config, database, *moderator.moderator);
    if (const std::string error = server.prepare(); !error.empty()) {
        return fail(error);
    }
    if (!config->upstreamConfigured()) {
        Log::line("warning: no upstream is configured; translations answer not_configured");
    }
    Log::line("listening on " + config->listen.substr(0, config->listen.rfind(':')) + ":" +
              std::to_string(server.port()) + (config->tlsCertificate.empty() ? " (http)" : " (https)"));
    return server.run();
}

int tokenCreate(const Arguments& arguments, Store& store)
{
    const std::string label = arguments.value("--label");
    if (label.empty() || label.size() > 200) {
        return fail("token create needs --label NAME (at most 200 bytes)");
    }
    const auto characters = number(arguments, "--characters", -1, 0, 1'000'000'000'000);
    const auto perMinute = number(arguments, "--per-minute", 60, 0, 1'000'000);
    if (!characters || !perMinute) {
        return 2;
    }
    if (*characters < 0) {
        return fail("token create needs --characters N");
    }
    const auto moderations = number(arguments, "--moderations-per-minute", *perMinute * 4, 0, 4'000'000);
    if (!moderations) {
        return 2;
    }
    const std::string secret = Tokens::generate();
    TokenRecord token;
    token.id = Tokens::generateId();
    token.label = label;
    token.remaining = *characters;
    token.perWindow = *perMinute;
    token.moderationsPerWindow = *moderations;
    token.createdAt = unixNow();
    store.createToken(token, Tokens::digest(secret));
    std::cerr << "Created token " << token.id << " (" << printable(label) << ") with " << token.remaining
              << " characters. Its secret follows, shown this once:\n";
    std::cout << secret << std::endl;
    return std::cout.good() ? 0 : 1;
}

int tokenList(const Arguments& arguments, Store& store)
{
    const std::vector<TokenRecord> tokens = store.tokens();
    if (arguments.has("--json")) {
        nlohmann::json list = nlohmann::json::array();
        for (const TokenRecord& token : tokens) {
            list.push_back({{"id", token.id},
                            {"label", token.label},
                            {"remaining", token.remaining},
                            {"used", token.used},
                            {"perMinute", token.perWindow},
                            {"moderationsPerMinute", token.moderationsPerWindow},
                            {"created", token.createdAt},
                            {"revoked", token.revokedAt ? nlohmann::json(*token.revokedAt) : nlohmann::json()}});
        }
        std::cout << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
        return std::cout.good() ? 0 : 1;
    }
    std::printf("%-14s %-24s %14s %14s %10s %s\n", "ID", "LABEL", "REMAINING", "USED", "PER-MINUTE", "STATE");
    for (const TokenRecord& token : tokens) {
        std::printf("%-14s %-24s %14lld %14lld %10lld %s\n", token.id.c_str(), printable(token.label).c_str(),
                    static_cast<long long>(token.remaining), static_cast<long long>(token.used),
                    static_cast<long long>(token.perWindow), token.revokedAt ? "revoked" : "active");
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// The one token `handle` names, or a message.
std::optional<std::string> oneToken(Store& store, const std::string& handle)
{
    const std::vector<std::string> ids = store.resolve(handle);
    if (ids.size() == 1) {
        return ids.front();
    }
    fail(ids.empty() ? "no token has the id or label \"" + printable(handle) + "\""
                     : "several tokens have the label \"" + printable(handle) + "\"; name one by its id");
    return std::nullopt;
}

int token(const Arguments& arguments)
{
    const std::string action = arguments.words.size() > 1 ? arguments.words[1] : "";
    const bool needsTarget = action == "top-up" || action == "revoke";
    if (action != "create" && action != "list" && !needsTarget) {
        std::cerr << usage;
        return 2;
    }
    if (needsTarget && arguments.words.size() != 3) {
        return fail("token " + action + " needs the token's id or label");
    }
    const auto config = configFrom(arguments);
    if (!config) {
        return 1;
    }
    const std::unique_ptr<Store> store = openStore(*config);
    if (!store) {
        return 1;
    }
    try {
        if (action == "create") {
            return tokenCreate(arguments, *store);
        }
        if (action == "list") {
            return tokenList(arguments, *store);
        }
        const auto id = oneToken(*store, arguments.words[2]);
        if (!id) {
            return 1;
        }
        if (action == "revoke") {
            if (!store->revoke(*id, unixNow())) {
                return fail("token " + *id + " was revoked already");
            }
            std::cerr << "Revoked token " << *id << ".\n";
            return 0;
        }
        const auto characters = number(arguments, "--characters", -1, 1, 1'000'000'000'000);
        if (!characters) {
            return 2;
        }
        if (*characters < 0) {
            return fail("token top-up needs --characters N");
        }
        const auto remaining = store->topUp(*id, *characters);
        std::cerr << "Token " << *id << " now has " << remaining.value_or(0) << " characters.\n";
        return remaining ? 0 : 1;
    } catch (const StoreError& failure) {
        return fail("database: " + Log::redact(failure.what()));
    }
}

// The upstream key from standard input: its first line, read without echo on a terminal.
std::string readKey()
{
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::cerr << "Upstream API key (empty for none): " << std::flush;
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
    }
    // One line, and no more of it than any key needs.
    std::string key;
    for (int c = std::cin.get(); c != std::char_traits<char>::eof() && c != '\n' && key.size() <= maxKeyBytes;
         c = std::cin.get()) {
        key.push_back(static_cast<char>(c));
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    while (!key.empty() && (key.back() == '\r' || key.back() == ' ' || key.back() == '\t')) {
        key.pop_back();
    }
    return key;
}

// One word of a unit's command line: quoted, with systemd's specifiers and variables kept literal.
std::string unitWord(const std::string& word)
{
    std::string quoted = "\"";
    for (const char c : word) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        } else if (c == '%' || c == '$') {
            quoted += c;
        }
        quoted += c;
    }
    return quoted + "\"";
}

// Runs a program (no shell) and returns its exit status, or -1 when it could not start.
int runProgram(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string selfPath()
{
    std::array<char, 4096> path{};
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : "quilvant-service";
}

// A user unit that runs the service at every login, installed and started where systemd manages the user's
// session. Returns what happened, for the summary.
std::string installUserUnit(const std::string& configPath)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info = {};
    if (runtime == nullptr || ::stat((std::string(runtime) + "/systemd/private").c_str(), &info) != 0) {
        return "no systemd user session here: start the service with\n  quilvant-service serve";
    }
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string home =
        configHome != nullptr && configHome[0] == '/' ? configHome : std::string(std::getenv("HOME")) + "/.config";
    const std::string directory = home + "/systemd/user";
    if (const std::string error = makeDirectories(directory, 0755); !error.empty()) {
        return "could not install the user unit (" + error + "): start the service with\n  quilvant-service serve";
    }
    const std::string unit = "[Unit]\n"
                             "Description=Quilvant translation service\n"
                             "After=network-online.target\n\n"
                             "[Service]\n"
                             "ExecStart=" +
                             unitWord(selfPath()) + " --config " + unitWord(configPath) +
                             " serve\n"
                             "Restart=on-failure\n"
                             "TimeoutStopSec=45\n\n"
                             "[Install]\n"
                             "WantedBy=default.target\n";
    if (const std::string error = writeFileAtomically(directory + "/quilvant-service.service", unit, 0644);
        !error.empty()) {
        return "could not install the user unit (" + error + "): start the service with\n  quilvant-service serve";
    }
    if (runProgram({"systemctl", "--user", "daemon-reload"}) != 0 ||
        runProgram({"systemctl", "--user", "enable", "quilvant-service.service"}) != 0 ||
        runProgram({"systemctl", "--user", "restart", "quilvant-service.service"}) != 0) {
        return "the user unit is installed but systemctl failed; start it with\n"
               "  systemctl --user enable --now quilvant-service.service";
    }
    return "the service runs now and after every login (systemctl --user status quilvant-service)";
}

int init(const Arguments& arguments)
{
    const std::string upstream = arguments.value("--upstream");
    const std::string model = arguments.value("--model");
    if (!Endpoint::parse(upstream)) {
        return fail("init needs --upstream URL, the http or https address of a chat-completions endpoint "
                    "(for example https://api.example.com/v1/chat/completions)");
    }
    if (model.empty()) {
        return fail("init needs --model NAME, the model the upstream should use");
    }
    const auto port = number(arguments, "--port", defaultPort, 1, 65535);
    const auto characters = number(arguments, "--characters", 100'000'000, 1, 1'000'000'000'000);
    if (!port || !characters) {
        return 2;
    }
    const std::string key = readKey();
    if (key.size() > maxKeyBytes) {
        return fail("the upstream key on standard input is longer than " + std::to_string(maxKeyBytes) + " bytes");
    }

    // Absolute, as the unit and the key file's entry must name it from anywhere.
    const std::string configPath =
        std::filesystem::absolute(arguments.value("--config", defaultConfigPath())).lexically_normal().string();
    const std::string configDir = configPath.substr(0, configPath.rfind('/'));
    for (const std::string& directory : {configDir, dataDirectory()}) {
        if (const std::string error = makeDirectories(directory); !error.empty()) {
            return fail(error);
        }
    }
    // An existing configuration keeps everything but what init sets.
    nlohmann::json config = nlohmann::json::object();
    if (FileText existing = readSmallFile(configPath, 1 << 20); existing) {
        config = nlohmann::json::parse(existing.value, nullptr, false);
        if (!config.is_object()) {
            return fail(configPath + " exists but is not a JSON object; move it away first");
        }
    }
    const std::string keyFile = configDir + "/upstream-key";
    if (!key.empty()) {
        if (const std::string error = writeFileAtomically(keyFile, key + "\n"); !error.empty()) {
            return fail(error);
        }
    }
    config["listen"] = "127.0.0.1:" + std::to_string(*port);
    if (!config.contains("database")) {
        config["database"] = "sqlite:" + dataDirectory() + "/service.db";
    }
    nlohmann::json& section = config["upstream"];
    if (!section.is_object()) {
        section = nlohmann::json::object();
    }
    section["url"] = upstream;
    section["model"] = model;
    if (key.empty()) {
        section.erase("keyFile");
    } else {
        section["keyFile"] = keyFile;
    }
    if (const std::string error = writeFileAtomically(configPath, config.dump(2) + "\n"); !error.empty()) {
        return fail(error);
    }
    const ConfigResult loaded = loadConfig(configPath);
    if (!loaded.config) {
        return fail("configuration " + configPath + ": " + loaded.error);
    }
    const std::unique_ptr<Store> store = openStore(*loaded.config);
    if (!store) {
        return 1;
    }

    const std::string secret = Tokens::generate();
    TokenRecord token;
    token.id = Tokens::generateId();
    token.label = "init";
    token.remaining = *characters;
    token.perWindow = 120;
    token.moderationsPerWindow = 480;
    token.createdAt = unixNow();
    try {
        store->createToken(token, Tokens::digest(secret));
    } catch (const StoreError& failure) {
        return fail("database: " + Log::redact(failure.what()));
    }
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(*port);
    Settings::setValue(Settings::Key::serviceURL, url);
    const auto saved = Secrets::save(QString::fromStdString(secret), Secrets::serviceAccount);
    if (Settings::string(Settings::Key::serviceURL) != url || !saved) {
        store->revoke(token.id, unixNow());
        return fail(
            saved ? "could not write Quilvant's settings file " + Settings::filePath().toStdString()
                  : "could not save the access token in the keyring: " + saved.error().description().toStdString() +
                        ". Unlock the keyring (or start one) and run init again.");
    }
    std::cout << "Quilvant on this computer now translates through " << url.toStdString() << " (token " << token.id
              << ", " << token.remaining << " characters).\n"
              << "Configuration: " << configPath << "\n"
              << (arguments.has("--no-unit") ? "start the service with\n  quilvant-service serve"
                                             : installUserUnit(configPath))
              << std::endl;
    return std::cout.good() ? 0 : 1;
}

} // namespace

int runCommand(const std::vector<std::string>& arguments)
{
    const Arguments parsed = parse(arguments);
    if (!parsed.error.empty()) {
        std::cerr << "quilvant-service: " << parsed.error << "\n\n" << usage;
        return 2;
    }
    if (parsed.has("--version")) {
        std::cout << "quilvant-service " QUILVANT_VERSION "\n";
        return 0;
    }
    const std::string command = parsed.words.empty() ? "" : parsed.words.front();
    if (parsed.has("--help") || command.empty()) {
        std::cout << usage;
        return command.empty() && !parsed.has("--help") ? 2 : 0;
    }
    if (command == "serve" && parsed.words.size() == 1) {
        return serve(parsed);
    }
    if (command == "init" && parsed.words.size() == 1) {
        return init(parsed);
    }
    if (command == "token") {
        return token(parsed);
    }
    std::cerr << "quilvant-service: unknown command \"" << printable(command) << "\"\n\n" << usage;
    return 2;
}

} // namespace quilvant::service
