#include "ravelgrid/protocols/KittyGraphicsPayload.h"

#include "ravelgrid/protocols/Base64.h"
#include "ravelgrid/protocols/KittyGraphicsMedia.h"
#include "ravelgrid/protocols/KittyPng.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

namespace ravelgrid {

KittyGraphicsPayload::KittyGraphicsPayload(Kind kind, std::vector<uint8_t> bytes, int64_t width, int64_t height)
    : kind_(kind), bytes_(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))), width_(width),
      height_(height)
{}

KittyGraphicsPayload KittyGraphicsPayload::png(std::vector<uint8_t> data)
{
    return KittyGraphicsPayload(Kind::png, std::move(data), 0, 0);
}

KittyGraphicsPayload KittyGraphicsPayload::rgba(std::vector<uint8_t> bytes, int64_t width, int64_t height)
{
    return KittyGraphicsPayload(Kind::rgba, std::move(bytes), width, height);
}

KittyGraphicsPayload KittyGraphicsPayload::released()
{
    static const auto none = std::make_shared<const std::vector<uint8_t>>();
    KittyGraphicsPayload payload(Kind::rgba, {}, 0, 0);
    payload.bytes_ = none;
    return payload;
}

size_t KittyGraphicsPayload::decodedByteSize() const
{
    if (kind_ == Kind::rgba)
        return bytes_->size();
    const auto size = kittyPngPixelSize(bytes());
    if (!size || size->width < 0 || size->height < 0)
        return bytes_->size();
    // Header sides are 31-bit, so the product fits.
    return std::max(bytes_->size(), static_cast<size_t>(size->width) * static_cast<size_t>(size->height) * 4);
}

std::optional<size_t> kittyDeclaredPixelBytes(const KittyGraphicsControl& control)
{
    if (!kittyExpectedRawByteCount(control))
        return std::nullopt;
    return static_cast<size_t>(control.width) * static_cast<size_t>(control.height) * 4;
}

std::optional<KittyGraphicsPayload> kittyDecodeBase64Payload(const KittyGraphicsControl& control,
                                                             std::span<const uint8_t> payload)
{
    if (payload.empty())
        return std::nullopt;
    auto decoded = decodeBase64(payload);
    if (!decoded || decoded->size() > kKittyDataLimit)
        return std::nullopt;
    auto data = kittyDecompressPayload(std::move(*decoded), control.compression, kittyExpectedRawByteCount(control));
    if (!data || data->size() > kKittyDataLimit)
        return std::nullopt;
    return kittyDecodePayloadFormat(control, std::move(*data));
}

std::optional<std::vector<uint8_t>> kittyDecompressPayload(std::vector<uint8_t> data, std::optional<char> compression,
                                                           std::optional<size_t> expectedSize)
{
    if (!compression)
        return data;
    if (*compression != 'z')
        return std::nullopt;
    // Anything past the declared size is refused anyway: stop inflating there.
    if (expectedSize && *expectedSize <= kKittyDataLimit)
        return kittyInflateZlib(data, *expectedSize, true);
    return kittyInflateZlib(data);
}

namespace {

enum class InflateOutcome { ok, dataError, overLimit };

InflateOutcome inflateWith(std::span<const uint8_t> data, int windowBits, size_t limit, bool reserveLimit,
                           std::vector<uint8_t>& out)
{
    out.clear();
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK)
        return InflateOutcome::dataError;
    std::array<Bytef, 65536> buffer;
    InflateOutcome outcome = InflateOutcome::dataError;
    size_t remaining = data.size();
    stream.next_in = const_cast<Bytef*>(data.data());
    for (;;) {
        // zlib counts input in 32-bit units; feed large inputs in slices.
        if (stream.avail_in == 0 && remaining > 0) {
            const size_t slice = std::min<size_t>(remaining, std::numeric_limits<uInt>::max());
            stream.avail_in = static_cast<uInt>(slice);
            remaining -= slice;
        }
        stream.next_out = buffer.data();
        stream.avail_out = static_cast<uInt>(buffer.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = buffer.size() - stream.avail_out;
        if (produced > 0) {
            if (out.size() + produced > limit) {
                outcome = InflateOutcome::overLimit;
                break;
            }
            if (reserveLimit && out.capacity() < limit) {
                // The exact size is known: one buffer, no copy of a half-full one.
                out.reserve(limit);
            } else if (out.size() + produced > out.capacity()) {
                // Grow geometrically, but never reserve past the limit.
                const size_t want = std::max(out.capacity() * 2, out.size() + produced);
                out.reserve(std::min(std::max<size_t>(want, 1 << 20), limit));
            }
            out.insert(out.end(), buffer.data(), buffer.data() + produced);
        }
        if (status == Z_STREAM_END) {
            outcome = InflateOutcome::ok;
            break;
        }
        // All input is present, so a stall (Z_BUF_ERROR) means the stream was
        // cut short: fail rather than wait for more.
        if (status != Z_OK)
            break;
    }
    inflateEnd(&stream);
    if (outcome != InflateOutcome::ok)
        out.clear();
    return outcome;
}

bool looksLikeZlibHeader(std::span<const uint8_t> data)
{
    if (data.size() < 2)
        return false;
    const unsigned cmf = data[0];
    const unsigned flg = data[1];
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> kittyInflateZlib(std::span<const uint8_t> data, size_t limit, bool reserveLimit)
{
    std::vector<uint8_t> out;
    if (looksLikeZlibHeader(data)) {
        const InflateOutcome outcome = inflateWith(data, MAX_WBITS, limit, reserveLimit, out);
        if (outcome == InflateOutcome::ok)
            return out;
        // A bomb is not worth a second pass.
        if (outcome == InflateOutcome::overLimit)
            return std::nullopt;
    }
    if (inflateWith(data, -MAX_WBITS, limit, reserveLimit, out) == InflateOutcome::ok)
        return out;
    return std::nullopt;
}

namespace {

std::optional<size_t> rawByteCount(int64_t width, int64_t height, size_t bytesPerPixel)
{
    if (width < 1 || width > kKittyMaxDimension || height < 1 || height > kKittyMaxDimension)
        return std::nullopt;
    return static_cast<size_t>(width) * static_cast<size_t>(height) * bytesPerPixel;
}

}  // namespace

std::optional<KittyGraphicsPayload> kittyDecodePayloadFormat(const KittyGraphicsControl& control,
                                                             std::vector<uint8_t> data)
{
    if (data.size() > kKittyDataLimit)
        return std::nullopt;
    switch (control.format) {
    case 24: {
        const auto expected = rawByteCount(control.width, control.height, 3);
        if (!expected || data.size() != *expected)
            return std::nullopt;
        std::vector<uint8_t> rgba(data.size() / 3 * 4);
        uint8_t* dst = rgba.data();
        for (size_t i = 0; i < data.size(); i += 3) {
            dst[0] = data[i];
            dst[1] = data[i + 1];
            dst[2] = data[i + 2];
            dst[3] = 255;
            dst += 4;
        }
        return KittyGraphicsPayload::rgba(std::move(rgba), control.width, control.height);
    }
    case 32: {
        const auto expected = rawByteCount(control.width, control.height, 4);
        if (!expected || data.size() != *expected)
            return std::nullopt;
        return KittyGraphicsPayload::rgba(std::move(data), control.width, control.height);
    }
    case 100:
        if (!kittyPngSizeIsValid(data))
            return std::nullopt;
        return KittyGraphicsPayload::png(std::move(data));
    default: return std::nullopt;
    }
}

}  // namespace ravelgrid
