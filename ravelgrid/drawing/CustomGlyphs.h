#pragma once

#include "ravelgrid/screen/BufferLine.h"

#include <QColor>
#include <QPointF>
#include <QRect>
#include <QSizeF>

#include <cstdint>
#include <span>
#include <vector>

class QPainter;

namespace ravelgrid {

// Opacity factor of a block element rectangle.
enum class BlockAlpha : uint8_t { full, dark, medium, light };
qreal blockAlphaFactor(BlockAlpha a);

// A rectangle in eighths of the cell, x from the left edge, y from the top.
struct BlockElementRect {
    uint8_t x0 = 0;
    uint8_t x1 = 0;
    uint8_t y0 = 0;
    uint8_t y1 = 0;
    BlockAlpha alpha = BlockAlpha::full;
};

// The rectangles of U+2580...U+259F; empty for any other code point.
std::span<const BlockElementRect> blockElementRects(char32_t codePoint);

// One cell painted as a shape instead of a font glyph.
struct BlockElementRenderItem {
    int column = 0;
    int columnWidth = 1;
    char32_t codePoint = 0;
    std::span<const BlockElementRect> rects;
    QColor foregroundColor;
};

struct BoxDrawingRenderItem {
    int column = 0;
    int columnWidth = 1;
    char32_t codePoint = 0;
    QColor foregroundColor;
};
using PowerlineRenderItem = BoxDrawingRenderItem;

inline bool isBoxDrawing(char32_t cp)
{
    return cp >= 0x2500 && cp <= 0x257F;
}
inline bool isPowerlineShape(char32_t cp)
{
    return cp == 0xE0B0 || cp == 0xE0B2 || cp == 0xE0B4 || cp == 0xE0B6;
}

// Where a row's cells are, for the shape painters.
struct CustomGlyphCell {
    QSizeF cell;      // logical cell size
    qreal scale = 1;  // device pixels per logical pixel
    qreal rowTop = 0;
};

// Block elements: eighths of the cell, snapped outward to device pixels
// unless anti-aliased, at the shade's opacity times the colour's alpha.
void drawBlockElementItems(QPainter& painter, std::span<const BlockElementRenderItem> items, const CustomGlyphCell& at,
                           bool antiAlias);

// Box line weight in device pixels for a font's underline thickness.
int boxLineWeight(qreal underlineThickness, qreal scale);

// Box drawing painted in device pixels: neighbouring cells meet with no seam
// and no doubled pixel at any scale.
void drawBoxDrawingItems(QPainter& painter, std::span<const BoxDrawingRenderItem> items, const CustomGlyphCell& at,
                         int lineWeight);

// One box-drawing character into a cell given in logical units. Code points
// outside U+2500...U+257F paint nothing.
void paintBlockOrBoxGlyph(QPainter& painter, char32_t codePoint, const QColor& color, int lineWeight, QPointF origin,
                          QSizeF size, qreal scale);

// The same, with the painter already in device pixels and the cell given there.
void paintBoxGlyphPx(QPainter& painter, char32_t codePoint, const QColor& color, int lineWeight, const QRect& cellPx);

// Solid Powerline separators, snapped to device pixels (twice as fine
// across a doubled row) with a one-pixel seam column outside the base.
void drawPowerlineItems(QPainter& painter, std::span<const PowerlineRenderItem> items, BufferLine::RenderLineMode mode,
                        const CustomGlyphCell& at);

}  // namespace ravelgrid
