#include "ravelgrid/drawing/FrameRowSnapshot.h"

#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/screen/Buffer.h"

#include <algorithm>

namespace ravelgrid {

FrameRowSnapshot FrameRowSnapshot::take(Buffer& buffer, int startRow, int rows, std::optional<int> bidiMaximumRows)
{
    FrameRowSnapshot s;
    s.buffer_ = &buffer;
    s.startRow_ = startRow;
    s.columns_ = buffer.cols();
    const int count = buffer.lines().count();
    const long long first = std::max<long long>(startRow, 0);
    const long long end = std::min<long long>((long long)startRow + std::max(rows, 0), count);
    if (end > first)
        s.rows_.reserve(std::size_t(end - first));
    for (long long i = first; i < end; ++i) {
        BufferLinePtr line = buffer.lines().get(int(i));
        if (!line)
            continue;
        const std::uint64_t generation = line->generation();
        const BufferLine::RenderLineMode mode = line->renderMode();
        const std::uint64_t revision =
            bidiMaximumRows ? TerminalBidi::cachedRowLayout(int(i), buffer, *bidiMaximumRows) : 0;
        s.rows_.push_back(FrameRow{int(i), std::move(line), generation, mode, revision});
    }
    return s;
}

const FrameRow* FrameRowSnapshot::row(int bufferRow) const
{
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), bufferRow,
                                     [](const FrameRow& r, int want) { return r.bufferRow < want; });
    return it != rows_.end() && it->bufferRow == bufferRow ? &*it : nullptr;
}

void FrameRowSnapshot::layout(const FrameRow& row, int columns, const RowContext& context, CellAttributes& attributes,
                              RowLayout& out) const
{
    TerminalBidi::DisplayedRow shown;
    if (context.bidi && buffer_)
        shown = TerminalBidi::displayedRow(row.bufferRow, *buffer_, columns, context.maximumBidiParagraphRows,
                                           context.clusterScalars);
    buildRow(*row.line, columns, row.bufferRow, context, attributes, out, shown.layout());
}

}  // namespace ravelgrid
