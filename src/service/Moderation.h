#pragma once

#include "service/Config.h"
#include "service/TermList.h"
#include "service/Upstream.h"

#include <boost/asio/awaitable.hpp>
#include <optional>
#include <string>

// The moderation chain: the local block and review lists first, then (when configured) an OpenAI-style
// /v1/moderations endpoint. The length limits are checked where the requests are decoded.
namespace quilvant::service {

enum class Verdict
{
    Allow,
    Blocked,
    Review,
    Unavailable,
};

class Moderator
{
public:
    // Loads the lists named by `config`; fails with a message when one cannot be read or the URL is invalid.
    struct Loaded;
    static Loaded load(const ModerationConfig& config, const UpstreamConfig& upstream, const Limits& limits);

    // The lists alone: quick, no I/O, for every delta of a stream.
    Verdict local(std::string_view text) const;
    bool hasLists() const { return !m_block.empty() || !m_review.empty(); }
    bool hasRemote() const { return m_remote.has_value(); }
    // The whole chain. Never throws: an unreachable endpoint is Unavailable.
    boost::asio::awaitable<Verdict> check(Upstream& upstream, std::string_view text) const;

private:
    TermList m_block;
    TermList m_review;
    std::optional<Endpoint> m_remote;
    std::string m_model;
    std::string m_key;
    Clock::duration m_timeout{};
    std::size_t m_answerLimit = 1 << 20;
};

struct Moderator::Loaded
{
    std::optional<Moderator> moderator;
    std::string error;
};

// The verdict in an OpenAI-style moderation answer: Blocked when any result is flagged, Allow when none is,
// Unavailable when the body is not such an answer.
Verdict moderationVerdict(std::string_view body);

} // namespace quilvant::service
