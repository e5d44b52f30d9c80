#pragma once

#include <cstdint>

namespace ravelgrid {

// A 16-bit handle into a terminal's PayloadTable (hyperlink targets). Cells
// carry only the handle; its value belongs to the table that handed it out.
struct TinyAtom {
    uint16_t code = 0;  // 0 = no atom; valid atoms are 1..PayloadTable::maxCode

    friend bool operator==(const TinyAtom&, const TinyAtom&) = default;
};

}  // namespace ravelgrid
