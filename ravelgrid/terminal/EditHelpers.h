#pragma once

#include <algorithm>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

// Small pieces shared by the cursor, scrolling and editing commands.
struct EditHelpers {
    // The margins in force: the set ones while margin mode is on, else the
    // whole row (margins left over from an earlier margin mode do not count).
    static int leftMargin(const Terminal& t)
    {
        return t.marginMode ? std::clamp(t.buffer->marginLeft(), 0, t.cols - 1) : 0;
    }
    static int rightMargin(const Terminal& t)
    {
        return t.marginMode ? std::clamp(t.buffer->marginRight(), 0, t.cols - 1) : t.cols - 1;
    }

    // The blank that erasing leaves: default foreground, current background.
    static CharData eraseCell(const Terminal& t)
    {
        CharData blank;
        blank.attribute = t.eraseAttr();
        return blank;
    }

    // After cells on one side of the boundary before column `col` changed,
    // a wide character must still have its right half next to it and a right
    // half its wide character; a half that lost its partner becomes `blank`.
    static void mendSeam(BufferLine& line, int col, const CharData& blank)
    {
        const int size = line.dataSize();
        if (col < 0 || col > size)
            return;
        const bool wideBefore = col > 0 && line[col - 1].width >= 2;
        const bool halfAfter = col < size && line[col].width == 0;
        if (wideBefore && !halfAfter)
            line.set(col - 1, blank);
        if (halfAfter && !wideBefore)
            line.set(col, blank);
    }
};

}  // namespace ravelgrid
