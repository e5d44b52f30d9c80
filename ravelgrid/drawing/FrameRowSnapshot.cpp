#include "ravelgrid/drawing/FrameRowSnapshot.h"

#include "ravelgrid/screen/Buffer.h"

#include <algorithm>

namespace ravelgrid {

FrameRowSnapshot FrameRowSnapshot::take(Buffer& buffer, int startRow, int rows) {
    FrameRowSnapshot s;
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
        s.rows_.push_back(FrameRow{int(i), std::move(line), generation, mode, 0});
    }
    return s;
}

const FrameRow* FrameRowSnapshot::row(int bufferRow) const {
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), bufferRow,
                                     [](const FrameRow& r, int want) { return r.bufferRow < want; });
    return it != rows_.end() && it->bufferRow == bufferRow ? &*it : nullptr;
}

void FrameRowSnapshot::layout(const FrameRow& row, int columns, const RowContext& context, CellAttributes& attributes,
                              RowLayout& out) {
    buildRow(*row.line, columns, row.bufferRow, context, attributes, out);
}

}  // namespace ravelgrid
