#pragma once

#include "ravelgrid/screen/Color.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ravelgrid {

// Bounds on what a sixel picture may cost.
struct SixelLimits {
    int maxSide = 10'000;             // pixels, each of width and height
    size_t maxPayload = 32u << 20;    // bytes gathered from one DCS string
    size_t maxPaletteEntries = 4096;  // distinct colour numbers defined
};

// A decoded sixel picture: straight (not premultiplied) RGBA, rows top to
// bottom; untouched pixels are transparent.
struct SixelImage {
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;

    // Decodes the data of one sixel string (after its final "q"). Colour
    // numbers the picture does not define come from `defaultPalette`;
    // drawing starts with colour 0. Never fails: bad input yields whatever
    // it describes, down to an empty picture; drawing past a side limit is
    // clipped.
    static SixelImage decode(std::span<const uint8_t> data, std::span<const Color> defaultPalette,
                             const SixelLimits& limits = {});

    // An HLS colour (hue 0...360 with blue at 0, lightness and saturation
    // 0...100) as packed 0xRRGGBBAA, opaque.
    static uint32_t hlsToRgba(int hue, int lightness, int saturation);
};

}  // namespace ravelgrid
