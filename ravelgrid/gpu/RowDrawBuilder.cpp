#include "ravelgrid/gpu/RowDrawBuilder.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/GridGeometry.h"
#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/gpu/CustomGlyphMasks.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/ShaperCache.h"
#include "ravelgrid/protocols/KittyGraphicsState.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/screen/CharData.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ravelgrid {

namespace {

struct Rgba {
    float v[4] = {0, 0, 0, 1};
};

Rgba components(const QColor& c)
{
    if (!c.isValid())
        return {};
    float r, g, b, a;
    c.getRgbF(&r, &g, &b, &a);
    return {{r, g, b, a}};
}

// Transformed and clipped, the texture rectangle cut in proportion.
void appendTextCell(std::vector<TextCell>& out, DeviceRect r, double tx, double ty, double tw, double th,
                    const LineTransform& t, const Rgba& color)
{
    const DeviceRect full = applyLineRenderMode(r, t);
    DeviceRect c = full;
    if (t.clip) {
        c.x0 = std::max(c.x0, t.clip->x0);
        c.y0 = std::max(c.y0, t.clip->y0);
        c.x1 = std::min(c.x1, t.clip->x1);
        c.y1 = std::min(c.y1, t.clip->y1);
    }
    if (!(c.x1 > c.x0) || !(c.y1 > c.y0))
        return;
    const double fw = full.x1 - full.x0, fh = full.y1 - full.y0;
    const double u0 = tx + (c.x0 - full.x0) / fw * tw, u1 = tx + (c.x1 - full.x0) / fw * tw;
    const double v0 = ty + (c.y0 - full.y0) / fh * th, v1 = ty + (c.y1 - full.y0) / fh * th;
    out.push_back(TextCell{float(c.x0), float(c.y0), float(c.x1 - c.x0), float(c.y1 - c.y0), float(u0), float(v0),
                           float(u1 - u0), float(v1 - v0), color.v[0], color.v[1], color.v[2], color.v[3]});
}

// Six vertices of a textured rectangle (texture v grows upward with y),
// clipped to the row for doubled lines.
std::optional<ImageDraw> makeImageQuad(const std::shared_ptr<GpuTexture>& texture, DeviceRect r, double u0, double v0,
                                       double u1, double v1, const LineTransform& t, std::optional<DeviceRect> clip)
{
    const DeviceRect full = applyLineRenderMode(r, t);
    DeviceRect c = full;
    if (!clip)
        clip = t.clip;
    if (clip) {
        if (!(full.x1 > full.x0) || !(full.y1 > full.y0))
            return std::nullopt;
        c.x0 = std::max(c.x0, clip->x0);
        c.y0 = std::max(c.y0, clip->y0);
        c.x1 = std::min(c.x1, clip->x1);
        c.y1 = std::min(c.y1, clip->y1);
        if (!(c.x1 > c.x0) || !(c.y1 > c.y0))
            return std::nullopt;
        const double fw = full.x1 - full.x0, fh = full.y1 - full.y0;
        const double nu0 = u0 + (c.x0 - full.x0) / fw * (u1 - u0), nu1 = u0 + (c.x1 - full.x0) / fw * (u1 - u0);
        const double nv0 = v0 + (c.y0 - full.y0) / fh * (v1 - v0), nv1 = v0 + (c.y1 - full.y0) / fh * (v1 - v0);
        u0 = nu0, u1 = nu1, v0 = nv0, v1 = nv1;
    }
    const auto v = [](double x, double y, double u, double w) {
        return GlyphVertex{float(x), float(y), float(u), float(w), 1, 1, 1, 1};
    };
    ImageDraw draw{texture,
                   {v(c.x0, c.y0, u0, v0), v(c.x1, c.y0, u1, v0), v(c.x0, c.y1, u0, v1), v(c.x1, c.y0, u1, v0),
                    v(c.x1, c.y1, u1, v1), v(c.x0, c.y1, u0, v1)}};
    return draw;
}

void appendUtf16(std::u16string& out, char32_t c)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(char16_t(0xD800 + (c >> 10)));
        out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(char16_t(c));
    }
}

