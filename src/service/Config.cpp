#include "service/Config.h"

#include "service/Files.h"

#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace quilvant::service {

namespace {

using nlohmann::json;

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string xdgDirectory(const char* variable, const char* fallback)
{
    std::string base = environment(variable);
    if (base.empty() || base.front() != '/') {
        base = environment("HOME") + fallback;
    }
    return base + "/quilvant-service";
}

// Reads one member into `target` when present; a member of the wrong type is an error naming it.
class Reader
{
public:
    explicit Reader(std::string& error)
        : m_error(error)
    {}

    template <typename T>
    void read(const json& object, const char* section, const char* name, T& target)
    {
        if (!m_error.empty() || !object.is_object() || !object.contains(name)) {
            return;
        }
        const json& value = object.at(name);
        const std::string where = section[0] != '\0' ? std::string(section) + "." + name : std::string(name);
        if constexpr (std::is_same_v<T, std::string>) {
            if (!value.is_string()) {
                m_error = where + " must be a string";
                return;
            }
            target = value.get<std::string>();
        } else if constexpr (std::is_same_v<T, bool>) {
            if (!value.is_boolean()) {
                m_error = where + " must be true or false";
                return;
            }
            target = value.get<bool>();
        } else if constexpr (std::is_same_v<T, Seconds>) {
            if (!value.is_number_integer() || value.get<std::int64_t>() < 1 || value.get<std::int64_t>() > 86400) {
                m_error = where + " must be a whole number of seconds from 1 to 86400";
                return;
            }
            target = Seconds(value.get<std::int64_t>());
        } else {
            if (!value.is_number_integer() || value.get<std::int64_t>() < 0) {
                m_error = where + " must be a whole number, 0 or more";
                return;
            }
            target = static_cast<T>(value.get<std::int64_t>());
        }
    }

private:
    std::string& m_error;
};

// The first member of `object` not among `known`, as "section.name"; empty when there is none. A misspelt
// setting would otherwise be a limit that silently does not apply.
std::string unknownMember(const json& object, const char* section, const std::set<std::string>& known)
{
    if (!object.is_object()) {
        return {};
    }
    for (const auto& [name, value] : object.items()) {
        if (known.count(name) == 0) {
            return section[0] != '\0' ? std::string(section) + "." + name : name;
        }
    }
    return {};
}

// The key in a key file: its first line, without the line ending.
std::optional<std::string> readKey(const std::string& path, std::string& error, const char* field)
{
    auto text = readSmallFile(path, 64 * 1024);
    if (!text) {
        error = std::string(field) + ": " + text.error;
        return std::nullopt;
    }
    std::string key = text.value;
    key = key.substr(0, key.find('\n'));
    if (!key.empty() && key.back() == '\r') {
        key.pop_back();
    }
    return key;
}

} // namespace

std::size_t Limits::requestBodyBytes() const
{
    if (bodyBytes != 0) {
        return bodyBytes;
    }
    // A code point takes at most 12 bytes of JSON (a surrogate pair escaped), plus room for the other fields;
    // a limit too large to multiply means no practical limit, not a small one.
    const auto characters = static_cast<std::uint64_t>(std::max(translateCharacters, moderateCharacters));
    constexpr std::uint64_t most = std::numeric_limits<std::size_t>::max();
    return characters > (most - 4096) / 12 ? static_cast<std::size_t>(most)
                                           : static_cast<std::size_t>(characters * 12 + 4096);
}

