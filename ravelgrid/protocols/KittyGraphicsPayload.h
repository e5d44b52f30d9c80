#pragma once

#include "ravelgrid/protocols/KittyGraphicsControl.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ravelgrid {

// 400 MiB: the most image data accepted, decoded or inflated.
inline constexpr size_t kKittyDataLimit = 419'430'400;
// Each side of an image, in pixels.
inline constexpr int64_t kKittyMaxDimension = 10'000;

// A decoded kitty image: PNG bytes as transmitted, or RGBA pixels
// (4 bytes per pixel, rows top to bottom, alpha not premultiplied).
// Copies share the bytes.
class KittyGraphicsPayload {
public:
    enum class Kind { png, rgba };

    static KittyGraphicsPayload png(std::vector<uint8_t> data);
    static KittyGraphicsPayload rgba(std::vector<uint8_t> bytes, int64_t width, int64_t height);
    // No pixels: what a placement shows once its image was evicted.
    static KittyGraphicsPayload released();

    Kind kind() const { return kind_; }
    bool isPng() const { return kind_ == Kind::png; }
    std::span<const uint8_t> bytes() const { return {bytes_->data(), bytes_->size()}; }
    const std::shared_ptr<const std::vector<uint8_t>>& sharedBytes() const { return bytes_; }
    // Pixel size of an RGBA payload; 0 for PNG (read it from the header).
    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    size_t byteSize() const { return bytes_->size(); }
    bool isEmpty() const { return bytes_->empty(); }
    // What the pixels take once decoded: the RGBA bytes, or a PNG's
    // width x height x 4 from its header (its own length when that is more).
    size_t decodedByteSize() const;

private:
    KittyGraphicsPayload(Kind kind, std::vector<uint8_t> bytes, int64_t width, int64_t height);

    Kind kind_;
    std::shared_ptr<const std::vector<uint8_t>> bytes_;
    int64_t width_;
    int64_t height_;
};

// The bytes a raw image of the control's format and size decodes to (4 per
// pixel whatever the format); nothing for a PNG or a size out of range.
std::optional<size_t> kittyDeclaredPixelBytes(const KittyGraphicsControl& control);

// The direct medium's whole chain: base64, inflation, format.
std::optional<KittyGraphicsPayload> kittyDecodeBase64Payload(const KittyGraphicsControl& control,
                                                             std::span<const uint8_t> payload);

// No compression passes the data through; "z" inflates; anything else fails.
// With the size a raw image must have, inflation stops there, into a buffer
// of exactly that size.
std::optional<std::vector<uint8_t>> kittyDecompressPayload(std::vector<uint8_t> data, std::optional<char> compression,
                                                           std::optional<size_t> expectedSize = std::nullopt);

// zlib-format data (what clients send), falling back to raw deflate. Fails on
// a stream cut short and as soon as the output passes `limit`; with
// `reserveLimit` the output is given `limit` bytes at once instead of growing.
std::optional<std::vector<uint8_t>> kittyInflateZlib(std::span<const uint8_t> data, size_t limit = kKittyDataLimit,
                                                     bool reserveLimit = false);

// Interprets the data by the "f" key: 24-bit RGB, 32-bit RGBA or PNG.
std::optional<KittyGraphicsPayload> kittyDecodePayloadFormat(const KittyGraphicsControl& control,
                                                             std::vector<uint8_t> data);

}  // namespace ravelgrid