// A cell's text as the shaper takes it: its scalar, or its cluster's text.
void appendCellText(std::u16string& out, std::int32_t code, const RowContext& context)
{
    if (code >= CharData::firstClusterCode) {
        if (context.clusterText) {
            const QString cluster = context.clusterText(code);
            out.append(reinterpret_cast<const char16_t*>(cluster.utf16()), std::size_t(cluster.size()));
        }
    } else if (isUnicodeScalar(std::uint32_t(code))) {
        appendUtf16(out, char32_t(code));
    }
}

// The font of a cell's face, the normal one when that face has none.
GpuFont faceFont(RendererView& view, FontFace face)
{
    GpuFont font = view.font(face);
    return font.valid() ? font : view.font(FontFace::normal);
}

}  // namespace

int cellOrdinalAt(const std::vector<int>& map, int index)
{
    if (index >= 0 && std::size_t(index) < map.size())
        return map[std::size_t(index)];
    return map.empty() || map.back() < 0 ? 0 : map.back();
}

double rowBottomPx(const RowFrameGeometry& g, int bufferRow)
{
    const GridGeometry grid(QSizeF(g.cellWidth, g.cellHeight), QSizeF(g.viewportWidthPx / g.scale, g.viewHeight), 0);
    return grid.deviceRowBottomUp(bufferRow - g.topRow, g.scale);
}

struct RowDrawBuilder::RowFrame {
    const RowFrameGeometry& g;
    double bottomPx = 0, topPx = 0;
    double bottomPt = 0, topPt = 0;
    double baselinePt = 0;
    int cellWidthPx = 1, cellHeightPx = 1;
    LineTransform transform;
};

std::optional<GlyphEntry> RowDrawBuilder::glyphEntry(const GpuFont& scaled, std::uint16_t glyph)
{
    // Everything remembered came from the glyph cache; a cache with fewer
    // entries was emptied by an atlas reset.
    if (glyphs_.glyphs().size() < glyphMemo_.size())
        clearGlyphMemo();
    const MemoKey key{scaled.face().get(), scaled.size(), glyph};
    if (auto hit = glyphMemo_.find(key); hit != glyphMemo_.end())
        return hit->second;
    const std::size_t before = glyphs_.glyphs().size();
    auto entry = glyphs_.glyphEntry(scaled, glyph);
    // Fewer entries than before: an atlas was reset under us.
    if (glyphs_.glyphs().size() < before)
        clearGlyphMemo();
    if (entry)
        glyphMemo_.emplace(key, *entry);
    return entry;
}

GpuFont RowDrawBuilder::scaledFont(const GpuFont& font, double scale)
{
    const MemoKey key{font.face().get(), font.size(), std::bit_cast<std::uint32_t>(float(scale))};
    if (auto hit = scaledMemo_.find(key); hit != scaledMemo_.end())
        return hit->second;
    return scaledMemo_.emplace(key, glyphs_.scaledFont(font, scale)).first->second;
}

RowDrawData RowDrawBuilder::build(RendererView& view, const FrameRowSnapshot& snapshot, const FrameRow& row,
                                  int columns, const RowFrameGeometry& g)
{
    RowDrawData out;
    if (!row.line || g.cellWidth <= 0 || g.cellHeight <= 0 || !(g.scale > 0))
        return out;
    RowFrame f{g, 0, 0, 0, 0, 0, 1, 1, {}};
    f.bottomPx = rowBottomPx(g, row.bufferRow);
    f.topPx = f.bottomPx + g.cellHeight * g.scale;
    f.bottomPt = f.bottomPx / g.scale;
    f.topPt = f.bottomPt + g.cellHeight;
    f.baselinePt = f.bottomPt + g.baselineOffset;
    f.cellWidthPx = std::max(1, int(roundHalfAwayFromZero(g.cellWidth * g.scale)));
    f.cellHeightPx = std::max(1, int(roundHalfAwayFromZero(g.cellHeight * g.scale)));
    f.transform = LineTransform::forRow(row.mode, f.bottomPx, f.topPx, g.viewportWidthPx);

    snapshot.layout(row, columns, view.rowContext(), view.attributes(), layout_);

    // Backgrounds: one rectangle per run, none in the default colour.
    const QColor defaultBackground = view.defaultBackground();
    for (const RowRun& run : layout_.runs) {
        if (run.endColumn <= run.beginColumn || run.style.background == defaultBackground)
            continue;
        const Rgba c = components(run.style.background);
        appendColorRect(
            out.backgroundCells,
            {run.beginColumn * g.cellWidth * g.scale, f.bottomPx, run.endColumn * g.cellWidth * g.scale, f.topPx},
            f.transform, c.v);
    }
    if (!layout_.boxItems.empty() || !layout_.blockItems.empty() || !layout_.powerlineItems.empty())
        customGlyphs(view, f, out);
    images(row, f, out);
    for (const RowRun& run : layout_.runs) {
        text(view, run, f, out);
        if (run.style.hasDecorations())
            decorations(view, run, f, out);
    }
    if (!layout_.placeholderRuns.empty() && g.virtualPlacements && !g.virtualPlacements->empty())
        placeholders(f, out);
    return out;
}

