#pragma once

#include "ravelgrid/drawing/CellAttributes.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/drawing/RowBuilder.h"
#include "ravelgrid/gpu/BufferingMode.h"

#include <QColor>
#include <QSizeF>

#include <optional>

class QWidget;

namespace ravelgrid {

class Terminal;

// What the OpenGL host reads of the view it draws over, and the little it
// tells it back. The view implements it; the host knows nothing else of it.
class GpuHostedView {
public:
    virtual ~GpuHostedView() = default;

    // The widget the surface lies over: its size, window, scale and repaints.
    virtual QWidget& widget() const = 0;
    virtual Terminal& terminal() = 0;
    virtual const FontSet& fontSet() const = 0;
    virtual QSizeF cellSize() const = 0;
    virtual CellAttributes& attributes() = 0;
    virtual bool antiAliasCustomBlockGlyphs() const = 0;
    virtual bool fontSmoothing() const = 0;
    virtual RowContext rowContext() const = 0;
    virtual QColor defaultForeground() const = 0;
    virtual QColor defaultBackground() const = 0;
    // The caret by the caret view's rules, so both renderers show it alike.
    virtual QColor caretColor() const = 0;
    virtual QColor caretTextColor() const = 0;
    virtual bool caretFocused() const = 0;
    virtual bool caretTracksFocus() const = 0;
    // Unset: the device pixel ratio.
    virtual std::optional<double> scaleFactorOverride() const = 0;
    virtual BufferingMode bufferingMode() const = 0;

    // The surface took the caret or gave it back: the view's own caret
    // shows or hides again.
    virtual void placeCaret() = 0;
    virtual void rendererStatusChanged() = 0;
};

}  // namespace ravelgrid
