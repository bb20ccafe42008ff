// The framing must give the same messages whatever the pipe's cut points (a character split across reads
// included), each whole line that holds a JSON object exactly once and in order, and nothing for the rest,
// which must not hold up the lines after it. Every message takes exactly one route.
#include "../FuzzPieces.h"
#include "engines/codex/CodexFraming.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace quilvant;
using quilvant::fuzz::check;
using Json = Codex::Json;

namespace {

std::vector<Json> read(QByteArrayView output, QByteArrayView cuts, bool byteByByte)
{
    std::vector<Json> messages;
    CodexFraming framing;
    fuzz::feedInPieces(
        output, cuts,
        [&](QByteArrayView piece) {
            framing.append(piece);
            while (auto message = framing.next()) {
                messages.push_back(std::move(*message));
            }
            return true;
        },
        byteByByte ? 1 : 0);
    check(!framing.next());
    framing.clear();
    framing.append("\n{}\n");
    const auto afterClear = framing.next();
    check(afterClear && afterClear->is_object() && afterClear->empty());
    return messages;
}

// What the output holds, line by line: the objects of its whole lines; a last line without a line feed is not
// yet a message.
std::vector<Json> expected(QByteArrayView output)
{
    std::vector<Json> messages;
    qsizetype from = 0;
    qsizetype end = 0;
    while ((end = output.indexOf('\n', from)) >= 0) {
        Json line = Json::parse(output.constData() + from, output.constData() + end, nullptr, false);
        if (line.is_object()) {
            messages.push_back(std::move(line));
        }
        from = end + 1;
    }
    return messages;
}

void checkRoute(const Json& message)
{
    const std::optional<qint64> response = Codex::responseId(message);
    const bool request = Codex::isRequest(message);
    check(!(response && request));
    if (response) {
        const Json& id = message.at("id");
        check(id.is_number_integer() && !message.contains("method"));
        check(id.is_number_unsigned() ? id.get<std::uint64_t>() == static_cast<std::uint64_t>(*response)
                                      : id.get<std::int64_t>() == *response);
    }
    if (request) {
        // The refusal goes back under the server's own id, whatever its type, so it must serialise.
        const Json refusal = {{"id", message.at("id")}, {"error", {{"code", -32601}}}};
        check(!refusal.dump().empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const auto [first, cuts, output] = fuzz::splitInput(data, size);

    const std::vector<Json> whole = read(output, {}, false);
    check(whole == expected(output));
    check(read(output, cuts, false) == whole);
    check(read(output, {}, true) == whole);
    for (const Json& message : whole) {
        checkRoute(message);
    }
    return 0;
}
