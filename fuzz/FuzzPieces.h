#pragma once

// Shared by the fuzz targets: a failed expectation ends the run as a crash, and a body is fed in pieces whose
// lengths the input chooses, so that every cut point a network or pipe could make gets tried.
#include <QByteArrayView>
#include <algorithm>
#include <cstdlib>

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

} // namespace quilvant::fuzz
