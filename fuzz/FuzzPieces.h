#pragma once

// Shared by the fuzz targets: a failed expectation ends the run as a crash, and a body is fed in pieces whose
// lengths the input chooses, so that every cut point a network or pipe could make gets tried.
#include <QByteArrayView>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Like check(), naming the expectation that failed.
#define EXPECT(condition)                                                                                              \
    ((condition) ? void() : (std::fprintf(stderr, "expectation failed: %s\n", #condition), std::abort()))

namespace quilvant::fuzz {

inline void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// Calls `feed(piece)` for consecutive pieces of `body`: each byte of `cuts` gives the length of the next piece
// (1 to 256), then the rest goes at once; with `fixedLength` every piece has that length instead. Stops early
// when `feed` returns false.
template <typename Feed>
void feedInPieces(QByteArrayView body, QByteArrayView cuts, Feed&& feed, qsizetype fixedLength = 0)
{
    qsizetype position = 0;
    qsizetype cut = 0;
    while (position < body.size()) {
        qsizetype length = body.size();
        if (fixedLength > 0) {
            length = fixedLength;
        } else if (cut < cuts.size()) {
            length = static_cast<unsigned char>(cuts[cut++]) + 1;
        }
        const QByteArrayView piece = body.sliced(position, std::min(length, body.size() - position));
        position += piece.size();
        if (!feed(piece)) {
            return;
        }
    }
}

// A fuzz input: its first byte (whose low five bits say how many of the following bytes are cut lengths for
// feedInPieces), those cuts, and the rest as the body. For inputs of at least one byte.
struct Input
{
    unsigned char first = 0;
    QByteArrayView cuts;
    QByteArrayView body;
};

inline Input splitInput(const uint8_t* data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto first = static_cast<unsigned char>(input[0]);
    const qsizetype cutCount = std::min<qsizetype>(first % 32, input.size() - 1);
    return {first, input.sliced(1, cutCount), input.sliced(1 + cutCount)};
}

} // namespace quilvant::fuzz
