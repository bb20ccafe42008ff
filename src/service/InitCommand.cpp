#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "service/CommandLine.h"
#include "service/Files.h"
#include "service/Log.h"
#include "service/ProviderCheck.h"
#include "service/Terminal.h"
#include "service/Tokens.h"
#include "service/Upstream.h"
#include "service/UserUnit.h"

#include <QString>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

namespace quilvant::service {

namespace {

constexpr unsigned short defaultPort = 8739;
constexpr std::size_t maxKeyBytes = 4096; // longer than any provider's key

} // namespace

int initCommand(const Arguments& arguments)
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
    const std::string key = readSecretLine("Upstream API key (empty for none): ", maxKeyBytes);
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
    const std::unique_ptr<Store> store = openStore(*loaded.config, true);
    if (!store) {
        return 1;
    }

    // The configuration stays as written either way: the person learns what to fix.
    const std::string refused = checkProvider(loaded.config->upstream);
    if (!refused.empty()) {
        std::cerr << "quilvant-service: warning: " << refused << "\n";
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

} // namespace quilvant::service
