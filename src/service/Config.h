#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The service's configuration: a JSON file written by `init` or by an operator. Every field has a default
// except the upstream, without which translations answer "not_configured".
namespace quilvant::service {

using Seconds = std::chrono::seconds;

struct UpstreamConfig
{
    std::string url;     // an OpenAI-style chat-completions endpoint, http or https
    std::string model;   // sent as "model"
    std::string keyFile; // file holding the bearer key; empty: no Authorization header (a local server)
    std::string key;     // read from keyFile at load, never written anywhere
    // The system prompt; "{language}" becomes the target language's English name.
    std::string prompt = "Translate the user's text into {language}. Reply with the translation only, keeping "
                         "the line breaks; add no notes or explanations.";
    std::string extra = "{}"; // a JSON object merged into every request body (temperature and the like)
};

struct ModerationConfig
{
    std::string blockList;  // one term per line; a match answers "moderation_blocked"
    std::string reviewList; // one term per line; a match answers "moderation_review"
    std::string url;        // optional OpenAI-style /v1/moderations endpoint
    std::string model;      // optional "model" of those requests
    std::string keyFile;    // bearer key of that endpoint; empty: the upstream's key when hosts match, else none
    std::string key;
};

struct Limits
{
    std::int64_t translateCharacters = 5000; // longest source text, in Unicode code points
    std::int64_t moderateCharacters = 20000; // longest text to moderate
    // Longest translation, in code points: what one translation may cost, whatever the provider sends.
    std::int64_t translationCharacters = 20000;
    std::size_t headerBytes = 8192;      // request line and headers
    std::size_t bodyBytes = 0;           // request body; 0: derived from the character limits
    std::size_t upstreamBytes = 8 << 20; // one upstream response, all of it
    Seconds idle{60};                    // a kept-alive connection waiting for its next request
    Seconds header{10};                  // the whole header of a request, from its first byte
    Seconds body{30};                    // the whole body of a request
    Seconds write{30};                   // one write to a client that does not read
    Seconds upstreamIdle{60};            // silence of the upstream within one answer
    Seconds upstreamTotal{180};          // one upstream answer, start to end
    Seconds shutdown{30};                // open streams may finish for this long after SIGTERM
    std::int64_t rateWindowSeconds = 60; // the window a token's request limits count in
    std::size_t connections = 20000;     // open client connections per process

    std::size_t requestBodyBytes() const;
};

struct ServiceConfig
{
    std::string listen = "127.0.0.1:8739"; // address:port; port 0 picks a free one (printed at start)
    std::string database;                  // "sqlite:PATH" or "postgresql:CONNINFO"
    UpstreamConfig upstream;
    ModerationConfig moderation;
    Limits limits;
    std::string tlsCertificate; // PEM chain; with tlsKey the service speaks HTTPS itself
    std::string tlsKey;
    unsigned ioThreads = 0;       // 0: one per core
    unsigned databaseThreads = 0; // 0: 1 for SQLite, 8 for PostgreSQL
    bool accessLog = true;
    bool metrics = true; // serve GET /metrics

    bool upstreamConfigured() const { return !upstream.url.empty() && !upstream.model.empty(); }
};

// Reads and checks the file at `path` (and the key files it names). Fails with a message naming the field.
struct ConfigResult
{
    std::optional<ServiceConfig> config;
    std::string error;
};
ConfigResult loadConfig(const std::string& path);

// Where a person's own service keeps its files: $XDG_CONFIG_HOME/quilvant-service and
// $XDG_DATA_HOME/quilvant-service (with the usual fallbacks under $HOME).
std::string configDirectory();
std::string dataDirectory();
std::string defaultConfigPath();

} // namespace quilvant::service
