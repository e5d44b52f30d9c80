#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ravelgrid {

// Word-at-a-time scans for the hot loops of the parser and the print path.
struct ByteScan {
    static constexpr uint64_t ones = 0x0101010101010101ull;
    static constexpr uint64_t highs = 0x8080808080808080ull;

    static uint64_t load(const uint8_t* p)
    {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    }
    // Some byte of w is below n (n <= 128); later bytes may be flagged wrongly.
    static bool hasLess(uint64_t w, uint8_t n) { return ((w - ones * n) & ~w & highs) != 0; }

    // First index in [i, n) whose byte is below 0x20.
    static size_t skipAtLeast0x20(const uint8_t* p, size_t i, size_t n)
    {
        while (i + 8 <= n && !hasLess(load(p + i), 0x20))
            i += 8;
        while (i < n && p[i] >= 0x20)
            ++i;
        return i;
    }
    // First index in [i, n) whose byte is 0x80 or above.
    static size_t skipAscii(const uint8_t* p, size_t i, size_t n)
    {
        while (i + 8 <= n && (load(p + i) & highs) == 0)
            i += 8;
        while (i < n && p[i] < 0x80)
            ++i;
        return i;
    }
};

}  // namespace ravelgrid
