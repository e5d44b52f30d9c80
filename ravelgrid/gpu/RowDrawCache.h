#pragma once

#include "ravelgrid/gpu/CursorDrawData.h"
#include "ravelgrid/gpu/ImageTextures.h"
#include "ravelgrid/gpu/RendererView.h"
#include "ravelgrid/gpu/RowDrawBuilder.h"
#include "ravelgrid/gpu/RowDrawData.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ravelgrid {

// What changes with any kitty image or placement, new pixels under an old
// id included.
struct KittyCacheStamp {
    std::size_t imagesCount = 0;
    std::size_t placementsCount = 0;
    std::uint32_t nextImageId = 0;
    std::uint32_t nextPlacementId = 0;
    std::uint64_t contentRevision = 0;
    bool operator==(const KittyCacheStamp&) const = default;
};

// Anything that moves or restyles every row.
struct CacheSignature {
    double scale = 0;
    double cellWidth = 0, cellHeight = 0;
    double viewWidth = 0, viewHeight = 0;
    int yDisp = 0;
    int rows = 0, cols = 0;
    std::string fontName;
    double fontSize = 0;
    bool isAltBuffer = false;
    KittyCacheStamp kittyStamp;
    // The view's bidi policy as rows see it: layout on or off, paragraph limit.
    bool bidiLayout = false;
    int bidiMaximumRows = 0;
    // Kitty pixel offsets are counted in the window's pixels.
    double windowScale = 1;
    bool operator==(const CacheSignature&) const = default;
};

struct DrawData {
    std::vector<RowDrawBuffers> rows;  // per-row mode only
    std::optional<RowDrawData> frame;  // aggregated mode only
    CursorDrawData cursor;
};

// The frame's draw data with a cache of every visible row's lists (and, in
// the per-row mode, their GPU buffers): only rows whose line object,
// generation or bidi revision changed, or that the view marked dirty, are
// built again. Main thread, inside the frame build.
class RowDrawCache {
public:
    RowDrawCache(GpuBackend& backend, RowDrawBuilder& builder, ImageTextureCache& images)
        : backend_(backend), builder_(builder), images_(images)
    {}

    DrawData buildDrawData(RendererView& view, double scale);

    // Emptied when an atlas grew or was reset during a build.
    void clear()
    {
        entries_.clear();
        builder_.clearGlyphMemo();
    }

    int rowsRebuiltLastBuild() const { return rebuilt_; }
    std::size_t size() const { return entries_.size(); }
    // Entries currently holding GPU buffers.
    std::size_t entriesWithBuffers() const;

private:
    struct Entry {
        BufferLinePtr line;
        std::uint64_t generation = 0;
        std::uint64_t bidiRevision = 0;
        std::optional<RowDrawData> data;
        std::optional<RowDrawBuffers> buffers;
    };

    GpuBackend& backend_;
    RowDrawBuilder& builder_;
    ImageTextureCache& images_;
    std::map<int, Entry> entries_;
    std::optional<BufferingMode> mode_;
    std::optional<CacheSignature> signature_;
    int rebuilt_ = 0;
};

}  // namespace ravelgrid
