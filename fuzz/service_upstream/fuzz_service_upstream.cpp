// Whatever the upstream sends and however the network cuts it, the service reads the same answer: the same
// updates, the same end, never more than its limit, and no reasoning text in what it would show.
#include "../FuzzPieces.h"
#include "service/UpstreamResponse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quilvant;

// A failed expectation names itself before it ends the run.

namespace {

struct Read
{
    std::vector<std::string> updates;
    bool finished = false;
    bool failed = false;
    bool anyText = false;
    bool reusable = false;
    std::string text;
};

Read read(QByteArrayView bytes, QByteArrayView cuts, bool closeAfter)
{
    Read result;
    service::UpstreamResponse response(4096);
    fuzz::feedInPieces(bytes, cuts, [&](QByteArrayView piece) {
        response.feed(std::string_view(piece.data(), static_cast<std::size_t>(piece.size())));
        while (auto update = response.takeUpdate()) {
            result.updates.push_back(*update);
        }
        return true;
    });
    if (closeAfter) {
        response.end();
        while (auto update = response.takeUpdate()) {
            result.updates.push_back(*update);
        }
    }
    result.finished = response.finished();
    result.failed = response.failed();
    result.anyText = response.anyText();
    result.reusable = response.reusable();
    result.text = response.text();
    EXPECT(response.errorBody().size() <= 16 * 1024);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const auto [first, cuts, bytes] = fuzz::splitInput(data, size);
    const bool closeAfter = (first & 0x80) != 0;

    const Read whole = read(bytes, {}, closeAfter);
    const Read pieces = read(bytes, cuts, closeAfter);
    // A malformed, incomplete head may fail sooner when more of it is there at once; the other reader is then
    // still waiting (for more bytes or the end of the connection). Whatever both finish, they finish alike.
    if (whole.finished != pieces.finished) {
        EXPECT(!closeAfter && (whole.finished ? whole.failed : pieces.failed) && !whole.anyText && !pieces.anyText);
        return 0;
    }
    EXPECT(whole.failed == pieces.failed && whole.anyText == pieces.anyText);
    EXPECT(whole.text == pieces.text && whole.reusable == pieces.reusable);
    // Pieces may merge updates that arrived together, never invent or reorder them.
    EXPECT(pieces.updates.empty() || (!whole.updates.empty() && pieces.updates.back() == whole.updates.back()));
    if (closeAfter) {
        EXPECT(whole.finished);
    }
    if (whole.finished && !whole.failed) {
        EXPECT(!whole.text.empty() && whole.text.find("<think>") == std::string::npos);
    }
    for (const std::string& update : whole.updates) {
        EXPECT(update.find("<think>") == std::string::npos);
    }
    return 0;
}
