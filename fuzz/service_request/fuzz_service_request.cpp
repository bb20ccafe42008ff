// Whatever the bytes and however they are cut, reading a request ends the same way, within its limits, and a
// decoded body honours the contract (known target, text within the character limit).
#include "../FuzzPieces.h"
#include "service/Api.h"
#include "service/TermList.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

using namespace quilvant;

// A failed expectation names itself before it ends the run.
namespace http = boost::beast::http;

namespace {

constexpr std::int64_t characterLimit = 64;

struct Read
{
    bool done = false;
    bool failed = false;
    std::string target;
    std::string body;
};

Read read(QByteArrayView bytes, QByteArrayView cuts)
{
    Read result;
    http::request_parser<http::string_body> parser;
    parser.header_limit(1024);
    parser.body_limit(2048);
    parser.eager(true);
    std::string pending;
    fuzz::feedInPieces(bytes, cuts, [&](QByteArrayView piece) {
        pending.append(piece.data(), static_cast<std::size_t>(piece.size()));
        EXPECT(pending.size() <= static_cast<std::size_t>(bytes.size()));
        while (!pending.empty() && !parser.is_done()) {
            boost::system::error_code error;
            const std::size_t used = parser.put(boost::asio::buffer(pending), error);
            pending.erase(0, used);
            if (error == http::error::need_more) {
                return true;
            }
            if (error) {
                result.failed = true;
                return false;
            }
        }
        return !parser.is_done();
    });
    result.done = parser.is_done();
    if (result.done) {
        result.target = std::string(parser.get().target());
        result.body = parser.get().body();
        EXPECT(result.body.size() <= 2048);
    }
    return result;
}

void decode(const std::string& body)
{
    const auto translate = service::decodeTranslate(body, characterLimit);
    if (translate.request) {
        EXPECT(static_cast<std::int64_t>(service::codePoints(translate.request->source)) <= characterLimit);
        EXPECT(service::languageName(translate.request->target).has_value());
        EXPECT(translate.request->characters ==
               static_cast<std::int64_t>(service::codePoints(translate.request->source)));
    } else {
        const auto parsed = nlohmann::json::parse(service::errorBody(translate.error));
        EXPECT(parsed.at("error").at("code").get<std::string>() == service::errorInfo(translate.error).code);
    }
    const auto moderate = service::decodeModerate(body, characterLimit);
    if (moderate.request) {
        EXPECT(moderate.request->stage == "input" || moderate.request->stage == "output");
        EXPECT(moderate.request->characters <= characterLimit);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const auto [first, cuts, bytes] = fuzz::splitInput(data, size);

    // The input as a body on its own, then as a whole request.
    decode(std::string(bytes.data(), static_cast<std::size_t>(bytes.size())));
    const Read whole = read(bytes, {});
    const Read pieces = read(bytes, cuts);
    // How much of a head the HTTP parser judges at once depends on how much has arrived: it may notice a malformed
    // head sooner, and it applies the header limit to the start line and the fields apart only when they arrive
    // together. So one reading may fail where the other waits or even completes; whatever both complete, they
    // complete alike.
    EXPECT(whole.done == pieces.done || whole.failed || pieces.failed);
    if (whole.done && pieces.done) {
        EXPECT(whole.target == pieces.target && whole.body == pieces.body);
    }
    if (whole.done) {
        decode(whole.body);
    }
    return 0;
}
