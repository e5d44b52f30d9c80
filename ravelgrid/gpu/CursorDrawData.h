#pragma once

#include "ravelgrid/gpu/RowDrawData.h"
#include "ravelgrid/screen/Attribute.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace ravelgrid {

class Terminal;

// A corner of a filled triangle: device pixels, y up, straight colour.
struct ColorVertex {
    float x = 0, y = 0;
    float r = 0, g = 0, b = 0, a = 0;
    bool operator==(const ColorVertex&) const = default;
};

struct CaretColor {
    float r = 1, g = 1, b = 1, a = 1;
};

// What the caret needs of the frame and the view.
struct CursorFrameInput {
    double scale = 1;
    double cellWidth = 0, cellHeight = 0;  // points
    double viewHeight = 0;                 // points
    int topLine = 0;                       // yDisp
    int firstLine = 0, lastLine = -1;      // shown line indices, both included
    bool tracksFocus = true;
    bool focused = true;
    bool blinkOn = true;  // the caret's own blink phase
    bool textBlinkVisible = true;
    CaretColor color;
};

// The cell a block caret redraws in its text colour.
struct CursorGlyphCell {
    int column = 0;
    int bufferRow = 0;
    double x0 = 0;  // the caret's left edge, device pixels
    double widthFactor = 1;
    std::int32_t code = 0;
    int width = 1;
    Attribute attribute;  // for the face the glyph is drawn in
    bool operator==(const CursorGlyphCell&) const = default;
};

struct CursorDrawData {
    std::vector<ColorVertex> colorVertices;  // six per rectangle
    // The cell a block caret redraws, for the glyph lists below.
    std::optional<CursorGlyphCell> glyph;
    // Its glyphs in the caret's text colour (white for colour glyphs), six
    // vertices each, texture coordinates in atlas texels.
    std::vector<GlyphVertex> glyphVerticesGray;
    std::vector<GlyphVertex> glyphVerticesColor;
    bool empty() const { return colorVertices.empty(); }
    bool operator==(const CursorDrawData&) const = default;
};

// The caret of one frame. A cursor waiting to wrap (x equal to the column
// count) is clamped to the last column before the range test, so it shows at
// the line's end.
CursorDrawData buildCursorDrawData(Terminal& terminal, const CursorFrameInput& in);

}  // namespace ravelgrid
