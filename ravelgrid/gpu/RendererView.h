#pragma once

#include "ravelgrid/drawing/CellAttributes.h"
#include "ravelgrid/drawing/RowBuilder.h"
#include "ravelgrid/gpu/BufferingMode.h"
#include "ravelgrid/gpu/GpuFace.h"

#include <QColor>
#include <QSizeF>

#include <optional>
#include <utility>

namespace ravelgrid {

class Terminal;

// A face's measures in points, y up from the baseline.
struct RendererFontMetrics {
    double descent = 0;
    double leading = 0;
    double underlinePosition = -1;  // below the baseline: negative
    double underlineThickness = 1;
    double xHeight = 0;
};

// What the GPU renderer reads of its view, so it runs without a widget.
class RendererView {
public:
    virtual ~RendererView() = default;

    virtual Terminal* terminal() = 0;
    virtual QSizeF cellSize() const = 0;  // points
    virtual QSizeF viewSize() const = 0;  // points
    // The font of a face at its point size; invalid when it has none.
    virtual GpuFont font(FontFace face) const = 0;
    // Measured as the painter measures them, so both draw lines alike.
    virtual RendererFontMetrics fontMetrics(FontFace face) const = 0;
    // Device pixels per point of the window the view is in (1 without one).
    // Kitty pixel offsets count in these even when frames are drawn at a
    // scale of their own.
    virtual double windowScale() const = 0;
    virtual CellAttributes& attributes() = 0;
    virtual QColor defaultBackground() const = 0;  // after reverse video
    virtual QColor defaultForeground() const = 0;
    // Selection, blink phase of text, reverse video, custom glyphs.
    virtual const RowContext& rowContext() const = 0;
    virtual bool antiAliasCustomBlockGlyphs() const = 0;
    // Off: glyphs are rasterised monochrome. Read at the start of every frame.
    virtual bool fontSmoothing() const { return true; }

    virtual bool hasFocus() const = 0;
    virtual bool caretTracksFocus() const = 0;
    virtual bool cursorBlinkOn() const = 0;
    virtual QColor caretColor() const = 0;
    virtual QColor caretTextColor() const = 0;

    virtual BufferingMode bufferingMode() const = 0;
    // Line indices to redraw, both included; reading it clears it.
    virtual std::optional<std::pair<int, int>> takeDirtyRange() = 0;
};

}  // namespace ravelgrid
