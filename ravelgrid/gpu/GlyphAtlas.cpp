#include "ravelgrid/gpu/GlyphAtlas.h"

#include "platform/Log.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace ravelgrid {
namespace {

GpuTextureFormat textureFormat(GlyphAtlasFormat format)
{
    return format == GlyphAtlasFormat::grayscale ? GpuTextureFormat::r8 : GpuTextureFormat::bgra8;
}

int formatBytes(GlyphAtlasFormat format)
{
    return format == GlyphAtlasFormat::grayscale ? 1 : 4;
}

// The largest side whose mirror stays within the limit.
int mirrorSideLimit(GlyphAtlasFormat format)
{
    const std::size_t texels = GlyphAtlas::maxMirrorBytes / std::size_t(formatBytes(format));
    int side = 1;
    while (std::size_t(side) * 2 * std::size_t(side) * 2 <= texels && side < (1 << 20))
        side *= 2;
    return side;
}

// Optional sign, then one or more ASCII digits, nothing else, in range.
std::optional<long long> parseWhole(const char* text)
{
    if (!text)
        return std::nullopt;
    std::string_view s(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    // Parse with the sign so that the most negative value still fits.
    std::string signedText = negative ? "-" : "";
    signedText.append(s);
    long long value = 0;
    const auto [end, ec] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (ec != std::errc() || end != signedText.data() + signedText.size())
        return std::nullopt;
    return value;
}

std::vector<std::uint8_t> zeroMirror(int side, int bpp)
{
    return std::vector<std::uint8_t>(std::size_t(side) * std::size_t(side) * std::size_t(bpp), 0);
}

std::string message(const char* format, std::string_view name, long a, long b = 0)
{
    char text[160];
    const std::string n(name);
    std::snprintf(text, sizeof text, format, n.c_str(), a, b);
    return text;
}

}  // namespace

int GlyphAtlas::resolveMaxSize(const GpuBackend& backend, GlyphAtlasFormat format)
{
    return resolveMaxSize(backend, format, std::getenv("RAVELGRID_ATLAS_MAX"));
}

int GlyphAtlas::resolveMaxSize(const GpuBackend& backend, GlyphAtlasFormat format, const char* environmentValue)
{
    const std::optional<int> deviceMax = backend.maxTextureSize();
    long long side;
    if (const std::optional<long long> v = parseWhole(environmentValue)) {
        side = std::max<long long>(*v, minimumSize);
        side = std::min<long long>(side, deviceMax && *deviceMax >= 16384 ? 16384 : 8192);
    } else {
        side = format == GlyphAtlasFormat::grayscale ? 8192 : 4096;
    }
    side = std::min<long long>(side, mirrorSideLimit(format));
    if (deviceMax && *deviceMax > 0)
        side = std::min<long long>(side, *deviceMax);
    return int(side);
}

std::unique_ptr<GlyphAtlas> GlyphAtlas::create(GpuBackend& backend, int size, int maxSize, GlyphAtlasFormat format)
{
    maxSize = std::min(maxSize, mirrorSideLimit(format));
    if (const std::optional<int> deviceMax = backend.maxTextureSize(); deviceMax && *deviceMax > 0)
        maxSize = std::min(maxSize, *deviceMax);
    const int side = std::max(std::min(size, maxSize), minimumSize);
    if (side > mirrorSideLimit(format))
        return nullptr;
    std::shared_ptr<GpuTexture> texture = backend.makeTexture(textureFormat(format), side);
    if (!texture)
        return nullptr;
    std::vector<std::uint8_t> data;
    try {
        data = zeroMirror(side, formatBytes(format));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return std::make_unique<GlyphAtlas>(backend, format, side, std::max(maxSize, side), std::move(texture),
                                        std::move(data));
}

GlyphAtlas::GlyphAtlas(GpuBackend& backend, GlyphAtlasFormat format, int side, int maxSize,
                       std::shared_ptr<GpuTexture> texture, std::vector<std::uint8_t> data)
    : backend_(backend), format_(format), bytesPerPixel_(formatBytes(format)), maxSize_(maxSize), size_(side),
      texture_(std::move(texture)), data_(std::move(data))
{}

std::optional<AtlasRegion> GlyphAtlas::placeInShelf(int w, int h)
{
    if (w > size_ || h > size_)
        return std::nullopt;
    if (nextX_ + w > size_) {
        nextY_ += rowHeight_;
        nextX_ = 0;
        rowHeight_ = 0;
    }
    if (nextY_ + h > size_)
        return std::nullopt;
    const AtlasRegion r{nextX_, nextY_, w, h};
    nextX_ += w;
    rowHeight_ = std::max(rowHeight_, h);
    return r;
}

std::optional<AtlasRegion> GlyphAtlas::allocateRegion(int width, int height)
{
    didReset_ = false;
    // Beyond any side an atlas can have; keeps the padding from overflowing.
    if (width <= 0 || height <= 0 || width > (1 << 28) || height > (1 << 28))
        return std::nullopt;
    const int pw = width + 2, ph = height + 2;
    const auto inner = [&](AtlasRegion r) { return AtlasRegion{r.x + 1, r.y + 1, width, height}; };
    if (auto r = placeInShelf(pw, ph))
        return inner(*r);
    if (frozen_) {
        if (!loggedFrozenMiss_) {
            loggedFrozenMiss_ = true;
            platform::logError(
                atlasLogCategory,
                message("glyph atlas (%s) frozen and full; glyphs will be skipped this frame", formatName(), 0));
        }
        return std::nullopt;
    }
    if (pw > maxSize_ || ph > maxSize_)
        return std::nullopt;
    long target = size_;
    while (target < maxSize_ && (target < std::max(pw, ph) || target < long(nextY_) + ph))
        target *= 2;
    target = std::min<long>(target, maxSize_);
    if (target > size_) {
        grow(int(target));
        if (auto r = placeInShelf(pw, ph))
            return inner(*r);
    }
    if (!loggedResetOverflow_) {
        loggedResetOverflow_ = true;
        platform::logError(
            atlasLogCategory,
            message("glyph atlas (%s) reset at size %ld: glyph working set exceeds capacity", formatName(), size_));
    }
    reset();
    didReset_ = true;
    if (auto r = placeInShelf(pw, ph))
        return inner(*r);
    return std::nullopt;
}

void GlyphAtlas::grow(int newSize)
{
    if (size_ >= newSize)
        return;
    const auto failed = [&](const char* what) {
        platform::logError(atlasLogCategory, message(what, formatName(), newSize));
    };
    if (newSize > maxSize_ || newSize > mirrorSideLimit(format_)) {
        failed("glyph atlas (%s) grow to %ld failed: texture allocation");
        return;
    }
    std::shared_ptr<GpuTexture> texture = backend_.makeTexture(textureFormat(format_), newSize);
    if (!texture) {
        failed("glyph atlas (%s) grow to %ld failed: texture allocation");
        return;
    }
    std::vector<std::uint8_t> mirror;
    try {
        mirror = zeroMirror(newSize, bytesPerPixel_);
    } catch (const std::bad_alloc&) {
        failed("glyph atlas (%s) grow to %ld failed: mirror allocation");
        return;
    }
    const std::size_t oldRow = std::size_t(size_) * std::size_t(bytesPerPixel_);
    const std::size_t newRow = std::size_t(newSize) * std::size_t(bytesPerPixel_);
    for (int y = 0; y < size_; ++y)
        std::memcpy(mirror.data() + std::size_t(y) * newRow, data_.data() + std::size_t(y) * oldRow, oldRow);
    if (!backend_.uploadRegion(*texture, GpuRect{0, 0, newSize, newSize}, mirror, std::size_t(newSize))) {
        // The old texture still matches the old mirror: keep both.
        failed("glyph atlas (%s) grow to %ld failed: texture upload");
        return;
    }
    platform::logInfo(atlasLogCategory, message("glyph atlas (%s) grow: %ld -> %ld", formatName(), size_, newSize));
    size_ = newSize;
    data_ = std::move(mirror);
    texture_ = std::move(texture);
    loggedFrozenMiss_ = false;
    loggedResetOverflow_ = false;
}

bool GlyphAtlas::uploadWhole()
{
    return backend_.uploadRegion(*texture_, GpuRect{0, 0, size_, size_}, data_, std::size_t(size_));
}

void GlyphAtlas::reset()
{
    nextX_ = nextY_ = rowHeight_ = 0;
    std::fill(data_.begin(), data_.end(), std::uint8_t(0));
    // Texels left behind are never sampled: every glyph placed from now on
    // uploads its own rectangle and border.
    if (!uploadWhole())
        platform::logWarning(atlasLogCategory,
                             message("glyph atlas (%s) reset at size %ld: texture not cleared", formatName(), size_));
}

bool GlyphAtlas::upload(const GlyphBitmap& bitmap, AtlasRegion region)
{
    const int x = region.x, y = region.y, w = region.width, h = region.height;
    if (w != bitmap.width || h != bitmap.height || w <= 0 || h <= 0 || x < 0 || y < 0 || x + w > size_ ||
        y + h > size_ || bitmap.pixels.size() < std::size_t(w) * std::size_t(h) * 4)
        return false;
    const std::size_t bpp = std::size_t(bytesPerPixel_);
    const std::size_t rowBytes = std::size_t(size_) * bpp;
    const auto at = [&](int col, int row) {
        return data_.data() + std::size_t(row) * rowBytes + std::size_t(col) * bpp;
    };
    for (int r = 0; r < h; ++r) {
        const std::uint8_t* src = bitmap.pixels.data() + std::size_t(h - 1 - r) * std::size_t(w) * 4;
        std::uint8_t* dst = at(x, y + r);
        if (format_ == GlyphAtlasFormat::bgra) {
            std::memcpy(dst, src, std::size_t(w) * 4);
        } else {
            for (int c = 0; c < w; ++c)
                dst[c] = src[std::size_t(c) * 4 + 3];
        }
    }
    const int x0 = std::max(x - 1, 0), y0 = std::max(y - 1, 0);
    const int x1 = std::min(x + w + 1, size_), y1 = std::min(y + h + 1, size_);
    for (int row = y0; row < y; ++row)
        std::memcpy(at(x, row), at(x, y), std::size_t(w) * bpp);
    for (int row = y + h; row < y1; ++row)
        std::memcpy(at(x, row), at(x, y + h - 1), std::size_t(w) * bpp);
    for (int row = y0; row < y1; ++row) {
        if (x0 < x)
            std::memcpy(at(x - 1, row), at(x, row), bpp);
        if (x + w < x1)
            std::memcpy(at(x + w, row), at(x + w - 1, row), bpp);
    }
    const std::size_t offset = (std::size_t(y0) * std::size_t(size_) + std::size_t(x0)) * bpp;
    return backend_.uploadRegion(*texture_, GpuRect{x0, y0, x1 - x0, y1 - y0},
                                 std::span<const std::uint8_t>(data_).subspan(offset), std::size_t(size_));
}

bool hasColour(const std::vector<std::uint8_t>& bgra)
{
    for (std::size_t i = 0; i + 3 < bgra.size(); i += 4)
        if (bgra[i] != bgra[i + 1] || bgra[i] != bgra[i + 2])
            return true;
    return false;
}

}  // namespace ravelgrid
