#pragma once

#include <cstdint>
#include <vector>

namespace ravelgrid {

struct GpuPoint {
    double x = 0, y = 0;
    bool operator==(const GpuPoint&) const = default;
};

struct GpuSize {
    double width = 0, height = 0;
    bool operator==(const GpuSize&) const = default;
};

// One rasterised glyph: premultiplied BGRA rows, top row first, with the
// offset of its lower-left corner from the pen position (y up).
struct GlyphBitmap {
    int width = 0;
    int height = 0;
    GpuPoint bearing;
    std::vector<std::uint8_t> pixels;  // width * height * 4
    bool isColor = false;
};

// True when some pixel's blue, green and red differ: white coverage is not.
bool hasColour(const std::vector<std::uint8_t>& bgra);

}  // namespace ravelgrid
