#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ravelgrid {

struct KittyPixelSize {
    int64_t width = 0;
    int64_t height = 0;
};

struct KittyBitmap {
    std::vector<uint8_t> bytes;  // straight RGBA, rows top to bottom
    int64_t width = 0;
    int64_t height = 0;
};

// True only for a PNG of 1...10,000 pixels a side that decodes completely,
// so a truncated or corrupt image is never answered OK.
bool kittyPngSizeIsValid(std::span<const uint8_t> data);

// The size from the PNG header, without a range test.
std::optional<KittyPixelSize> kittyPngPixelSize(std::span<const uint8_t> data);

// Decodes the whole PNG into straight RGBA (for cropping); like raw
// pixels it is premultiplied only where it is drawn.
std::optional<KittyBitmap> kittyDecodePng(std::span<const uint8_t> data);

}  // namespace ravelgrid
