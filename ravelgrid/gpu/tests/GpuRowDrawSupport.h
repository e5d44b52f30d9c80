#pragma once

// A renderer's row path over the fake backend and a real Terminal, with a
// view that is plain data: for the row tests and the draw benchmark.

#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/gpu/DrawingFallbackChooser.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/RowDrawCache.h"
#include "ravelgrid/gpu/ShaperCache.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <array>
#include <memory>
#include <string_view>

namespace ravelgrid::test {

inline FaceLibrary& sharedFaces()
{
    static FaceLibrary faces;
    return faces;
}

class TestView final : public RendererView {
public:
    explicit TestView(Terminal& terminal) : terminal_(terminal), attributes_(colors)
    {
        auto face = sharedFaces().faceFor("JetBrains Mono", false, false);
        if (face)
            normal_ = GpuFont(face, 13);
        context.clusterText = [&terminal](int32_t code) { return QString::fromStdString(terminal.character(code)); };
        context.selectedBackground = QColor(30, 60, 200);
        context.selectedForeground = QColor(255, 255, 255);
    }

    Terminal* terminal() override { return &terminal_; }
    QSizeF cellSize() const override { return cell; }
    QSizeF viewSize() const override { return view; }
    GpuFont font(FontFace face) const override
    {
        const GpuFont& own = faces[std::size_t(face)];
        return own.valid() ? own : normal_;
    }
    RendererFontMetrics fontMetrics(FontFace face) const override { return metrics[std::size_t(face)]; }
    double windowScale() const override { return window; }
    CellAttributes& attributes() override { return attributes_; }
    QColor defaultBackground() const override { return colors.effectiveBackground(context.reverseColors); }
    QColor defaultForeground() const override { return colors.effectiveForeground(context.reverseColors); }
    const RowContext& rowContext() const override { return context; }
    bool antiAliasCustomBlockGlyphs() const override { return false; }
    bool hasFocus() const override { return focused; }
    bool caretTracksFocus() const override { return true; }
    bool cursorBlinkOn() const override { return blinkOn; }
    QColor caretColor() const override { return QColor(200, 200, 200); }
    QColor caretTextColor() const override { return QColor(10, 20, 30); }
    BufferingMode bufferingMode() const override { return mode; }
    std::optional<std::pair<int, int>> takeDirtyRange() override { return std::exchange(dirty, std::nullopt); }

    ColorResolver colors;
    RowContext context;
    QSizeF cell{8, 17};
    QSizeF view;
    std::array<GpuFont, 4> faces;  // an invalid one draws with the normal font
    std::array<RendererFontMetrics, 4> metrics{
        {{3, 0, -1.5, 1, 7}, {3, 0, -1.5, 1, 7}, {3, 0, -1.5, 1, 7}, {3, 0, -1.5, 1, 7}}};
    double window = 1;
    bool focused = true;
    bool blinkOn = true;
    BufferingMode mode = BufferingMode::perRowPersistent;
    std::optional<std::pair<int, int>> dirty;

private:
    Terminal& terminal_;
    CellAttributes attributes_;
    GpuFont normal_;
};

struct RowRenderer {
    explicit RowRenderer(TerminalOptions options = {})
        : gray(GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale)),
          colour(GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::bgra)), glyphs(rasterizer, *gray, *colour),
          shaper(sharedFaces(), &chooser), images(backend), builder(glyphs, *gray, shaper, images),
          cache(backend, builder, images), terminal_(std::make_unique<Terminal>(nullptr, options)), view(*terminal_)
    {
        TerminalKittyGraphics::attach(*terminal_);
        glyphs.clearRowCache = [this] { cache.clear(); };
        view.view = QSizeF(terminal_->cols * view.cell.width(), terminal_->rows * view.cell.height());
    }

    void feed(std::string_view bytes) { terminal_->feed(bytes); }
    Terminal& terminal() { return *terminal_; }
    int rows() const { return terminal_->rows; }

    DrawData build(double scale, BufferingMode mode)
    {
        view.mode = mode;
        view.context.reverseColors = terminal_->reverseColors;
        return cache.buildDrawData(view, scale);
    }
    int rebuilt(BufferingMode mode, double scale = 1)
    {
        build(scale, mode);
        return cache.rowsRebuiltLastBuild();
    }
    QColor paletteColor(int index)
    {
        return view.colors.resolveColor(Attribute::Color::ansi256(uint8_t(index)), false, false, false, false);
    }

    FakeGpuBackend backend;
    std::unique_ptr<GlyphAtlas> gray, colour;
    FreeTypeGlyphRasterizer rasterizer;
    GlyphCache glyphs;
    DrawingFallbackChooser chooser;
    ShaperCache shaper;
    ImageTextureCache images;
    RowDrawBuilder builder;
    RowDrawCache cache;

private:
    std::unique_ptr<Terminal> terminal_;

public:
    TestView view;
};

}  // namespace ravelgrid::test