void RowDrawBuilder::customGlyphs(RendererView& view, const RowFrame& f, RowDrawData& out)
{
    const RowFrameGeometry& g = f.g;
    const int scaleInt = int(roundHalfAwayFromZero(g.scale));
    const double lineThickness = view.fontMetrics(FontFace::normal).underlineThickness;
    const int base = std::max(1, std::max(int(roundHalfAwayFromZero(lineThickness * g.scale * 1.35)), scaleInt));
    const bool antiAlias = view.antiAliasCustomBlockGlyphs();
    const double bottom = roundHalfAwayFromZero(f.bottomPx);
    const auto put = [&](const CustomGlyphEntry& e, DeviceRect r, const QColor& color) {
        appendTextCell(out.glyphCellsGray, r, e.region.x, e.region.y, e.region.width, e.region.height, f.transform,
                       components(color));
    };
    for (const BoxDrawingRenderItem& item : layout_.boxItems) {
        const int w = std::max(1, item.columnWidth) * f.cellWidthPx;
        if (auto e = customGlyphEntry(glyphs_, gray_, g.scale, item.codePoint, w, f.cellHeightPx, base, false)) {
            const double x0 = double(item.column) * f.cellWidthPx;
            put(*e, {x0, bottom, x0 + w, bottom + (antiAlias ? g.cellHeight * g.scale : f.cellHeightPx)},
                item.foregroundColor);
        }
    }
    for (const BlockElementRenderItem& item : layout_.blockItems) {
        const int span = std::max(1, item.columnWidth);
        if (!antiAlias) {
            const int w = span * f.cellWidthPx;
            if (auto e = customGlyphEntry(glyphs_, gray_, g.scale, item.codePoint, w, f.cellHeightPx, 0, false)) {
                const double x0 = double(item.column) * f.cellWidthPx;
                put(*e, {x0, bottom, x0 + w, bottom + f.cellHeightPx}, item.foregroundColor);
            }
        } else {
            const int w = std::max(1, int(roundHalfAwayFromZero(span * g.cellWidth * g.scale)));
            if (auto e = customGlyphEntry(glyphs_, gray_, g.scale, item.codePoint, w, f.cellHeightPx, 0, true)) {
                const double x0 = item.column * g.cellWidth * g.scale;
                put(*e, {x0, f.bottomPx, x0 + span * g.cellWidth * g.scale, f.bottomPx + f.cellHeightPx},
                    item.foregroundColor);
            }
        }
    }
    for (const PowerlineRenderItem& item : layout_.powerlineItems) {
        const int w = std::max(1, item.columnWidth) * f.cellWidthPx;
        auto e = customGlyphEntry(glyphs_, gray_, g.scale, item.codePoint, w, f.cellHeightPx, 0, true);
        if (!e)
            continue;
        const double x0 = double(item.column) * f.cellWidthPx;
        const DeviceRect r{x0, bottom, x0 + e->size.width, bottom + e->size.height};
        put(*e, r, item.foregroundColor);
        const DeviceRect moved = applyLineRenderMode(r, f.transform);
        if (auto join =
                powerlineJoinRect(item.codePoint, {moved.x0, moved.y0, moved.x1 - moved.x0, moved.y1 - moved.y0})) {
            // Already transformed: only the clip applies.
            LineTransform clipOnly;
            clipOnly.clip = f.transform.clip;
            appendColorRect(out.powerlineJoinCells, {join->x, join->y, join->x + join->width, join->y + join->height},
                            clipOnly, components(item.foregroundColor).v);
        }
    }
}

