// What the OpenGL host sees of the view.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/view/GpuHostedView.h"

namespace ravelgrid {

class TerminalView::GpuAccess final : public GpuHostedView {
public:
    explicit GpuAccess(TerminalView& view) : view_(view) {}

    QWidget& widget() const override { return view_; }
    Terminal& terminal() override { return view_.terminal(); }
    const FontSet& fontSet() const override { return view_.frame_.fontSet(); }
    QSizeF cellSize() const override { return view_.frame_.cellSize(); }
    CellAttributes& attributes() override { return view_.frame_.attributes(); }
    bool antiAliasCustomBlockGlyphs() const override { return view_.frame_.antiAliasCustomBlockGlyphs(); }
    bool fontSmoothing() const override { return view_.fontSmoothing(); }
    RowContext rowContext() const override { return view_.rowContext(); }
    QColor defaultForeground() const override { return view_.effectiveNativeForeground(); }
    QColor defaultBackground() const override { return view_.effectiveNativeBackground(); }
    QColor caretColor() const override { return view_.effectiveCaretColor(); }
    QColor caretTextColor() const override { return view_.effectiveCaretTextColor(); }
    bool caretFocused() const override { return view_.caretFocused(); }
    bool caretTracksFocus() const override { return view_.caretViewTracksFocus(); }
    std::optional<double> scaleFactorOverride() const override { return view_.gpuScaleFactorOverride_; }
    BufferingMode bufferingMode() const override { return view_.gpuBufferingMode_; }
    void placeCaret() override { view_.updateCursorPosition(); }
    void rendererStatusChanged() override { emit view_.gpuRendererStatusDidChange(); }

private:
    TerminalView& view_;
};

GpuHostedView& TerminalView::gpuAccess()
{
    if (!gpuAccess_)
        gpuAccess_ = std::make_unique<GpuAccess>(*this);
    return *gpuAccess_;
}

}  // namespace ravelgrid
