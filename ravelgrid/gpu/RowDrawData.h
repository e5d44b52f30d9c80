#pragma once

#include "ravelgrid/gpu/GpuBackend.h"
#include "ravelgrid/gpu/RowDecorations.h"

#include <memory>
#include <vector>

namespace ravelgrid {

// A glyph rectangle: lower-left corner and size in device pixels (y up),
// its atlas rectangle in texels, and its tint.
struct TextCell {
    float x = 0, y = 0;
    float width = 0, height = 0;
    float texX = 0, texY = 0;
    float texWidth = 0, texHeight = 0;
    float r = 1, g = 1, b = 1, a = 1;
};
static_assert(sizeof(TextCell) == 48);

// A corner of a textured triangle: device pixels (y up), texture
// coordinate, colour.
struct GlyphVertex {
    float x = 0, y = 0;
    float u = 0, v = 0;
    float r = 1, g = 1, b = 1, a = 1;
    bool operator==(const GlyphVertex&) const = default;
};
static_assert(sizeof(GlyphVertex) == 32);

struct ImageDraw {
    std::shared_ptr<GpuTexture> texture;
    std::vector<GlyphVertex> vertices;  // two triangles
};

// Everything one row draws, in drawing order within each list.
struct RowDrawData {
    std::vector<ColorCell> backgroundCells;
    std::vector<ColorCell> powerlineJoinCells;
    std::vector<TextCell> glyphCellsGray;
    std::vector<TextCell> glyphCellsColor;
    std::vector<ColorCell> decorationCells;
    std::vector<ImageDraw> underImageDraws;
    std::vector<ImageDraw> placeholderImageDraws;
    std::vector<ImageDraw> overImageDraws;
    std::vector<ImageDraw> otherImageDraws;

    void append(const RowDrawData& row);
    void clear();
    bool empty() const;
};

struct ImageDrawBuffer {
    std::shared_ptr<GpuTexture> texture;
    std::shared_ptr<GpuBuffer> buffer;
    int vertexCount = 0;
};

// A row's lists copied into GPU buffers of their own, kept with the row.
struct RowDrawBuffers {
    std::shared_ptr<GpuBuffer> backgroundBuffer;
    int backgroundCount = 0;
    std::shared_ptr<GpuBuffer> powerlineJoinBuffer;
    int powerlineJoinCount = 0;
    std::shared_ptr<GpuBuffer> glyphGrayBuffer;
    int glyphGrayCount = 0;
    std::shared_ptr<GpuBuffer> glyphColorBuffer;
    int glyphColorCount = 0;
    std::shared_ptr<GpuBuffer> decorationBuffer;
    int decorationCount = 0;
    std::vector<ImageDrawBuffer> underImageBuffers;
    std::vector<ImageDrawBuffer> placeholderImageBuffers;
    std::vector<ImageDrawBuffer> overImageBuffers;
    std::vector<ImageDrawBuffer> otherImageBuffers;
};

// A list the backend cannot hold is left out (count 0): that list is not
// drawn for the row.
RowDrawBuffers makeRowDrawBuffers(GpuBackend& backend, const RowDrawData& data);

}  // namespace ravelgrid
