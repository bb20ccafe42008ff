#include "platform/RegionReader.h"

#include <cstring>

namespace quilvant {

std::uint64_t RegionReader::signature(const uchar* bytes, int rows, qsizetype rowBytes, qsizetype usedBytes)
{
    // FNV-1a over 64-bit words (two pixels at a time): a few hundred microseconds for a full-HD region, and a
    // change of any colour channel of any pixel changes it.
    constexpr std::uint64_t prime = 0x100000001b3ULL;
    constexpr std::uint64_t colourOnly = 0x00ffffff00ffffffULL;
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (int row = 0; row < rows; ++row) {
        const uchar* line = bytes + row * rowBytes;
        qsizetype offset = 0;
        for (; offset + 8 <= usedBytes; offset += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, line + offset, sizeof word);
            hash = (hash ^ (word & colourOnly)) * prime;
        }
        if (offset + 4 <= usedBytes) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, line + offset, sizeof pixel);
            hash = (hash ^ (pixel & 0x00ffffffU)) * prime;
        }
    }
    return hash;
}

Cancellation NullRegionReader::look(Completion<std::uint64_t> done)
{
    auto once = std::make_shared<Once<std::uint64_t>>(std::move(done));
    Once<std::uint64_t>::finishLater(once, Error::app(m_reason));
    return Cancellation([once] { Once<std::uint64_t>::cancel(once); });
}

} // namespace quilvant
