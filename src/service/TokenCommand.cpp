#include "service/CommandLine.h"
#include "service/Log.h"
#include "service/Terminal.h"
#include "service/Tokens.h"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

namespace quilvant::service {

namespace {

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

} // namespace

int tokenCommand(const Arguments& arguments)
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
    const std::unique_ptr<Store> store = openStore(*config, action == "create" && arguments.has("--create-database"));
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

} // namespace quilvant::service
