#include "ravelgrid/drawing/FramePainter.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FallbackFonts.h"
#include "ravelgrid/drawing/LineCache.h"
#include "ravelgrid/screen/Buffer.h"

#include <QGlyphRun>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ravelgrid {
namespace {

constexpr quint32 unknownGlyph = 0xFFFFFFFFu;

// The glyph of one character in a font; 0 when the font has none.
quint32 glyphIn(const QRawFont& font, char32_t ch) {
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

FramePainter::FramePainter() : fonts_(FontSet::defaultSet()), attributes_(colors_) {
    for (auto& table : asciiGlyphs_)
        table.fill(unknownGlyph);
    cell_ = computeCellDimension(fonts_.rawNormal(), 1.0, 1.0);
}

void FramePainter::setFontSet(FontSet fonts) {
    fonts_ = std::move(fonts);
    for (auto& table : asciiGlyphs_)
        table.fill(unknownGlyph);
    attributes_.clear();
}

GridGeometry FramePainter::geometry(QSizeF viewSize) const {
    return GridGeometry(cell_, viewSize, baselineOffset(fonts_.rawNormal()));
}

void FramePainter::drawTerminalContents(QPainter& painter, const FrameInput& input) {
    if (!input.buffer || cell_.isEmpty())
        return;
    const GridGeometry geo = geometry(input.viewSize);
    const QColor background = colors_.effectiveBackground(input.row.reverseColors);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(input.dirty, background);

    if (auto rows = geo.rowsIntersecting(input.dirty)) {
        const int first = std::max(rows->first, 0);
        const int last = std::min(rows->second, input.rows - 1);
        const int lineCount = input.buffer->lines().count();
        for (int screenRow = first; screenRow <= last; ++screenRow) {
            const long long bufferRow = (long long)input.startRow + screenRow;
            if (bufferRow < 0 || bufferRow >= lineCount)
                continue;
            drawRow(painter, input, geo, int(bufferRow), screenRow);
        }
    }

    const QRectF strip = geo.bottomStrip();
    if (strip.intersects(input.dirty))
        painter.fillRect(strip, background);
    painter.restore();
}

void FramePainter::drawRow(QPainter& painter, const FrameInput& input, const GridGeometry& geo, int bufferRow,
                           int screenRow) {
    BufferLine& line = input.buffer->lines()[bufferRow];
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

    buildRow(line, input.columns, bufferRow, input.row, attributes_, layout_);

    const QColor defaultBackground = colors_.effectiveBackground(input.row.reverseColors);
    for (const RowRun& run : layout_.runs) {
        if (run.style.background == defaultBackground || run.endColumn <= run.beginColumn)
            continue;
        painter.fillRect(QRectF(geo.columnX(run.beginColumn), top, (run.endColumn - run.beginColumn) * geo.cell().width(),
                                geo.cell().height()),
                         run.style.background);
    }

    painter.setRenderHint(QPainter::TextAntialiasing, true);
    const qreal baseline = geo.baselineY(screenRow);
    for (const RowRun& run : layout_.runs)
        drawText(painter, run, layout_, baseline, input.row);

    if (mode != BufferLine::RenderLineMode::single)
        painter.restore();
}

quint32 FramePainter::glyphFor(FontFace face, char32_t ch) {
    if (ch < 128) {
        quint32& cached = asciiGlyphs_[size_t(face)][ch];
        if (cached == unknownGlyph)
            cached = glyphIn(fonts_.raw(face), ch);
        return cached;
    }
    return glyphIn(fonts_.raw(face), ch);
}

size_t FramePainter::slotFor(const QRawFont& font) {
    for (size_t i = 0; i < fontSlots_.size(); ++i) {
        if (fontSlots_[i] == font)
            return i;
    }
    fontSlots_.push_back(font);
    return fontSlots_.size() - 1;
}

void FramePainter::placeScalar(const RowCell& cell, FontFace face, qreal baselineY) {
    const char32_t ch = char32_t(cell.code);
    quint32 glyph = glyphFor(face, ch);
    size_t slot = 0;
    if (glyph == 0) {
        const QRawFont fallback =
            FallbackFonts::fallbackFont(ch, fonts_.raw(face), fonts_.faceId(face), FallbackFonts::presentationOf(ch));
        glyph = glyphIn(fallback, ch);
        // No installed font has it: the cell font's missing-glyph box.
        if (glyph != 0)
            slot = slotFor(fallback);
    }

    QPointF position(cell.column * cell_.width(), baselineY);
    if (cell.width > 1) {
        const GlyphSlotFit fit = glyphSlotFit(fontSlots_[slot], glyph, cell.width, cell_, fonts_.rawNormal());
        position += QPointF(fit.dx, fit.dy);
        if (fit.scale != 1.0) {
            QRawFont scaled = fontSlots_[slot];
            scaled.setPixelSize(scaled.pixelSize() * fit.scale);
            slot = slotFor(scaled);
        }
    }
    placed_.push_back(Placed{glyph, position, slot});
}

void FramePainter::flush(QPainter& painter) {
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
                            const RowContext& context) {
    const FontFace face = run.style.face;
    fontSlots_.clear();
    fontSlots_.push_back(fonts_.raw(face));
    placed_.clear();
    painter.setPen(run.style.foreground);
    for (size_t i = run.firstCell; i < run.firstCell + run.cellCount; ++i) {
        const RowCell& cell = layout.cells[i];
        if (cell.code <= 0x20 || (cell.code >= 0x7f && cell.code <= 0x9f) || cell.hidden)
            continue;
        if (cell.code >= CharData::firstClusterCode || !isUnicodeScalar(uint32_t(cell.code))) {
            flush(painter);
            drawCluster(painter, cell, face, baselineY, context);
            continue;
        }
        placeScalar(cell, face, baselineY);
    }
    flush(painter);
}

void FramePainter::drawCluster(QPainter& painter, const RowCell& cell, FontFace face, qreal baselineY,
                               const RowContext& context) {
    if (cell.code < CharData::firstClusterCode || !context.clusterText)
        return;
    QString text = context.clusterText(cell.code);
    if (text.isEmpty())
        return;
    const ShapedText shaped = LineCache::cachedLine(text, fonts_.font(face), fonts_.faceId(face));
    if (shaped.runs.isEmpty())
        return;
    const qreal slotWidth = cell.width * cell_.width();
    qreal scale = 1.0;
    if (shaped.advance > slotWidth && shaped.advance > 0)
        scale = std::max(slotWidth / shaped.advance, 0.1);
    const qreal dx = cell.width > 1 ? (slotWidth - shaped.advance * scale) * 0.5 : 0;
    const QPointF origin(cell.column * cell_.width() + dx, baselineY);
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
                                 qreal baselineY, const RowContext& context) {
    if (cell.code <= 0x20 || cell.hidden)
        return;
    painter.save();
    painter.setPen(color);
    fontSlots_.clear();
    fontSlots_.push_back(fonts_.raw(face));
    placed_.clear();
    if (cell.code >= CharData::firstClusterCode || !isUnicodeScalar(uint32_t(cell.code)))
        drawCluster(painter, cell, face, baselineY, context);
    else
        placeScalar(cell, face, baselineY);
    flush(painter);
    painter.restore();
}

}  // namespace ravelgrid
