#pragma once

#include "ravelgrid/drawing/FrameRowSnapshot.h"
#include "ravelgrid/gpu/CursorDrawData.h"
#include "ravelgrid/gpu/GlyphKey.h"
#include "ravelgrid/gpu/ImageTextures.h"
#include "ravelgrid/gpu/RendererView.h"
#include "ravelgrid/gpu/RowDrawData.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ravelgrid {

class GlyphAtlas;
class GlyphCache;
class ShaperCache;
struct ShaperRun;
struct KittyPlacementRecord;
class KittyGraphicsState;

using VirtualPlacements = std::unordered_map<std::uint32_t, std::vector<const KittyPlacementRecord*>>;

// What one frame's rows share.
struct RowFrameGeometry {
    int topRow = 0;                        // yDisp
    double cellWidth = 0, cellHeight = 0;  // points
    double viewHeight = 0;                 // points
    double viewportWidthPx = 0;
    double scale = 1;
    double windowScale = 1;     // the view's window's, for kitty pixel offsets
    double baselineOffset = 0;  // points above the row's bottom edge
    const KittyGraphicsState* kitty = nullptr;
    const VirtualPlacements* virtualPlacements = nullptr;
};

// The bottom edge of a row in device pixels, y up from the view's bottom,
// through GridGeometry like every other row position.
double rowBottomPx(const RowFrameGeometry& g, int bufferRow);

// The cell ordinal of a UTF-16 index through a run's map; past the map, the
// last mapped ordinal (not the first), and 0 when there is none.
int cellOrdinalAt(const std::vector<int>& map, int index);

// Turns one snapshot row into its nine record lists: backgrounds per run,
// custom glyphs and Powerline joins, images, text glyphs snapped to their
// cells, decorations per cell. Main thread, inside the frame build; may
// change an atlas (the glyph cache notes it).
class RowDrawBuilder {
public:
    RowDrawBuilder(GlyphCache& glyphs, GlyphAtlas& grayscaleAtlas, ShaperCache& shaper, ImageTextureCache& images)
        : glyphs_(glyphs), gray_(grayscaleAtlas), shaper_(shaper), images_(images)
    {}

    RowDrawData build(RendererView& view, const FrameRowSnapshot& snapshot, const FrameRow& row, int columns,
                      const RowFrameGeometry& g);

    // The character under a block caret in the caret's text colour: a solid
    // Powerline separator from its mask, anything else shaped like row text.
    void caretGlyph(RendererView& view, const RowFrameGeometry& g, CursorDrawData& caret);

    // Forgets the glyph places remembered from the glyph cache: call it
    // whenever that cache drops entries (an atlas reset or growth).
    void clearGlyphMemo()
    {
        glyphMemo_.clear();
        scaledMemo_.clear();
    }

private:
    struct RowFrame;
    // The glyph cache keys by PostScript name; rows look glyphs up by face
    // identity instead, which needs no string hashing per glyph.
    struct MemoKey {
        const void* face = nullptr;
        double size = 0;
        std::uint32_t glyph = 0;
        bool operator==(const MemoKey&) const = default;
    };
    struct MemoKeyHash {
        std::size_t operator()(const MemoKey& k) const noexcept
        {
            std::size_t h = std::hash<const void*>()(k.face);
            h ^= std::hash<double>()(k.size) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
            h ^= std::hash<std::uint32_t>()(k.glyph) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
            return h;
        }
    };
    std::optional<GlyphEntry> glyphEntry(const GpuFont& scaled, std::uint16_t glyph);
    GpuFont scaledFont(const GpuFont& font, double scale);
    // Where a glyph lands: the cell's ordinal, its left edge in points and
    // the columns it covers.
    struct GlyphSlot {
        int ordinal = 0;
        double xPt = 0;
        int columns = 1;
    };
    // Every glyph of a shaped piece on its cell, in pixels: a cell's first
    // glyph on its left edge, later ones at their shaped distance from it,
    // glyphs of wide cells fitted into their slot.
    template <class SlotOf, class Put>
    void placeGlyphs(const ShaperRun& shaped, const RowFrameGeometry& g, double baselinePt, SlotOf slotOf, Put put);

    void customGlyphs(RendererView& view, const RowFrame& f, RowDrawData& out);
    void images(const FrameRow& row, const RowFrame& f, RowDrawData& out);
    void placeholders(const RowFrame& f, RowDrawData& out);
    void text(RendererView& view, const RowRun& run, const RowFrame& f, RowDrawData& out);
    void decorations(RendererView& view, const RowRun& run, const RowFrame& f, RowDrawData& out);

    GlyphCache& glyphs_;
    GlyphAtlas& gray_;
    ShaperCache& shaper_;
    ImageTextureCache& images_;
    RowLayout layout_;
    std::u16string text_;
    std::vector<int> ordinals_;  // per UTF-16 unit: the cell's place in its run
    std::unordered_map<MemoKey, GlyphEntry, MemoKeyHash> glyphMemo_;
    std::unordered_map<MemoKey, GpuFont, MemoKeyHash> scaledMemo_;
};

}  // namespace ravelgrid
