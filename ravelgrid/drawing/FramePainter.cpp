#include "ravelgrid/drawing/FramePainter.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FallbackFonts.h"
#include "ravelgrid/drawing/LineCache.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/screen/Buffer.h"

#include <QGlyphRun>
#include <QPainter>

#include <algorithm>
#include <climits>
#include <cmath>

namespace ravelgrid {
namespace {

constexpr quint32 unknownGlyph = 0xFFFFFFFFu;

// The glyph of one character in a font; 0 when the font has none.
quint32 glyphIn(const QRawFont& font, char32_t ch)
{
    char16_t units[2] = {char16_t(ch), 0};
    int length = 1;
    if (ch >= 0x10000) {
        units[0] = char16_t(0xD800 + ((ch - 0x10000) >> 10));
        units[1] = char16_t(0xDC00 + ((ch - 0x10000) & 0x3FF));
        length = 2;
    }
    quint32 glyphs[2] = {0, 0};
    int n = 2;
    if (!font.glyphIndexesForChars(reinterpret_cast<const QChar*>(units), length, glyphs, &n) || n < 1)
        return 0;
    return glyphs[0];
}

}  // namespace

FramePainter::FramePainter() : fonts_(FontSet::defaultSet()), attributes_(colors_)
{
    for (auto& table : asciiGlyphs_)
        table.fill(unknownGlyph);
    cell_ = computeCellDimension(fonts_.rawNormal(), 1.0, 1.0);
}

void FramePainter::setFontSet(FontSet fonts)
{
    adoptFonts(fonts.withAntialiasing(fonts_.antialiased()));
}

void FramePainter::setFontSmoothing(bool on)
{
    if (on != fonts_.antialiased())
        adoptFonts(fonts_.withAntialiasing(on));
}

void FramePainter::adoptFonts(FontSet fonts)
{
    fonts_ = std::move(fonts);
    for (auto& table : asciiGlyphs_)
        table.fill(unknownGlyph);
    attributes_.clear();
}

GridGeometry FramePainter::geometry(QSizeF viewSize) const
{
    return GridGeometry(cell_, viewSize, baselineOffset(fonts_.rawNormal()));
}

void FramePainter::drawTerminalContents(QPainter& painter, const FrameInput& input)
{
    if ((!input.buffer && !input.snapshot) || cell_.isEmpty())
        return;
    FrameRowSnapshot taken;
    if (!input.snapshot)
        taken = FrameRowSnapshot::take(*input.buffer, input.startRow, input.rows);
    const FrameRowSnapshot& snapshot = input.snapshot ? *input.snapshot : taken;
    const GridGeometry geo = geometry(input.viewSize);
    const QColor background = colors_.effectiveBackground(input.row.reverseColors);

    ++frame_;
    adoptFinishedPictures();
    virtualPlacementsBuilt_ = false;
    virtualPlacements_.clear();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(input.dirty, background);

    if (auto rows = geo.rowsIntersecting(input.dirty)) {
        const int first = std::max(rows->first, 0);
        const int last = std::min(rows->second, input.rows - 1);
        for (int screenRow = first; screenRow <= last; ++screenRow) {
            const long long bufferRow = (long long)snapshot.startRow() + screenRow;
            if (bufferRow < 0 || bufferRow > INT_MAX)
                continue;
            if (const FrameRow* row = snapshot.row(int(bufferRow)))
                drawRow(painter, input, geo, snapshot, *row, screenRow);
        }
    }

    const QRectF strip = geo.bottomStrip();
    if (strip.intersects(input.dirty))
        painter.fillRect(strip, background);
    painter.restore();

    // Only what the last whole frame drew stays decoded: a frame of a few
    // rows keeps the pictures of the others, which may have been slow to make.
    const bool whole = input.dirty.contains(QRectF(QPointF(0, 0), input.viewSize));
    std::erase_if(pictures_,
                  [&](const CachedPicture& p) { return (whole && p.frame != frame_) || p.source.expired(); });
    virtualPlacements_.clear();
}

void FramePainter::drawRow(QPainter& painter, const FrameInput& input, const GridGeometry& geo,
                           const FrameRowSnapshot& snapshot, const FrameRow& row, int screenRow)
{
    const BufferLine& line = *row.line;
    const BufferLine::RenderLineMode mode = line.renderMode();
    const qreal top = geo.rowTop(screenRow);
    const qreal bottom = geo.rowBottom(screenRow);
    if (mode != BufferLine::RenderLineMode::single) {
        painter.save();
        switch (mode) {
        case BufferLine::RenderLineMode::doubleWidth: painter.scale(2.0, 1.0); break;
        case BufferLine::RenderLineMode::doubledTop:
            // The top edge stays put, so the row shows the upper half.
            painter.setClipRect(QRectF(0, top, input.dirty.width() + input.dirty.x(), geo.cell().height()),
                                Qt::IntersectClip);
            painter.translate(0, top);
            painter.scale(2.0, 2.0);
            painter.translate(0, -top);
            break;
        case BufferLine::RenderLineMode::doubledDown:
            // The bottom edge stays put: the lower half.
            painter.setClipRect(QRectF(0, top, input.dirty.width() + input.dirty.x(), geo.cell().height()),
                                Qt::IntersectClip);
            painter.translate(0, bottom);
            painter.scale(2.0, 2.0);
            painter.translate(0, -bottom);
            break;
        case BufferLine::RenderLineMode::single: break;
        }
    }

    // Right-to-left and mixed rows are drawn in their visual order.
    snapshot.layout(row, input.columns, input.row, attributes_, layout_);

    const QColor defaultBackground = colors_.effectiveBackground(input.row.reverseColors);
    for (const RowRun& run : layout_.runs) {
        if (run.style.background == defaultBackground || run.endColumn <= run.beginColumn)
            continue;
        painter.fillRect(QRectF(geo.columnX(run.beginColumn), top,
                                (run.endColumn - run.beginColumn) * geo.cell().width(), geo.cell().height()),
                         run.style.background);
    }

    const qreal scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    below_.clear();
    above_.clear();
    other_.clear();
    if (const TerminalImageList* images = line.images()) {
        for (const TerminalImagePtr& image : *images) {
            if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(image.get())) {
                (kitty->kittyZIndex < 0 ? below_ : above_).push_back({kitty->kittyZIndex, kitty->kittyImageId, kitty});
            } else if (const auto* placed = dynamic_cast<const PlatformImage*>(image.get())) {
                if (placed->kittyIsKitty)
                    (placed->kittyZIndex < 0 ? below_ : above_)
                        .push_back({placed->kittyZIndex, placed->kittyImageId, placed});
                else
                    other_.push_back({0, std::nullopt, placed});
            }
        }
        sortImagesForDrawing(below_);
        sortImagesForDrawing(above_);
    }
    drawImages(painter, below_, top, scale);

