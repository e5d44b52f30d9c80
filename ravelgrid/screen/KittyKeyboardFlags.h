#pragma once

#include <cstdint>

namespace ravelgrid {

// The kitty keyboard protocol's enhancement flags. The terminal stores,
// pushes, pops and reports them; the key encoder reads them.
struct KittyKeyboardFlags {
    uint32_t rawValue = 0;

    static constexpr uint32_t disambiguate = 1;
    static constexpr uint32_t reportEvents = 2;
    static constexpr uint32_t reportAlternates = 4;
    static constexpr uint32_t reportAllKeys = 8;
    static constexpr uint32_t reportText = 16;
    static constexpr uint32_t all = 31;

    constexpr bool contains(uint32_t flags) const { return (rawValue & flags) == flags; }
    friend bool operator==(const KittyKeyboardFlags&, const KittyKeyboardFlags&) = default;
};

}  // namespace ravelgrid
