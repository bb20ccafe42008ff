// A region read from a selection tool's output is a real, non-empty rectangle within the coordinates a display
// can have, or there is none; the same output always gives the same answer.
#include "../FuzzPieces.h"
#include "platform/RegionPicker.h"

#include <QByteArray>
#include <cstdint>

using namespace quilvant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray output(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    for (const auto parse : {&RegionPicker::parseSlop, &RegionPicker::parseSlurp}) {
        const std::optional<QRect> region = parse(output);
        EXPECT(parse(output) == region);
        if (region) {
            EXPECT(!region->isEmpty());
            EXPECT(region->width() <= 999999 && region->height() <= 999999);
            EXPECT(qAbs(region->x()) <= 999999 && qAbs(region->y()) <= 999999);
        }
    }
    return 0;
}