void RowDrawBuilder::images(const FrameRow& row, const RowFrame& f, RowDrawData& out)
{
    const TerminalImageList* list = row.line->images();
    if (!list || list->empty())
        return;
    const RowFrameGeometry& g = f.g;
    struct Item {
        int z;
        std::uint32_t id;
        const TerminalImagePtr* image;
    };
    std::vector<Item> under, over, other;
    for (const TerminalImagePtr& image : *list) {
        if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(image.get()))
            (kitty->kittyZIndex < 0 ? under : over)
                .push_back({kitty->kittyZIndex, kitty->kittyImageId.value_or(0), &image});
        else if (const auto* placed = dynamic_cast<const PlatformImage*>(image.get()); placed && placed->kittyIsKitty)
            (placed->kittyZIndex < 0 ? under : over)
                .push_back({placed->kittyZIndex, placed->kittyImageId.value_or(0), &image});
        else
            other.push_back({0, 0, &image});
    }
    const auto order = [](const Item& a, const Item& b) { return a.z != b.z ? a.z < b.z : a.id < b.id; };
    std::stable_sort(under.begin(), under.end(), order);
    std::stable_sort(over.begin(), over.end(), order);
    // Everything of an image outside this row belongs to the rows around it.
    const DeviceRect rowClip{0, f.bottomPx, std::max(g.viewportWidthPx, 0.0), f.topPx};

    const auto place = [&](const Item& item, std::vector<ImageDraw>& to) {
        const TerminalImage* image = item.image->get();
        QSizeF detail;
        if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(image);
            kitty && kitty->kittyRequestedCols > 0 && kitty->kittyRequestedRows > 0)
            detail = QSizeF(kitty->kittyRequestedCols * g.cellWidth * g.scale,
                            kitty->kittyRequestedRows * g.cellHeight * g.scale);
        auto texture = images_.imageTexture(*item.image, detail);
        if (!texture)
            return;
        const double ue = texture->uExtent(), ve = texture->vExtent();
        std::optional<ImageDraw> draw;
        if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(image)) {
            const double w = kitty->kittyRequestedCols > 0 ? kitty->kittyRequestedCols * g.cellWidth
                                                           : texture->shownWidth() / g.scale;
            const double h = kitty->kittyRequestedRows > 0 ? kitty->kittyRequestedRows * g.cellHeight
                                                           : texture->shownHeight() / g.scale;
            const double x = kitty->kittyCol * g.cellWidth + kitty->pixelOffsetX / g.windowScale;
            const double top = f.topPt + kitty->kittyRowOffset * g.cellHeight - kitty->pixelOffsetY / g.windowScale;
            draw = makeImageQuad(texture->texture, {x * g.scale, (top - h) * g.scale, (x + w) * g.scale, top * g.scale},
                                 0, 0, ue, ve, f.transform, rowClip);
        } else if (const auto* placed = dynamic_cast<const PlatformImage*>(image)) {
            // This line's band of the picture; texture rows go up.
            const int pictureHeight = texture->height;
            const int bandTop = std::clamp(placed->bandTop, 0, pictureHeight);
            const int bandBottom = std::clamp(placed->bandTop + placed->bandHeight, bandTop, pictureHeight);
            if (bandBottom <= bandTop)
                return;
            const double side = texture->texture->side();
            const double v0 = (pictureHeight - bandBottom) / side, v1 = (pictureHeight - bandTop) / side;
            const double visible = double(bandBottom - bandTop) / std::max(placed->bandHeight, 1);
            // Offsets move the picture right and down, as the painter does.
            const bool offset = placed->kittyIsKitty;
            const double x = placed->col * g.cellWidth + (offset ? placed->kittyPixelOffsetX / g.windowScale : 0.0);
            const double top = f.topPt - (offset ? placed->kittyPixelOffsetY / g.windowScale : 0.0);
            const double h = placed->pixelHeight * visible;
            draw = makeImageQuad(texture->texture,
                                 {x * g.scale, (top - h) * g.scale, (x + placed->pixelWidth) * g.scale, top * g.scale},
                                 0, v0, ue, v1, f.transform, std::nullopt);
        }
        if (draw)
            to.push_back(std::move(*draw));
    };
    for (const Item& i : under)
        place(i, out.underImageDraws);
    for (const Item& i : over)
        place(i, out.overImageDraws);
    for (const Item& i : other)
        place(i, out.otherImageDraws);
}

