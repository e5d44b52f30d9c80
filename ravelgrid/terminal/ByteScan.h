#pragma once

#include <bit>
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

    // Index of the lowest flagged byte of a non-zero mask. Only the lowest
    // flag of hasLess's mask is exact, and on a little-endian machine it is
    // the first byte in memory.
    static size_t firstFlagged(uint64_t mask) { return static_cast<size_t>(std::countr_zero(mask)) >> 3; }
    static constexpr bool kLittleEndian = std::endian::native == std::endian::little;

    // How many of the word's bytes, from the first in memory, are ASCII
    // digits (0 to 8). No byte borrows from another, so every flag is exact.
    static size_t leadingDigits(uint64_t w)
    {
        const uint64_t atLeast0 = (w | highs) - ones * '0';
        const uint64_t atLeastColon = (w | highs) - ones * (':');
        const uint64_t digits = atLeast0 & ~atLeastColon & ~w & highs;
        const uint64_t others = ~digits & highs;
        return others == 0 ? 8 : firstFlagged(others);
    }
    // The value of the word's first k (1 to 8) bytes, all digits, read as a
    // decimal number in three multiplications instead of k steps.
    static uint32_t digitsValue(uint64_t w, size_t k)
    {
        uint64_t v = (w - ones * '0') << (8 * (8 - k));  // leading zeros in place of the rest
        v = (v * (10 * 256 + 1)) >> 8;
        v = ((v & 0x00FF00FF00FF00FFull) * (100 * 65536 + 1)) >> 16;
        v = ((v & 0x0000FFFF0000FFFFull) * (10000ull * (1ull << 32) + 1)) >> 32;
        return static_cast<uint32_t>(v);
    }

    // First index in [i, n) whose byte is below 0x20.
    static size_t skipAtLeast0x20(const uint8_t* p, size_t i, size_t n)
    {
        bool printable = false;
        return skipAtLeast0x20(p, i, n, printable);
    }
    // The same, and whether every byte it passed is printable ASCII
    // (0x20-0x7E), which spares the print path a look at each byte.
    static size_t skipAtLeast0x20(const uint8_t* p, size_t i, size_t n, bool& printable)
    {
        uint64_t others = 0;  // flags of bytes that are DEL or not ASCII
        for (; i + 8 <= n; i += 8) {
            const uint64_t w = load(p + i);
            const uint64_t stops = (w - ones * 0x20) & ~w & highs;
            const uint64_t del = w ^ (ones * 0x7F);
            // A false DEL flag only ever lies above a true one, so any flag
            // below a place means a DEL below it.
            const uint64_t notPrintable = (w & highs) | ((del - ones) & ~del & highs);
            if (stops == 0) {
                others |= notPrintable;
                continue;
            }
            // The stop's place without a byte loop whose length the branch
            // predictor cannot guess.
            if constexpr (kLittleEndian) {
                const size_t k = firstFlagged(stops);
                others |= notPrintable & ((uint64_t{1} << (8 * k)) - 1);
                printable = others == 0;
                return i + k;
            }
            break;
        }
        printable = others == 0;
        for (; i < n && p[i] >= 0x20; ++i)
            printable = printable && p[i] < 0x7F;
        return i;
    }
    // First index in [i, n) whose byte is 0x80 or above.
    static size_t skipAscii(const uint8_t* p, size_t i, size_t n)
    {
        for (; i + 8 <= n; i += 8) {
            const uint64_t mask = load(p + i) & highs;
            if (mask == 0)
                continue;
            if constexpr (kLittleEndian)
                return i + firstFlagged(mask);
            break;
        }
        while (i < n && p[i] < 0x80)
            ++i;
        return i;
    }
};

}  // namespace ravelgrid
