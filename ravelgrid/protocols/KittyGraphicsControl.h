#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ravelgrid {

// The keys of one kitty graphics command. Missing or unusable values keep
// their defaults; an identifier is never 0.
struct KittyGraphicsControl {
    char action = 't';
    int64_t suppressResponses = 0;
    int64_t format = 32;
    char transmission = 'd';
    int64_t width = 0;
    int64_t height = 0;
    int64_t cropX = 0;
    int64_t cropY = 0;
    int64_t cropWidth = 0;
    int64_t cropHeight = 0;
    int64_t dataSize = 0;
    int64_t dataOffset = 0;
    std::optional<uint32_t> imageId;
    std::optional<uint32_t> imageNumber;
    std::optional<uint32_t> placementId;
    std::optional<uint32_t> parentImageId;
    std::optional<uint32_t> parentPlacementId;
    int64_t offsetH = 0;
    int64_t offsetV = 0;
    int64_t pixelOffsetX = 0;
    int64_t pixelOffsetY = 0;
    int64_t unicodePlaceholder = 0;
    int64_t zIndex = 0;
    int64_t more = 0;
    std::optional<char> compression;
    int64_t columns = 0;
    int64_t rows = 0;
    int64_t cursorPolicy = 0;
    std::optional<char> deleteMode;

    struct Parsed;

    // Splits the bytes after the APC "G" into the control keys and the
    // payload (a view into `data`, everything after the first ';').
    // Never fails: malformed items are skipped.
    static Parsed parse(std::span<const uint8_t> data);
};

struct KittyGraphicsControl::Parsed {
    KittyGraphicsControl control;
    std::span<const uint8_t> payload;
};

// Value forms of the control keys; exposed for the tests and the fuzzer.
std::optional<int64_t> kittyControlInt(std::string_view value);
std::optional<uint32_t> kittyControlUInt32(std::string_view value);

}  // namespace ravelgrid