ConfigResult loadConfig(const std::string& path)
{
    ConfigResult result;
    auto text = readSmallFile(path, 1 << 20);
    if (!text) {
        result.error = text.error;
        return result;
    }
    const json root = json::parse(text.value, nullptr, false);
    if (!root.is_object()) {
        result.error = path + " is not a JSON object";
        return result;
    }
    ServiceConfig config;
    std::string& error = result.error;
    for (const auto& [section, known] : std::initializer_list<std::pair<const char*, std::set<std::string>>>{
             {"",
              {"listen", "database", "tlsCertificate", "tlsKey", "ioThreads", "databaseThreads", "accessLog", "metrics",
               "upstream", "moderation", "limits"}},
             {"upstream", {"url", "model", "keyFile", "prompt", "extra"}},
             {"moderation", {"blockList", "reviewList", "url", "model", "keyFile"}},
             {"limits",
              {"translateCharacters", "moderateCharacters", "translationCharacters", "headerBytes", "bodyBytes",
               "upstreamBytes", "idleSeconds", "headerSeconds", "bodySeconds", "writeSeconds", "upstreamIdleSeconds",
               "upstreamTotalSeconds", "shutdownSeconds", "rateWindowSeconds", "connections"}}}) {
        const json& object = section[0] == '\0' ? root : root.value(section, json::object());
        if (const std::string unknown = unknownMember(object, section, known); !unknown.empty()) {
            result.error = "unknown setting \"" + unknown + "\" (misspelt?)";
            return result;
        }
    }
    Reader reader(error);
    reader.read(root, "", "listen", config.listen);
    reader.read(root, "", "database", config.database);
    reader.read(root, "", "tlsCertificate", config.tlsCertificate);
    reader.read(root, "", "tlsKey", config.tlsKey);
    reader.read(root, "", "ioThreads", config.ioThreads);
    reader.read(root, "", "databaseThreads", config.databaseThreads);
    reader.read(root, "", "accessLog", config.accessLog);
    reader.read(root, "", "metrics", config.metrics);
    const json empty = json::object();
    const json& upstream = root.value("upstream", empty);
    reader.read(upstream, "upstream", "url", config.upstream.url);
    reader.read(upstream, "upstream", "model", config.upstream.model);
    reader.read(upstream, "upstream", "keyFile", config.upstream.keyFile);
    reader.read(upstream, "upstream", "prompt", config.upstream.prompt);
    if (error.empty() && upstream.is_object() && upstream.contains("extra")) {
        if (!upstream.at("extra").is_object()) {
            error = "upstream.extra must be a JSON object";
        } else {
            config.upstream.extra = upstream.at("extra").dump();
        }
    }
    const json& moderation = root.value("moderation", empty);
    reader.read(moderation, "moderation", "blockList", config.moderation.blockList);
    reader.read(moderation, "moderation", "reviewList", config.moderation.reviewList);
    reader.read(moderation, "moderation", "url", config.moderation.url);
    reader.read(moderation, "moderation", "model", config.moderation.model);
    reader.read(moderation, "moderation", "keyFile", config.moderation.keyFile);
    const json& limits = root.value("limits", empty);
    Limits& l = config.limits;
    reader.read(limits, "limits", "translateCharacters", l.translateCharacters);
    reader.read(limits, "limits", "moderateCharacters", l.moderateCharacters);
    reader.read(limits, "limits", "translationCharacters", l.translationCharacters);
    reader.read(limits, "limits", "headerBytes", l.headerBytes);
    reader.read(limits, "limits", "bodyBytes", l.bodyBytes);
    reader.read(limits, "limits", "upstreamBytes", l.upstreamBytes);
    reader.read(limits, "limits", "idleSeconds", l.idle);
    reader.read(limits, "limits", "headerSeconds", l.header);
    reader.read(limits, "limits", "bodySeconds", l.body);
    reader.read(limits, "limits", "writeSeconds", l.write);
    reader.read(limits, "limits", "upstreamIdleSeconds", l.upstreamIdle);
    reader.read(limits, "limits", "upstreamTotalSeconds", l.upstreamTotal);
    reader.read(limits, "limits", "shutdownSeconds", l.shutdown);
    reader.read(limits, "limits", "rateWindowSeconds", l.rateWindowSeconds);
    reader.read(limits, "limits", "connections", l.connections);
    if (!error.empty()) {
        return result;
    }
    if (config.database.empty()) {
        config.database = "sqlite:" + dataDirectory() + "/service.db";
    }
    if (l.translateCharacters < 1 || l.moderateCharacters < 1 || l.translationCharacters < 1 ||
        l.rateWindowSeconds < 1 || l.headerBytes < 1024 || l.connections < 1) {
        error = "limits: character limits, rateWindowSeconds and connections must be at least 1, headerBytes at "
                "least 1024";
        return result;
    }
    if (config.tlsCertificate.empty() != config.tlsKey.empty()) {
        error = "tlsCertificate and tlsKey go together";
        return result;
    }
    if (!config.upstream.keyFile.empty()) {
        auto key = readKey(config.upstream.keyFile, error, "upstream.keyFile");
        if (!key) {
            return result;
        }
        config.upstream.key = *key;
    }
    if (!config.moderation.keyFile.empty()) {
        auto key = readKey(config.moderation.keyFile, error, "moderation.keyFile");
        if (!key) {
            return result;
        }
        config.moderation.key = *key;
    }
    result.config = std::move(config);
    return result;
}

std::string configDirectory()
{
    return xdgDirectory("XDG_CONFIG_HOME", "/.config");
}

std::string dataDirectory()
{
    return xdgDirectory("XDG_DATA_HOME", "/.local/share");
}

std::string defaultConfigPath()
{
    return configDirectory() + "/config.json";
}

} // namespace quilvant::service