    const CustomGlyphCell glyphCell{geo.cell(), scale, top};
    if (!layout_.boxItems.empty())
        drawBoxDrawingItems(painter, layout_.boxItems, glyphCell,
                            boxLineWeight(fonts_.rawNormal().lineThickness(), scale));
    if (!layout_.blockItems.empty())
        drawBlockElementItems(painter, layout_.blockItems, glyphCell, antiAliasBlocks_);
    if (!layout_.powerlineItems.empty())
        drawPowerlineItems(painter, layout_.powerlineItems, mode, glyphCell);

    painter.setRenderHint(QPainter::TextAntialiasing, true);
    const qreal baseline = geo.baselineY(screenRow);
    for (const RowRun& run : layout_.runs) {
        drawText(painter, run, layout_, baseline, input.row);
        if (run.style.hasDecorations())
            drawDecorations(painter, run, layout_, baseline, input, scale);
    }

    if (!layout_.placeholderRuns.empty())
        drawPlaceholders(painter, input, top, scale);
    drawImages(painter, above_, top, scale);
    drawImages(painter, other_, top, scale);

    if (mode != BufferLine::RenderLineMode::single)
        painter.restore();
}

void FramePainter::drawDecorations(QPainter& painter, const RowRun& run, const RowLayout& layout, qreal baselineY,
                                   const FrameInput& input, qreal scale)
{
    decorationPieces_.clear();
    for (size_t i = run.firstCell; i < run.firstCell + run.cellCount; ++i) {
        const RowCell& cell = layout.cells[i];
        if (cell.custom || cell.hidden)
            continue;
        decorationPieces_.push_back({QPointF(cell.column * cell_.width(), baselineY), cell.width});
    }
    DecorationMetrics metrics = DecorationMetrics::fromFont(fonts_.rawNormal(), cell_.width(), scale,
                                                            colors_.effectiveForeground(input.row.reverseColors));
    metrics.belowBaseline = baselineOffset(fonts_.rawNormal());
    drawRunDecorations(painter, run.style, decorationPieces_, metrics,
                       StrikeMetrics::fromFont(fonts_.raw(run.style.face)));
}

