#include "service/ProviderCheck.h"

#include "service/Log.h"
#include "service/Terminal.h"
#include "service/Upstream.h"
#include "service/UpstreamResponse.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

namespace quilvant::service {

namespace {

namespace asio = boost::asio;

constexpr auto timeout = std::chrono::seconds(20);

struct Answer
{
    unsigned status = 0;
    std::string failure; // the connection failed
    std::string message; // the provider's own words, when it sent an error object
};

asio::awaitable<Answer> ask(Upstream& upstream, const Endpoint& endpoint, const UpstreamConfig& config)
{
    Answer answer;
    nlohmann::json body = nlohmann::json::parse(config.extra, nullptr, false);
    if (!body.is_object()) {
        body = nlohmann::json::object();
    }
    body["model"] = config.model;
    body["stream"] = true;
    body["max_tokens"] = 1;
    body["messages"] = nlohmann::json::array({{{"role", "user"}, {"content", "Hi"}}});
    try {
        const auto call = co_await upstream.post(endpoint, body.dump(), config.key, "text/event-stream", timeout);
        UpstreamResponse response(1 << 20);
        std::string bytes;
        const auto deadline = Clock::now() + timeout;
        while (!response.headed() || (!response.success() && !response.finished())) {
            co_await call->readSome(bytes, timeout, deadline);
            if (bytes.empty()) {
                response.end();
                break;
            }
            response.feed(bytes);
        }
        answer.status = response.status();
        const auto error = nlohmann::json::parse(response.errorBody(), nullptr, false);
        if (error.is_object() && error.contains("error") && error["error"].is_object() &&
            error["error"].value("message", nlohmann::json()).is_string()) {
            answer.message = error["error"]["message"].get<std::string>();
        }
        if (answer.status == 0) {
            answer.failure = response.failure();
        }
    } catch (const boost::system::system_error& failure) {
        answer.failure = failure.code().message();
    }
    co_return answer;
}

} // namespace

std::string checkProvider(const UpstreamConfig& config)
{
    const auto endpoint = Endpoint::parse(config.url);
    if (!endpoint) {
        return "the upstream address is not an http or https URL; run init again with --upstream URL";
    }
    asio::io_context context;
    asio::ssl::context tls(asio::ssl::context::tls_client);
    tls.set_default_verify_paths();
    Upstream upstream(context.get_executor(), tls);
    Answer answer;
    asio::co_spawn(context, ask(upstream, *endpoint, config), [&answer](std::exception_ptr failure, Answer result) {
        if (!failure) {
            answer = std::move(result);
        } else {
            answer.failure = "the check failed";
        }
    });
    context.run();
    const std::string said =
        answer.message.empty() ? "" : " (it says: \"" + printable(Log::redact(answer.message, 200)) + "\")";
    if (!answer.failure.empty()) {
        return "could not reach the upstream at " + config.url + ": " + printable(answer.failure) +
               ". Check the address and run init again with the right --upstream URL.";
    }
    if (answer.status >= 200 && answer.status <= 299) {
        return {};
    }
    const std::string status = "the upstream answered HTTP " + std::to_string(answer.status) + said;
    if (answer.status == 401 || answer.status == 403) {
        return status + ": it refuses the key; run init again and paste the right key.";
    }
    if (answer.status == 404) {
        return status + ": the address or the model is wrong. Check --upstream (the full "
                        "…/v1/chat/completions address) and --model, and run init again.";
    }
    if (answer.status == 400 || answer.status == 422) {
        return status + ": it refuses the request, most often for the model name. Check --model and run init "
                        "again.";
    }
    return status + ". Check the upstream and run init again once it answers.";
}

} // namespace quilvant::service
