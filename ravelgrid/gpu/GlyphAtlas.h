#pragma once

#include "ravelgrid/gpu/GlyphBitmap.h"
#include "ravelgrid/gpu/GpuBackend.h"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace ravelgrid {

struct AtlasRegion {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const AtlasRegion&) const = default;
};

enum class GlyphAtlasFormat : std::uint8_t { grayscale, bgra };
enum class GlyphAtlasKind : std::uint8_t { grayscale, color };

inline constexpr std::string_view atlasLogCategory = "MetalAtlas";

// A square texture of glyphs with a CPU mirror of every texel: a shelf
// packer hands out rectangles with a one-texel border, the atlas doubles
// when full up to maxSize, and starts afresh (reset) when even that is not
// enough. Main thread only.
class GlyphAtlas {
public:
    static constexpr int initialSize = 1024;
    static constexpr int minimumSize = 256;
    // No mirror larger than this, whatever the environment asks for.
    static constexpr std::size_t maxMirrorBytes = std::size_t(256) << 20;

    // Nothing when the texture or the mirror cannot be made.
    static std::unique_ptr<GlyphAtlas> create(GpuBackend& backend, int size, int maxSize, GlyphAtlasFormat format);

    // The largest side for a new atlas: RAVELGRID_ATLAS_MAX when it is a
    // plain decimal integer, else a default per format; never beyond what
    // the backend or the mirror allows.
    static int resolveMaxSize(const GpuBackend& backend, GlyphAtlasFormat format);
    static int resolveMaxSize(const GpuBackend& backend, GlyphAtlasFormat format, const char* environmentValue);

    std::optional<AtlasRegion> allocateRegion(int width, int height);
    // Copies the bitmap in (rows flipped: the mirror's rows go up) with its
    // border; false when the sizes differ or the texture refused it.
    bool upload(const GlyphBitmap& bitmap, AtlasRegion region);
    void grow(int newSize);
    void reset();

    GlyphAtlasFormat format() const { return format_; }
    int bytesPerPixel() const { return bytesPerPixel_; }
    int maxSize() const { return maxSize_; }
    int size() const { return size_; }
    GpuTexture& texture() const { return *texture_; }
    const std::vector<std::uint8_t>& data() const { return data_; }
    int nextX() const { return nextX_; }
    int nextY() const { return nextY_; }
    int rowHeight() const { return rowHeight_; }
    bool didReset() const { return didReset_; }
    bool frozen() const { return frozen_; }
    void setFrozen(bool frozen) { frozen_ = frozen; }

    GlyphAtlas(GpuBackend& backend, GlyphAtlasFormat format, int side, int maxSize, std::shared_ptr<GpuTexture> texture,
               std::vector<std::uint8_t> data);

private:
    std::string_view formatName() const { return format_ == GlyphAtlasFormat::grayscale ? "grayscale" : "bgra"; }
    std::optional<AtlasRegion> placeInShelf(int w, int h);
    bool uploadWhole();

    GpuBackend& backend_;
    GlyphAtlasFormat format_;
    int bytesPerPixel_;
    int maxSize_;
    int size_;
    std::shared_ptr<GpuTexture> texture_;
    std::vector<std::uint8_t> data_;
    int nextX_ = 0, nextY_ = 0, rowHeight_ = 0;
    bool didReset_ = false;
    bool frozen_ = false;
    bool loggedFrozenMiss_ = false;
    bool loggedResetOverflow_ = false;
};

}  // namespace ravelgrid
