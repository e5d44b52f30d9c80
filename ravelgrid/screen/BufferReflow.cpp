#include <algorithm>

#include "ravelgrid/screen/Buffer.h"

// Resizing a buffer. Soft-wrapped text is not reflowed yet: rows keep their
// cells (and stay at least `cols` wide), the screen grows and shrinks at the
// bottom, pulling scrollback down or pushing rows up as the cursor needs.

namespace ravelgrid {

void Buffer::resize(int newCols, int newRows)
{
    newCols = std::max(newCols, minCols);
    newRows = std::max(newRows, minRows);

    marginRight_ = std::min(marginRight_, newCols - 1);
    if (marginLeft_ >= marginRight_)
        marginLeft_ = marginRight_;

    const int newMax = getCorrectBufferLength(newRows);
    if (lines_.maxLength() < newMax)
        lines_.setMaxLength(newMax);

    if (lines_.count() == 0) {
        scrollBottom_ = newRows - 1;
    } else {
        if (cols_ < newCols) {
            for (int i = 0; i < lines_.count(); ++i)
                if (lines_[i].dataSize() < newCols)
                    lines_[i].resize(newCols, CharData::Null);
        }

        int pulled = 0;
        if (rows_ > newRows) {
            for (int i = 0; i < rows_ - newRows; ++i) {
                if (newRows + yBase_ >= lines_.count())
                    continue;
                if (y_ + yBase_ + 1 >= lines_.count()) {
                    ++yBase_;
                    ++yDisp_;
                } else {
                    lines_.setCount(lines_.count() - 1);
                }
            }
        } else if (rows_ < newRows) {
            for (int r = rows_; r < newRows; ++r) {
                if (lines_.count() >= newRows + yBase_)
                    continue;
                if (yBase_ > 0 && yBase_ + r + pulled + 1 >= lines_.count()) {
                    --yBase_;
                    ++pulled;
                    if (yDisp_ > 0)
                        --yDisp_;
                } else {
                    auto line = std::make_shared<BufferLine>(newCols, CharData::Null, false, defaultBidiState);
                    lines_.push(std::move(line));
                }
            }
        }

        if (newMax < lines_.maxLength()) {
            const int n = lines_.count() - newMax;
            if (n > 0) {
                dropOldestRows(n);
                yBase_ = std::max(yBase_ - n, 0);
                yDisp_ = std::max(yDisp_ - n, 0);
            }
            lines_.setMaxLength(newMax);
        }

        x_ = std::min(x_, newCols - 1);
        y_ = std::min(y_, newRows - 1) + pulled;
        y_ = std::min(y_, newRows - 1);
        savedX = std::min(savedX, newCols - 1);
        scrollTop_ = 0;
        scrollBottom_ = newRows - 1;
    }

    tabStops.resize(static_cast<size_t>(newCols), false);
    rows_ = newRows;
    cols_ = newCols;
}

}  // namespace ravelgrid