std::shared_ptr<const QImage> FramePainter::kittyPicture(const KittyGraphicsPayload& payload, QSize size)
{
    const void* key = payload.sharedBytes().get();
    for (CachedPicture& p : pictures_) {
        if (p.key == key && p.size == size && !p.source.expired()) {
            p.frame = frame_;
            return p.image;
        }
    }
    std::shared_ptr<const QImage> image;
    if (!size.isValid()) {
        std::optional<QImage> decoded = payload.isPng()
                                            ? imageFromEncoded(payload.bytes())
                                            : imageFromRgba(payload.bytes(), payload.width(), payload.height());
        if (decoded)
            image = std::make_shared<const QImage>(decoded->convertToFormat(QImage::Format_ARGB32_Premultiplied));
    } else if (size.width() > 0 && size.height() > 0 && size.width() <= kMaxImageSide &&
               size.height() <= kMaxImageSide) {
        if (isLargePicture(payload)) {
            // Made on a worker straight at this size; nothing drawn until then.
            if (!jobs_) {
                jobs_ = std::make_unique<PictureJobs>();
                jobs_->setReady(pictureReady_);
            }
            const bool png = payload.isPng();
            const QSize natural = payloadPixelSize(payload).value_or(QSize());
            jobs_->request({key, size}, payload.sharedBytes(), [png, natural, size](std::span<const uint8_t> bytes) {
                return preparePayloadPicture(bytes, png, natural, size);
            });
            return nullptr;
        }
        if (auto natural = kittyPicture(payload, QSize()))
            image = natural->size() == size ? natural
                                            : std::make_shared<const QImage>(natural->scaled(
                                                  size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    pictures_.push_back(CachedPicture{payload.sharedBytes(), key, size, image, frame_});
    return image;
}

void FramePainter::setPictureReadyCallback(std::function<void()> ready)
{
    pictureReady_ = std::move(ready);
    if (jobs_)
        jobs_->setReady(pictureReady_);
}

void FramePainter::adoptFinishedPictures()
{
    if (!jobs_)
        return;
    for (PictureJobs::Finished& done : jobs_->takeFinished()) {
        if (done.source.expired())
            continue;
        // Stays until a whole frame leaves it out.
        pictures_.push_back(CachedPicture{done.source, done.key.bytes, done.key.size, std::move(done.image), frame_});
    }
}

void FramePainter::drawKittyBand(QPainter& painter, const KittyPlacementImage& cell, qreal rowTop, qreal scale)
{
    // From the header: a large picture is never decoded at its own size here.
    const auto natural = payloadPixelSize(cell.picture);
    if (!natural)
        return;
    const int cwPx = std::max(1, int(roundHalfAwayFromZero(cell_.width() * scale)));
    const int chPx = std::max(1, int(roundHalfAwayFromZero(cell_.height() * scale)));
    // In device pixels, as the client measured the picture.
    double w = natural->width();
    double h = natural->height();
    if (cell.kittyRequestedCols > 0 && cell.kittyRequestedRows > 0) {
        w = double(cell.kittyRequestedCols) * cwPx;
        h = double(cell.kittyRequestedRows) * chPx;
    } else if (cell.kittyRequestedCols > 0) {
        w = double(cell.kittyRequestedCols) * cwPx;
        h = natural->height() * w / natural->width();
    } else if (cell.kittyRequestedRows > 0) {
        h = double(cell.kittyRequestedRows) * chPx;
        w = natural->width() * h / natural->height();
    }
    const double dw = std::round(w);
    const double dh = std::round(h);
    if (!(dw >= 1 && dh >= 1 && dw <= kMaxImageSide && dh <= kMaxImageSide))
        return;
    const auto picture = kittyPicture(cell.picture, QSize(int(dw), int(dh)));
    if (!picture)
        return;
    // The pixel offsets move the picture right and down inside its first cell.
    const qreal x = cell.kittyCol * cell_.width() + cell.pixelOffsetX / scale;
    const qreal y = rowTop - cell.kittyRowOffset * cell_.height() + cell.pixelOffsetY / scale;
    const int y0 = std::max(0, int(roundHalfAwayFromZero((rowTop - y) * scale)));
    const int y1 = std::min(picture->height(), int(roundHalfAwayFromZero((rowTop + cell_.height() - y) * scale)));
    if (y1 <= y0)
        return;
    blitBand(painter, QPointF(x, y + y0 / scale), *picture, y0, y1, scale);
}

void FramePainter::blitBand(QPainter& painter, QPointF topLeft, const QImage& picture, int y0, int y1, qreal scale)
{
    // Pictures are at device resolution: on a plain row they are copied
    // pixel for pixel, which is far cheaper than a scaled draw.
    if (painter.worldTransform().type() <= QTransform::TxTranslate) {
        painter.save();
        painter.scale(1 / scale, 1 / scale);
        painter.drawImage(QPoint(int(std::lround(topLeft.x() * scale)), int(std::lround(topLeft.y() * scale))), picture,
                          QRect(0, y0, picture.width(), y1 - y0));
        painter.restore();
        return;
    }
    painter.drawImage(QRectF(topLeft, QSizeF(picture.width() / scale, (y1 - y0) / scale)), picture,
                      QRectF(0, y0, picture.width(), y1 - y0));
}

void FramePainter::drawImages(QPainter& painter, const std::vector<ImageDrawEntry>& entries, qreal rowTop, qreal scale)
{
    for (const ImageDrawEntry& entry : entries) {
        if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(entry.image)) {
            drawKittyBand(painter, *kitty, rowTop, scale);
            continue;
        }
        const auto* strip = static_cast<const PlatformImage*>(entry.image);
        if (!strip->picture)
            continue;
        const QImage& picture = *strip->picture;
        const int y0 = std::clamp(strip->bandTop, 0, picture.height());
        const int y1 = std::clamp(strip->bandTop + strip->bandHeight, 0, picture.height());
        if (y1 <= y0)
            continue;
        qreal x = strip->col * cell_.width();
        qreal y = rowTop;
        if (strip->kittyIsKitty) {
            x += strip->kittyPixelOffsetX / scale;
            y += strip->kittyPixelOffsetY / scale;
        }
        blitBand(painter, QPointF(x, y), picture, y0, y1, scale);
    }
}

void FramePainter::drawPlaceholders(QPainter& painter, const FrameInput& input, qreal rowTop, qreal scale)
{
    if (!input.kitty)
        return;
    if (!virtualPlacementsBuilt_) {
        virtualPlacementsBuilt_ = true;
        for (const auto& [key, record] : input.kitty->placementsByKey)
            if (record.isVirtual && record.isAlternateBuffer == input.alternateBuffer)
                virtualPlacements_[record.imageId].push_back(&record);
    }
    for (const KittyPlaceholderRun& run : layout_.placeholderRuns) {
        auto found = virtualPlacements_.find(run.imageId);
        if (found == virtualPlacements_.end())
            continue;
        const KittyPlacementRecord* placement = nullptr;
        for (const KittyPlacementRecord* record : found->second) {
            if ((run.placementId == 0 || record->placementId == run.placementId) && record->rows > 0 &&
                record->cols > 0 && record->rows > run.row && record->cols > run.col) {
                placement = record;
                break;
            }
        }
        if (!placement)
            continue;
        auto image = input.kitty->imagesById.find(run.imageId);
        if (image == input.kitty->imagesById.end())
            continue;
        const auto natural = payloadPixelSize(image->second.payload);
        if (!natural)
            continue;
        // The whole placement, placed so that this run's cells show their part.
        const QRectF area((run.column - run.col) * cell_.width(), rowTop - run.row * cell_.height(),
                          placement->cols * cell_.width(), placement->rows * cell_.height());
        const QRectF target = aspectFitRect(QSizeF(*natural), area);
        const QSize device(int(std::round(target.width() * scale)), int(std::round(target.height() * scale)));
        const auto picture = kittyPicture(image->second.payload, device);
        if (!picture)
            continue;
        painter.save();
        painter.setClipRect(QRectF(run.column * cell_.width(), rowTop, run.width * cell_.width(), cell_.height()),
                            Qt::IntersectClip);
        painter.drawImage(QRectF(target.topLeft(), QSizeF(picture->size()) / scale), *picture);
        painter.restore();
    }
}

quint32 FramePainter::glyphFor(FontFace face, char32_t ch)
{
    if (ch < 128) {
        quint32& cached = asciiGlyphs_[size_t(face)][ch];
        if (cached == unknownGlyph)
            cached = glyphIn(fonts_.raw(face), ch);
        return cached;
    }
    return glyphIn(fonts_.raw(face), ch);
}

size_t FramePainter::slotFor(const QRawFont& font)
{
    for (size_t i = 0; i < fontSlots_.size(); ++i) {
        if (fontSlots_[i] == font)
            return i;
    }
    fontSlots_.push_back(font);
    return fontSlots_.size() - 1;
}

void FramePainter::placeScalar(const RowCell& cell, char32_t ch, FontFace face, qreal baselineY, bool emoji)
{
    quint32 glyph = emoji ? 0 : glyphFor(face, ch);
    size_t slot = 0;
    if (glyph == 0) {
        const QRawFont fallback = FallbackFonts::fallbackFont(
            ch, fonts_.raw(face), fonts_.faceId(face),
            emoji ? FallbackFonts::Presentation::emoji : FallbackFonts::presentationOf(ch), fonts_.antialiased());
        glyph = glyphIn(fallback, ch);
        if (glyph != 0)
            slot = slotFor(fallback);
        else if (emoji)
            glyph = glyphFor(face, ch);
        // Otherwise no installed font has it: the cell font's missing-glyph box.
    }

    QPointF position(cell.column * cell_.width(), baselineY);
    if (cell.width > 1) {
        GlyphSlotFit fit = glyphSlotFit(fontSlots_[slot], glyph, cell.width, cell_, fonts_.rawNormal());
        if (fit.scale != 1.0) {
            QRawFont scaled = fontSlots_[slot];
            scaled.setPixelSize(scaled.pixelSize() * fit.scale);
            if (FallbackFonts::hasBitmapStrikes(scaled))
                fit.dy = bitmapGlyphSlotDy(scaled.boundingRect(glyph), cell_, baselineOffset(fonts_.rawNormal()));
            slot = slotFor(scaled);
        }
        position += QPointF(fit.dx, fit.dy);
    }
    placed_.push_back(Placed{glyph, position, slot});
}

void FramePainter::flush(QPainter& painter)
{
    size_t i = 0;
    while (i < placed_.size()) {
        size_t j = i + 1;
        while (j < placed_.size() && placed_[j].fontSlot == placed_[i].fontSlot)
            ++j;
        glyphScratch_.clear();
        positionScratch_.clear();
        for (size_t k = i; k < j; ++k) {
            glyphScratch_.push_back(placed_[k].glyph);
            positionScratch_.push_back(placed_[k].position);
        }
        QGlyphRun run;
        run.setRawFont(fontSlots_[placed_[i].fontSlot]);
        run.setRawData(glyphScratch_.data(), positionScratch_.data(), int(glyphScratch_.size()));
        painter.drawGlyphRun(QPointF(0, 0), run);
        ++glyphRuns_;
        i = j;
    }
    placed_.clear();
}

void FramePainter::drawText(QPainter& painter, const RowRun& run, const RowLayout& layout, qreal baselineY,
                            const RowContext& context)
{
    // Runs of shapes, blanks and hidden cells have no glyph to draw.
    bool anyGlyph = false;
    for (size_t i = run.firstCell; i < run.firstCell + run.cellCount && !anyGlyph; ++i)
        anyGlyph = layout.cells[i].code > 0x20;
    if (!anyGlyph)
        return;
    const FontFace face = run.style.face;
    fontSlots_.clear();
    fontSlots_.push_back(fonts_.raw(face));
    placed_.clear();
    painter.setPen(run.style.foreground);
    for (size_t i = run.firstCell; i < run.firstCell + run.cellCount; ++i) {
        const RowCell& cell = layout.cells[i];
        if (cell.code <= 0x20 || (cell.code >= 0x7f && cell.code <= 0x9f) || cell.hidden)
            continue;
        if (!cell.display.isEmpty() || cell.code >= CharData::firstClusterCode ||
            !isUnicodeScalar(uint32_t(cell.code))) {
            flush(painter);
            drawCluster(painter, cell, face, baselineY, context);
            continue;
        }
        placeScalar(cell, char32_t(cell.code), face, baselineY);
    }
    flush(painter);
}

void FramePainter::drawCluster(QPainter& painter, const RowCell& cell, FontFace face, qreal baselineY,
                               const RowContext& context)
{
    QString text = cell.display;
    if (text.isEmpty() && cell.code >= CharData::firstClusterCode && context.clusterText)
        text = context.clusterText(cell.code);
    if (text.isEmpty())
        return;
    // The layout would take the cell font's text form of the emoji.
    if (const char32_t emoji = FallbackFonts::emojiWithSelector(text)) {
        placeScalar(cell, emoji, face, baselineY, true);
        flush(painter);
        return;
    }
    // Qt shapes a cluster first with the font it is given and warns for
    // every installed font that lacks tables for the cluster's script (a
    // Latin face asked for Devanagari): lay it out in a font that has its
    // first character, and draw the missing-glyph box when none has it. The
    // choice follows from the text and the face, as the line cache's key.
    const char32_t first = text.at(0).isHighSurrogate() && text.size() > 1 && text.at(1).isLowSurrogate()
                               ? char32_t(QChar::surrogateToUcs4(text.at(0), text.at(1)))
                               : char32_t(text.at(0).unicode());
    QFont layoutFont = fonts_.font(face);
    if (isUnicodeScalar(uint32_t(first)) && !fonts_.raw(face).supportsCharacter(uint(first))) {
        // A selector or a joiner makes an emoji sequence of the cluster.
        const bool sequence = text.contains(QChar(0xFE0F)) || text.contains(QChar(0x200D));
        const QRawFont fallback = FallbackFonts::fallbackFont(
            first, fonts_.raw(face), fonts_.faceId(face),
            sequence ? FallbackFonts::Presentation::emoji : FallbackFonts::presentationOf(first), fonts_.antialiased());
        if (!fallback.supportsCharacter(uint(first))) {
            placeScalar(cell, first, face, baselineY);
            flush(painter);
            return;
        }
        // The face's weight and slant stay: the family's own style closest to them.
        layoutFont.setFamilies({fallback.familyName()});
    }
    const ShapedText shaped = LineCache::cachedLine(text, layoutFont, fonts_.faceId(face));
    if (shaped.runs.isEmpty())
        return;
    const qreal slotWidth = cell.width * cell_.width();
    qreal scale = 1.0;
    QPointF origin(cell.column * cell_.width(), baselineY);
    if (cell.width > 1) {
        // The whole cluster is fitted like one glyph, so a tall emoji
        // sequence stays inside its slot as a lone emoji does.
        QRectF box;
        for (const QGlyphRun& run : shaped.runs) {
            const QList<quint32> glyphs = run.glyphIndexes();
            const QList<QPointF> positions = run.positions();
            for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i)
                box |= run.rawFont().boundingRect(glyphs[i]).translated(positions[i]);
        }
        const GlyphSlotFit fit =
            glyphSlotFit(shaped.advance, box, cell.width, cell_, baselineOffset(fonts_.rawNormal()));
        scale = fit.scale;
        origin += QPointF(fit.dx, fit.dy);
        if (scale != 1.0 && std::all_of(shaped.runs.begin(), shaped.runs.end(), [](const QGlyphRun& run) {
                return FallbackFonts::hasBitmapStrikes(run.rawFont());
            })) {
            // An emoji sequence: its fonts scaled, as for a lone emoji, so
            // that it lands where it does on the GPU path.
            QList<QGlyphRun> runs;
            QRectF drawn;
            for (const QGlyphRun& run : shaped.runs) {
                QRawFont font = run.rawFont();
                font.setPixelSize(font.pixelSize() * scale);
                QList<QPointF> positions = run.positions();
                for (QPointF& p : positions)
                    p *= scale;
                const QList<quint32> glyphs = run.glyphIndexes();
                for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i)
                    drawn |= font.boundingRect(glyphs[i]).translated(positions[i]);
                QGlyphRun scaled = run;
                scaled.setRawFont(font);
                scaled.setPositions(positions);
                runs.push_back(scaled);
            }
            origin.setY(baselineY + bitmapGlyphSlotDy(drawn, cell_, baselineOffset(fonts_.rawNormal())));
            for (const QGlyphRun& run : runs) {
                painter.drawGlyphRun(origin, run);
                ++glyphRuns_;
            }
            return;
        }
    } else if (shaped.advance > slotWidth && shaped.advance > 0) {
        scale = std::max(slotWidth / shaped.advance, 0.1);
    }
    if (scale == 1.0) {
        for (const QGlyphRun& run : shaped.runs) {
            painter.drawGlyphRun(origin, run);
            ++glyphRuns_;
        }
        return;
    }
    painter.save();
    painter.translate(origin);
    painter.scale(scale, scale);
    for (const QGlyphRun& run : shaped.runs) {
        painter.drawGlyphRun(QPointF(0, 0), run);
        ++glyphRuns_;
    }
    painter.restore();
}

void FramePainter::drawCellGlyph(QPainter& painter, const RowCell& cell, FontFace face, const QColor& color,
                                 qreal baselineY, const RowContext& context)
{
    if (cell.code <= 0x20 || cell.hidden)
        return;
    painter.save();
    painter.setPen(color);
    fontSlots_.clear();
    fontSlots_.push_back(fonts_.raw(face));
    placed_.clear();
    if (!cell.display.isEmpty() || cell.code >= CharData::firstClusterCode || !isUnicodeScalar(uint32_t(cell.code)))
        drawCluster(painter, cell, face, baselineY, context);
    else
        placeScalar(cell, char32_t(cell.code), face, baselineY);
    flush(painter);
    painter.restore();
}

}  // namespace ravelgrid