void RowDrawBuilder::placeholders(const RowFrame& f, RowDrawData& out)
{
    const RowFrameGeometry& g = f.g;
    for (const KittyPlaceholderRun& run : layout_.placeholderRuns) {
        const auto found = g.virtualPlacements->find(run.imageId);
        if (found == g.virtualPlacements->end())
            continue;
        for (int k = 0; k < run.width; ++k) {
            const int column = run.column + k, inCol = run.col + k, inRow = run.row;
            const KittyPlacementRecord* placement = nullptr;
            for (const KittyPlacementRecord* p : found->second) {
                if ((run.placementId == 0 || p->placementId == run.placementId) && p->cols > inCol && p->rows > inRow) {
                    placement = p;
                    break;
                }
            }
            if (!placement)
                continue;
            const double pw = placement->cols * g.cellWidth, ph = placement->rows * g.cellHeight;
            auto texture = images_.kittyTexture(g.kitty, run.imageId, QSizeF(pw * g.scale, ph * g.scale));
            if (!texture)
                continue;
            // The placement's rectangle in points (y up), the image fitted in it.
            const double px = (column - inCol) * g.cellWidth + placement->pixelOffsetX / g.windowScale;
            const double py = (inRow * g.cellHeight + f.bottomPt) - (placement->rows - 1) * g.cellHeight +
                              placement->pixelOffsetY / g.windowScale;
            const QRectF fitted = aspectFitRect(
                QSizeF(texture->shownWidth() / g.scale, texture->shownHeight() / g.scale), QRectF(px, py, pw, ph));
            const QRectF piece =
                fitted.intersected(QRectF(column * g.cellWidth, f.bottomPt, g.cellWidth, g.cellHeight));
            if (piece.isEmpty() || fitted.width() <= 0 || fitted.height() <= 0)
                continue;
            const double ue = texture->uExtent(), ve = texture->vExtent();
            const double u0 = (piece.left() - fitted.left()) / fitted.width() * ue;
            const double u1 = (piece.right() - fitted.left()) / fitted.width() * ue;
            const double v0 = (piece.top() - fitted.top()) / fitted.height() * ve;
            const double v1 = (piece.bottom() - fitted.top()) / fitted.height() * ve;
            if (auto draw = makeImageQuad(
                    texture->texture,
                    {piece.left() * g.scale, piece.top() * g.scale, piece.right() * g.scale, piece.bottom() * g.scale},
                    u0, v0, u1, v1, f.transform, std::nullopt))
                out.placeholderImageDraws.push_back(std::move(*draw));
        }
    }
}

template <class SlotOf, class Put>
void RowDrawBuilder::placeGlyphs(const ShaperRun& shaped, const RowFrameGeometry& g, double baselinePt, SlotOf slotOf,
                                 Put put)
{
    // Across the piece's glyph runs: a mark from a fallback face keeps its
    // distance from the letter it sits on.
    int previous = -1;
    double anchor = 0;
    for (const ShaperGlyphRun& glyphRun : shaped.glyphRuns) {
        const GpuFont scaled = scaledFont(glyphRun.font, g.scale);
        // Bitmap strikes (colour emoji) the painter scales by a factor of its
        // own and puts on whole pixels: so are they here.
        GpuFace& face = *glyphRun.font.face();
        const bool strikes = face.hasBitmapStrikes();
        for (std::size_t k = 0; k < glyphRun.glyphs.size() && k < glyphRun.positions.size(); ++k) {
            const std::uint16_t glyph = glyphRun.glyphs[k];
            const GlyphSlot slot = slotOf(k < glyphRun.stringIndices.size() ? glyphRun.stringIndices[k] : -1);
            GlyphSlotFit fit;
            if (slot.columns > 1) {
                const QSizeF cell(g.cellWidth, g.cellHeight);
                if (auto m = face.measure(glyphRun.font.size(), glyph))
                    fit = glyphSlotFit(m->advance, QRectF(m->left, m->top, m->width, m->height), slot.columns, cell,
                                       g.baselineOffset);
                if (strikes && fit.scale != 1.0)
                    if (auto d = face.measure(glyphRun.font.size() * fit.scale, glyph))
                        fit.dy =
                            bitmapGlyphSlotDy(QRectF(d->left, d->top, d->width, d->height), cell, g.baselineOffset);
            }
            // A shrunk glyph is rasterised at its own size, as the painter
            // draws it, not a bitmap scaled down; sizes in quarter pixels
            // keep the faces' sizes few.
            std::optional<GlyphEntry> entry;
            if (strikes) {
                const double px = face.painterPixelSize(glyphRun.font.size() * fit.scale) * g.scale;
                entry = glyphEntry(scaledFont(glyphRun.font, px / glyphRun.font.size()), glyph);
            } else if (fit.scale != 1.0) {
                const double px = std::max(1.0, std::round(glyphRun.font.size() * g.scale * fit.scale * 4) / 4);
                entry = glyphEntry(scaledFont(glyphRun.font, px / glyphRun.font.size()), glyph);
            } else {
                entry = glyphEntry(scaled, glyph);
            }
            if (!entry || entry->size.width <= 0 || entry->size.height <= 0)
                continue;
            const GpuPoint pos = glyphRun.positions[k];
            double dx = 0;
            if (slot.ordinal == previous)
                dx = pos.x - anchor;
            else
                anchor = pos.x;
            previous = slot.ordinal;
            // The fit's dy counts down; rows count up.
            double x = (dx + slot.xPt + fit.dx) * g.scale;
            double y = (pos.y + baselinePt - fit.dy) * g.scale;
            if (strikes) {
                // The baseline rounded as counted from the top.
                x = std::floor(x + 1e-9);
                y = std::ceil(y - 0.5 - 1e-9);
            }
            const double x0 = entry->bearing.x + x;
            const double y0 = entry->bearing.y + y;
            put(DeviceRect{x0, y0, x0 + entry->size.width, y0 + entry->size.height}, *entry);
        }
    }
}

