// The reader must give the same updates and the same end whatever the network's cut points, and a line over
// the limit must end the stream with the size failure unless an earlier event already ended it.
#include "../FuzzPieces.h"
#include "engines/hosted/HostedStream.h"

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

using namespace quilvant;
using quilvant::fuzz::check;

namespace {

struct Result
{
    QStringList published;
    bool failedWhileFeeding = false;
    bool ok = false;
    QString text;
    qint64 remaining = 0;
    std::optional<QString> requestID;
    QString error;
};

bool operator==(const Result& a, const Result& b)
{
    return a.published == b.published && a.failedWhileFeeding == b.failedWhileFeeding && a.ok == b.ok &&
           a.text == b.text && a.remaining == b.remaining && a.requestID == b.requestID && a.error == b.error;
}

Result read(QByteArrayView body, QByteArrayView cuts)
{
    Result result;
    bool ended = false;
    HostedStream stream([&result, &ended](const QString& text) {
        check(!ended); // nothing is published once the stream has failed
        result.published.append(text);
    });
    fuzz::feedInPieces(body, cuts, [&](QByteArrayView piece) {
        if (auto fed = stream.feed(piece); !fed) {
            // Like the client, feed nothing more and do not finish after a failure.
            ended = true;
            result.failedWhileFeeding = true;
            result.error = fed.error().description();
            return false;
        }
        return true;
    });
    if (ended) {
        return result;
    }
    const Outcome<HostedResult> end = stream.finish();
    ended = true;
    result.ok = end.ok();
    if (end) {
        result.text = end.value().text;
        result.remaining = end.value().remainingCharacters;
        result.requestID = end.value().requestID;
        check(!result.text.isEmpty());
    } else {
        result.error = end.error().description();
    }
    return result;
}

// Where the first line (line feeds excluded, a carriage return counted) longer than the limit starts, if any;
// a last line without its line feed counts too, since its bytes are buffered while they arrive.
std::optional<qsizetype> firstOverlongLine(QByteArrayView body)
{
    qsizetype start = 0;
    while (start <= body.size()) {
        const qsizetype newline = body.indexOf('\n', start);
        const qsizetype end = newline < 0 ? body.size() : newline;
        if (end - start > HostedStream::lineLimit) {
            return start;
        }
        if (newline < 0) {
            break;
        }
        start = newline + 1;
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte says how many of the following bytes are cut lengths (low five bits) and whether a long
    // run of one byte goes into the body (top three bits all set); three more bytes then say how long the run is
    // (around the line limit), which byte it repeats and after which byte of the body it goes.
    const QByteArrayView input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto header = static_cast<unsigned char>(input[0]);
    qsizetype next = 1;
    QByteArray body;
    if ((header & 0xe0) == 0xe0) {
        if (input.size() < 4) {
            return 0;
        }
        const qsizetype run = HostedStream::lineLimit - 2 + static_cast<unsigned char>(input[1]) % 5;
        const char filler = input[2];
        const auto at = static_cast<unsigned char>(input[3]);
        next = 4;
        const qsizetype cutCount = std::min<qsizetype>(header & 0x1f, input.size() - next);
        const QByteArrayView rest = input.sliced(next + cutCount);
        const qsizetype split = std::min<qsizetype>(at, rest.size());
        body = rest.first(split).toByteArray() + QByteArray(run, filler) + rest.sliced(split).toByteArray();
    } else {
        const qsizetype cutCount = std::min<qsizetype>(header & 0x1f, input.size() - next);
        body = input.sliced(next + cutCount).toByteArray();
    }
    const qsizetype cutCount = std::min<qsizetype>(header & 0x1f, input.size() - next);
    const QByteArrayView cuts = input.sliced(next, cutCount);

    const Result whole = read(body, {});
    const Result pieces = read(body, cuts);
    check(whole == pieces);
    check(whole.ok != !whole.error.isEmpty());

    const QString tooLarge = QStringLiteral("Server event too large.");
    if (const auto overlong = firstOverlongLine(body)) {
        // Either the size failure, or a failure of an earlier line that the body before that line shows too.
        check(whole.failedWhileFeeding);
        if (whole.error != tooLarge) {
            const Result before = read(QByteArrayView(body).first(*overlong), {});
            check(before.failedWhileFeeding && before.error == whole.error && before.published == whole.published);
        }
    } else {
        check(whole.error != tooLarge);
    }
    return 0;
}
