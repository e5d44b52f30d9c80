#include "ravelgrid/gpu/RowDrawCache.h"

#include "ravelgrid/protocols/KittyGraphicsState.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>
#include <cmath>

namespace ravelgrid {

std::size_t RowDrawCache::entriesWithBuffers() const
{
    return std::size_t(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return e.second.buffers.has_value(); }));
}

DrawData RowDrawCache::buildDrawData(RendererView& view, double scale)
{
    rebuilt_ = 0;
    Terminal* terminal = view.terminal();
    TerminalKittyGraphics* graphics = terminal ? TerminalKittyGraphics::of(*terminal) : nullptr;
    const KittyGraphicsState* kitty = graphics ? &graphics->state() : nullptr;
    // Rows built while their pictures were being made are built again.
    if (images_.prune(kitty))
        entries_.clear();
    const QSizeF cell = view.cellSize();
    if (!terminal || cell.isEmpty())
        return {};
    Buffer& buffer = terminal->activeBuffer();
    const int lineCount = buffer.lines().count();
    if (lineCount <= 0)
        return {};
    const int lower = buffer.yDisp();
    const int upper = std::min(lower + buffer.rows() - 1, lineCount - 1);
    if (upper < lower)
        return {};

    const BufferingMode mode = view.bufferingMode();
    if (!mode_ || *mode_ != mode) {
        // Into the aggregated mode all per-row buffers go at once; back in
        // the per-row mode they are made again as rows are reused.
        if (mode == BufferingMode::perFrameAggregated)
            for (auto& [index, entry] : entries_)
                entry.buffers.reset();
        mode_ = mode;
    }

    const bool alternate = terminal->isCurrentBufferAlternate();
    const double windowScale = view.windowScale();
    const GpuFont font = view.font(FontFace::normal);
    CacheSignature signature{scale,
                             cell.width(),
                             cell.height(),
                             view.viewSize().width(),
                             view.viewSize().height(),
                             lower,
                             buffer.rows(),
                             buffer.cols(),
                             font.valid() ? font.key() : std::string(),
                             font.size(),
                             alternate,
                             {},
                             view.rowContext().bidi,
                             view.rowContext().maximumBidiParagraphRows,
                             windowScale > 0 && std::isfinite(windowScale) ? windowScale : 1.0};
    if (kitty)
        signature.kittyStamp = {kitty->imagesById.size(), kitty->placementsByKey.size(), kitty->nextImageId,
                                kitty->nextPlacementId, kitty->nextContentRevision};
    const bool signatureMatched = signature_ && *signature_ == signature;
    if (!signatureMatched) {
        entries_.clear();
        signature_ = signature;
    }
    std::erase_if(entries_, [&](const auto& e) { return e.first < lower || e.first > upper; });

    const auto dirty = view.takeDirtyRange();
    const bool fullRebuild = !signatureMatched || entries_.empty();
    std::optional<std::pair<int, int>> forced;
    if (!fullRebuild && dirty) {
        const int from = std::max(dirty->first, lower), to = std::min(dirty->second, upper);
        if (from <= to)
            forced = std::pair{from, to};
    }

    VirtualPlacements virtualPlacements;
    if (kitty)
        for (const auto& [key, record] : kitty->placementsByKey)
            if (record.isVirtual && record.isAlternateBuffer == alternate)
                virtualPlacements[record.imageId].push_back(&record);

    const RendererFontMetrics metrics = view.fontMetrics(FontFace::normal);
    RowFrameGeometry geometry;
    geometry.topRow = lower;
    geometry.cellWidth = cell.width();
    geometry.cellHeight = cell.height();
    geometry.viewHeight = view.viewSize().height();
    geometry.viewportWidthPx = view.viewSize().width() * scale;
    geometry.scale = scale;
    geometry.windowScale = signature.windowScale;
    geometry.baselineOffset = std::ceil(metrics.descent + metrics.leading);
    geometry.kitty = kitty;
    geometry.virtualPlacements = &virtualPlacements;

    DrawData out;
    if (mode == BufferingMode::perFrameAggregated)
        out.frame.emplace();
    const RowContext& context = view.rowContext();
    const FrameRowSnapshot snapshot =
        FrameRowSnapshot::take(buffer, lower, upper - lower + 1,
                               context.bidi ? std::optional<int>(context.maximumBidiParagraphRows) : std::nullopt);
    for (const FrameRow& row : snapshot.rows()) {
        const int y = row.bufferRow;
        auto found = entries_.find(y);
        const bool reusable = found != entries_.end() && found->second.line == row.line &&
                              found->second.generation == row.generation &&
                              found->second.bidiRevision == row.bidiRevision && found->second.data;
        const bool isForced = forced && y >= forced->first && y <= forced->second;
        if (fullRebuild || !reusable || isForced) {
            Entry entry{row.line, row.generation, row.bidiRevision,
                        builder_.build(view, snapshot, row, buffer.cols(), geometry), std::nullopt};
            if (mode == BufferingMode::perRowPersistent)
                entry.buffers = makeRowDrawBuffers(backend_, *entry.data);
            found = entries_.insert_or_assign(y, std::move(entry)).first;
            ++rebuilt_;
        } else if (mode == BufferingMode::perRowPersistent && !found->second.buffers) {
            found->second.buffers = makeRowDrawBuffers(backend_, *found->second.data);
        }
        if (found->second.buffers)
            out.rows.push_back(*found->second.buffers);
        if (out.frame)
            out.frame->append(*found->second.data);
    }

    CursorFrameInput caret;
    caret.scale = scale;
    caret.cellWidth = cell.width();
    caret.cellHeight = cell.height();
    caret.viewHeight = view.viewSize().height();
    caret.topLine = lower;
    caret.firstLine = lower;
    caret.lastLine = upper;
    caret.tracksFocus = view.caretTracksFocus();
    caret.focused = view.hasFocus();
    caret.blinkOn = view.cursorBlinkOn();
    caret.textBlinkVisible = view.rowContext().textBlinkVisible;
    float r, g, b, a;
    view.caretColor().getRgbF(&r, &g, &b, &a);
    caret.color = {r, g, b, a};
    out.cursor = buildCursorDrawData(*terminal, caret);
    builder_.caretGlyph(view, geometry, out.cursor);
    return out;
}

}  // namespace ravelgrid