void RowDrawBuilder::text(RendererView& view, const RowRun& run, const RowFrame& f, RowDrawData& out)
{
    const RowFrameGeometry& g = f.g;
    text_.clear();
    ordinals_.clear();
    const RowContext& context = view.rowContext();
    const std::size_t end = std::min(run.firstCell + run.cellCount, layout_.cells.size());
    for (std::size_t i = run.firstCell; i < end; ++i) {
        const RowCell& cell = layout_.cells[i];
        // Blank glyphs are never cached (nothing to draw), so they would be
        // rasterised again every frame: spaces stay out of the shaped text.
        if (cell.code == 0 || cell.code == ' ' || cell.hidden || cell.custom)
            continue;
        appendCellText(text_, cell.code, context);
        ordinals_.resize(text_.size(), int(i - run.firstCell));
    }
    if (text_.empty())
        return;
    const GpuFont font = faceFont(view, run.style.face);
    if (!font.valid())
        return;
    const ShaperRun* shaped = shaper_.shape(text_, font);
    if (!shaped)
        return;
    const Rgba color = components(run.style.foreground);
    const auto slotOf = [&](int index) {
        const int ordinal = cellOrdinalAt(ordinals_, index);
        const RowCell& cell = layout_.cells[std::min(run.firstCell + std::size_t(ordinal), end - 1)];
        return GlyphSlot{ordinal, cell.column * g.cellWidth, cell.width};
    };
    placeGlyphs(*shaped, g, f.baselinePt, slotOf, [&](const DeviceRect& r, const GlyphEntry& entry) {
        const bool colour = entry.atlasKind == GlyphAtlasKind::color;
        appendTextCell(colour ? out.glyphCellsColor : out.glyphCellsGray, r, entry.region.x, entry.region.y,
                       entry.region.width, entry.region.height, f.transform,
                       colour || entry.isColor ? Rgba{{1, 1, 1, 1}} : color);
    });
}

