#pragma once

#include "ravelgrid/drawing/RowBuilder.h"
#include "ravelgrid/screen/BufferLine.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace ravelgrid {

class Buffer;

// One visible row as a frame sees it: the line object held for the frame,
// with what tells a painter whether its drawing is still current.
struct FrameRow {
    int bufferRow = 0;  // index into the buffer's line list
    BufferLinePtr line;
    std::uint64_t generation = 0;
    BufferLine::RenderLineMode mode = BufferLine::RenderLineMode::single;
    // Revision of the row's right-to-left paragraph layout; 0 without one.
    std::uint64_t bidiRevision = 0;
};

// The rows one frame draws, taken once per frame, read by the QPainter path
// and the GPU path alike; the attributed layout of a row is built only for
// the rows a painter asks for.
class FrameRowSnapshot {
public:
    FrameRowSnapshot() = default;
    // Rows startRow ... startRow + rows - 1 that exist in the buffer, with
    // their bidi paragraph revisions when a paragraph limit is given. The
    // buffer must outlive the snapshot's frame (it lays out paragraphs).
    static FrameRowSnapshot take(Buffer& buffer, int startRow, int rows,
                                 std::optional<int> bidiMaximumRows = std::nullopt);

    int startRow() const { return startRow_; }
    int columns() const { return columns_; }
    const std::vector<FrameRow>& rows() const { return rows_; }
    const FrameRow* row(int bufferRow) const;

    // buildRow's layout of a row: runs, cells, box, block and Powerline
    // items, placeholder runs; in visual order when the context lays rows
    // out right to left.
    void layout(const FrameRow& row, int columns, const RowContext& context, CellAttributes& attributes,
                RowLayout& out) const;

private:
    const Buffer* buffer_ = nullptr;
    int startRow_ = 0;
    int columns_ = 0;
    std::vector<FrameRow> rows_;
};

}  // namespace ravelgrid
