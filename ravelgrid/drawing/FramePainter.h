#pragma once

#include "ravelgrid/drawing/CellAttributes.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/drawing/FrameRowSnapshot.h"
#include "ravelgrid/drawing/GridGeometry.h"
#include "ravelgrid/drawing/LineDecorations.h"
#include "ravelgrid/drawing/PictureJobs.h"
#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/drawing/RowBuilder.h"
#include "ravelgrid/protocols/KittyGraphicsState.h"

#include <QRawFont>
#include <QRectF>
#include <QSizeF>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class QPainter;

namespace ravelgrid {

class Buffer;
class KittyPlacementImage;

// Everything one frame reads.
struct FrameInput {
    Buffer* buffer = nullptr;  // the active buffer
    // The frame's rows, taken once and shared with other painters; when
    // absent they are taken from `buffer`.
    const FrameRowSnapshot* snapshot = nullptr;
    int columns = 0;   // the terminal's columns
    int rows = 0;      // the terminal's rows
    int startRow = 0;  // buffer row drawn at the top (yDisp)
    QSizeF viewSize;
    QRectF dirty;  // what needs drawing, in view coordinates
    RowContext row;
    // The terminal's kitty images and placements, for placeholder cells.
    const KittyGraphicsState* kitty = nullptr;
    bool alternateBuffer = false;
};

// Paints the visible part of a terminal with QPainter, per row: backgrounds,
// pictures below the text, block, box and Powerline shapes, text with its
// decorations, kitty placeholder cells, pictures above the text; DEC
// double-size rows scaled, and the strip below the last whole row in the
// default background. Holds the fonts, the cell size, the
// colour and attribute caches, and scratch storage reused frame to frame.
class FramePainter {
public:
    FramePainter();

    // Kept with antialiasing as fontSmoothing says.
    void setFontSet(FontSet fonts);
    const FontSet& fontSet() const { return fonts_; }
    // Off: every glyph's pixels fully on or off.
    bool fontSmoothing() const { return fonts_.antialiased(); }
    void setFontSmoothing(bool on);
    void setCellSize(QSizeF cell) { cell_ = cell; }
    QSizeF cellSize() const { return cell_; }
    GridGeometry geometry(QSizeF viewSize) const;

    ColorResolver& colors() { return colors_; }
    const ColorResolver& colors() const { return colors_; }
    CellAttributes& attributes() { return attributes_; }
    const CellAttributes& attributes() const { return attributes_; }

    void drawTerminalContents(QPainter& painter, const FrameInput& input);

    // Draws one cell's character in the given colour (the caret's content).
    void drawCellGlyph(QPainter& painter, const RowCell& cell, FontFace face, const QColor& color, qreal baselineY,
                       const RowContext& context);

    // How often a frame drew glyph runs; lets tests see that nothing was drawn.
    uint64_t glyphRunCount() const { return glyphRuns_; }

    // Block elements drawn anti-aliased at their exact eighths instead of
    // snapped to device pixels.
    bool antiAliasCustomBlockGlyphs() const { return antiAliasBlocks_; }
    void setAntiAliasCustomBlockGlyphs(bool on) { antiAliasBlocks_ = on; }

    // Decoded kitty pictures kept between frames: only those the last whole
    // frame drew stay.
    size_t cachedPictureCount() const { return pictures_.size(); }
    // Large pictures are prepared on a worker: a frame draws nothing for one
    // until it is ready, then this runs (on the painter's thread) so that
    // the owner draws again.
    void setPictureReadyCallback(std::function<void()> ready);
    // Pictures being prepared on a worker.
    size_t pendingPictureCount() const { return jobs_ ? jobs_->pendingCount() : 0; }

private:
    struct Placed {
        quint32 glyph;
        QPointF position;
        size_t fontSlot;  // into fontSlots_
    };

    void adoptFonts(FontSet fonts);
    void drawRow(QPainter& painter, const FrameInput& input, const GridGeometry& geometry,
                 const FrameRowSnapshot& snapshot, const FrameRow& row, int screenRow);
    void drawText(QPainter& painter, const RowRun& run, const RowLayout& layout, qreal baselineY,
                  const RowContext& context);
    void placeScalar(const RowCell& cell, char32_t ch, FontFace face, qreal baselineY, bool emoji = false);
    quint32 glyphFor(FontFace face, char32_t ch);
    size_t slotFor(const QRawFont& font);
    void flush(QPainter& painter);
    void drawCluster(QPainter& painter, const RowCell& cell, FontFace face, qreal baselineY, const RowContext& context);
    void drawDecorations(QPainter& painter, const RowRun& run, const RowLayout& layout, qreal baselineY,
                         const FrameInput& input, qreal scale);
    void drawImages(QPainter& painter, const std::vector<ImageDrawEntry>& entries, qreal rowTop, qreal scale);
    void drawKittyBand(QPainter& painter, const KittyPlacementImage& cell, qreal rowTop, qreal scale);
    void drawPlaceholders(QPainter& painter, const FrameInput& input, qreal rowTop, qreal scale);
    // Picture rows y0..y1 with their top-left corner at a logical point.
    static void blitBand(QPainter& painter, QPointF topLeft, const QImage& picture, int y0, int y1, qreal scale);
    // A kitty payload decoded, at its own size (an invalid size) or scaled;
    // null while a large one is being prepared.
    std::shared_ptr<const QImage> kittyPicture(const KittyGraphicsPayload& payload, QSize size);
    void adoptFinishedPictures();

    struct CachedPicture {
        std::weak_ptr<const std::vector<uint8_t>> source;
        const void* key = nullptr;
        QSize size;
        std::shared_ptr<const QImage> image;  // null: could not be decoded
        uint64_t frame = 0;
    };

    FontSet fonts_;
    QSizeF cell_{8, 16};
    ColorResolver colors_;
    CellAttributes attributes_;
    RowLayout layout_;
    std::vector<Placed> placed_;
    std::vector<QRawFont> fontSlots_;  // slot 0: the run's own face
    std::vector<quint32> glyphScratch_;
    std::vector<QPointF> positionScratch_;
    std::array<std::array<quint32, 128>, 4> asciiGlyphs_{};
    uint64_t glyphRuns_ = 0;
    bool antiAliasBlocks_ = false;
    std::vector<ImageDrawEntry> below_;
    std::vector<ImageDrawEntry> above_;
    std::vector<ImageDrawEntry> other_;
    std::vector<DecorationPiece> decorationPieces_;
    std::vector<CachedPicture> pictures_;
    std::unique_ptr<PictureJobs> jobs_;  // made when a large picture first shows
    std::function<void()> pictureReady_;
    uint64_t frame_ = 0;
    // Virtual placements by image id, built once per frame when needed.
    std::unordered_map<uint32_t, std::vector<const KittyPlacementRecord*>> virtualPlacements_;
    bool virtualPlacementsBuilt_ = false;
};

}  // namespace ravelgrid