void RowDrawBuilder::decorations(RendererView& view, const RowRun& run, const RowFrame& f, RowDrawData& out)
{
    const RowFrameGeometry& g = f.g;
    const RendererFontMetrics metrics = view.fontMetrics(FontFace::normal);
    const double thickness = decorationThickness(metrics.underlineThickness, g.scale);
    // The strikethrough is measured on the run's own face, like the painter's.
    const RendererFontMetrics strikeMetrics = view.fontMetrics(run.style.face);
    const double strikeThickness = decorationThickness(strikeMetrics.underlineThickness, g.scale);
    const Rgba underline =
        components(run.style.underlineColor.isValid() ? run.style.underlineColor : run.style.foreground);
    const double underlineY =
        underlineKeptInRow(f.baselinePt + metrics.underlinePosition, thickness, run.style.underlineStyle, f.bottomPt);
    const Rgba strike =
        components(run.style.strikethroughColor.isValid() ? run.style.strikethroughColor : run.style.foreground);
    for (std::size_t i = run.firstCell; i < run.firstCell + run.cellCount && i < layout_.cells.size(); ++i) {
        const RowCell& cell = layout_.cells[i];
        if (cell.custom || cell.hidden)
            continue;
        // One piece per cell over all its columns: patterns restart per cell.
        const DeviceRect span = decorationSpan(cell.column, cell.width, g.cellWidth, g.scale);
        if (run.style.underlineStyle != UnderlineStyle::none)
            appendUnderline(out.decorationCells, span, underlineY, thickness, underline.v, g.scale,
                            run.style.underlineStyle, f.transform);
        if (run.style.strikethrough)
            appendUnderline(out.decorationCells, span,
                            f.baselinePt + strikethroughOffset(strikeMetrics.xHeight, strikeThickness), strikeThickness,
                            strike.v, g.scale, UnderlineStyle::single, f.transform);
    }
}

void RowDrawBuilder::caretGlyph(RendererView& view, const RowFrameGeometry& g, CursorDrawData& caret)
{
    if (!caret.glyph || caret.glyph->code == 0 || !(g.scale > 0))
        return;
    const CursorGlyphCell& at = *caret.glyph;
    const Rgba ink = components(view.caretTextColor());
    const double bottom = rowBottomPx(g, at.bufferRow);
    const double baselinePt = bottom / g.scale + g.baselineOffset;
    const int span = std::max(1, at.width);
    const auto quad = [](std::vector<GlyphVertex>& out, DeviceRect r, const AtlasRegion& tex, const Rgba& c) {
        const auto v = [&](double x, double y, double u, double w) {
            return GlyphVertex{float(x), float(y), float(u), float(w), c.v[0], c.v[1], c.v[2], c.v[3]};
        };
        const double u0 = tex.x, v0 = tex.y, u1 = tex.x + tex.width, v1 = tex.y + tex.height;
        out.insert(out.end(), {v(r.x0, r.y0, u0, v0), v(r.x1, r.y0, u1, v0), v(r.x0, r.y1, u0, v1),
                               v(r.x1, r.y0, u1, v0), v(r.x1, r.y1, u1, v1), v(r.x0, r.y1, u0, v1)});
    };
    const RowContext& context = view.rowContext();
    if (context.customBlockGlyphs && powerlineSolidGlyphShape(std::uint32_t(at.code))) {
        const int w = int(roundHalfAwayFromZero(span * g.cellWidth * g.scale * at.widthFactor));
        const int h = int(roundHalfAwayFromZero(g.cellHeight * g.scale));
        if (auto e = customGlyphEntry(glyphs_, gray_, g.scale, std::uint32_t(at.code), std::max(w, 1), std::max(h, 1),
                                      0, true))
            quad(caret.glyphVerticesGray, {at.x0, bottom, at.x0 + e->size.width, bottom + e->size.height}, e->region,
                 ink);
        return;
    }
    // Text-style symbols (U+263A) find a text face in the shaper's fallback,
    // as in rows and in the painter.
    std::u16string text;
    if (at.code != ' ')
        appendCellText(text, at.code, context);
    // In the cell's own face, as the painter draws it.
    const CellStyle& style = view.attributes().attributesForCell(at.attribute, false, context.reverseColors);
    const GpuFont font = faceFont(view, style.face);
    if (text.empty() || !font.valid())
        return;
    const ShaperRun* shaped = shaper_.shape(text, font);
    if (!shaped)
        return;
    const auto slotOf = [&](int) { return GlyphSlot{0, at.x0 / g.scale, span}; };
    placeGlyphs(*shaped, g, baselinePt, slotOf, [&](const DeviceRect& r, const GlyphEntry& entry) {
        const bool colour = entry.atlasKind == GlyphAtlasKind::color;
        quad(colour ? caret.glyphVerticesColor : caret.glyphVerticesGray, r, entry.region,
             colour || entry.isColor ? Rgba{{1, 1, 1, 1}} : ink);
    });
}

}  // namespace ravelgrid
