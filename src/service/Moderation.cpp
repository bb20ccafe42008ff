#include "service/Moderation.h"

#include "service/Log.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <nlohmann/json.hpp>

namespace quilvant::service {

namespace http = boost::beast::http;

Moderator::Loaded Moderator::load(const ModerationConfig& config, const UpstreamConfig& upstream, const Limits& limits)
{
    Loaded loaded;
    Moderator moderator;
    for (const auto& [path, list, name] : {std::tuple{&config.blockList, &moderator.m_block, "blockList"},
                                           std::tuple{&config.reviewList, &moderator.m_review, "reviewList"}}) {
        if (path->empty()) {
            continue;
        }
        std::string error;
        auto terms = TermList::load(*path, &error);
        if (!terms) {
            loaded.error = std::string("moderation.") + name + ": " + error;
            return loaded;
        }
        *list = std::move(*terms);
    }
    if (!config.url.empty()) {
        moderator.m_remote = Endpoint::parse(config.url);
        if (!moderator.m_remote) {
            loaded.error = "moderation.url must be an http or https URL";
            return loaded;
        }
        moderator.m_model = config.model;
        moderator.m_key = config.key;
        // Without a key of its own, the endpoint of the translation provider gets the provider's key.
        const auto provider = Endpoint::parse(upstream.url);
        if (moderator.m_key.empty() && config.keyFile.empty() && provider &&
            provider->host == moderator.m_remote->host) {
            moderator.m_key = upstream.key;
        }
    }
    moderator.m_timeout = limits.upstreamIdle;
    loaded.moderator = std::move(moderator);
    return loaded;
}

Verdict Moderator::local(std::string_view text) const
{
    if (!hasLists()) {
        return Verdict::Allow;
    }
    const std::string folded = foldText(text);
    if (m_block.matchesFolded(folded)) {
        return Verdict::Blocked;
    }
    return m_review.matchesFolded(folded) ? Verdict::Review : Verdict::Allow;
}

boost::asio::awaitable<Verdict> Moderator::check(Upstream& upstream, std::string_view text) const
{
    const Verdict listed = local(text);
    if (listed != Verdict::Allow || !m_remote) {
        co_return listed;
    }
    nlohmann::json request = {{"input", text}};
    if (!m_model.empty()) {
        request["model"] = m_model;
    }
    try {
        const Clock::time_point deadline = Clock::now() + m_timeout;
        const std::string body = request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::optional<http::response_parser<http::string_body>> parser;
        // A kept-alive connection the endpoint has closed meanwhile fails before its first byte: try once more
        // on a new one.
        for (bool retried = false; !parser || !parser->is_done();) {
            auto call = co_await upstream.post(*m_remote, body, m_key, "application/json", m_timeout);
            parser.emplace();
            parser->body_limit(m_answerLimit);
            parser->eager(true);
            std::string bytes;
            std::string pending;
            bool received = false;
            while (!parser->is_done()) {
                boost::system::error_code error;
                try {
                    co_await call->readSome(bytes, m_timeout, deadline);
                } catch (const boost::system::system_error& failure) {
                    error = failure.code();
                }
                if (!received && call->reused() && !retried && (error || bytes.empty())) {
                    break;
                }
                if (error) {
                    throw boost::system::system_error(error);
                }
                received = true;
                if (bytes.empty()) {
                    parser->put_eof(error);
                    if (error || !parser->is_done()) {
                        throw boost::system::system_error(error ? error : http::error::partial_message);
                    }
                    break;
                }
                pending += bytes;
                const std::size_t used = parser->put(boost::asio::buffer(pending), error);
                pending.erase(0, used);
                if (error && error != http::error::need_more) {
                    throw boost::system::system_error(error);
                }
            }
            retried = true;
            if (parser->is_done() && parser->keep_alive() && pending.empty()) {
                call->release();
            }
        }
        const unsigned status = parser->get().result_int();
        if (status < 200 || status > 299) {
            Log::line("moderation.failed status=" + std::to_string(status) +
                      " body=" + Log::redact(parser->get().body(), 300));
            co_return Verdict::Unavailable;
        }
        const Verdict verdict = moderationVerdict(parser->get().body());
        if (verdict == Verdict::Unavailable) {
            Log::line("moderation.failed reason=\"not a moderation answer\"");
        }
        co_return verdict;
    } catch (const boost::system::system_error& failure) {
        Log::line("moderation.failed reason=\"" + Log::redact(failure.code().message()) + "\"");
        co_return Verdict::Unavailable;
    }
}

Verdict moderationVerdict(std::string_view body)
{
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    if (!answer.is_object() || !answer.contains("results") || !answer.at("results").is_array() ||
        answer.at("results").empty()) {
        return Verdict::Unavailable;
    }
    for (const auto& result : answer.at("results")) {
        if (!result.is_object() || !result.contains("flagged") || !result.at("flagged").is_boolean()) {
            return Verdict::Unavailable;
        }
        if (result.at("flagged").get<bool>()) {
            return Verdict::Blocked;
        }
    }
    return Verdict::Allow;
}

} // namespace quilvant::service
