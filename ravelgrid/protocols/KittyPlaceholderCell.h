#pragma once

#include "ravelgrid/screen/Attribute.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ravelgrid {

inline constexpr char32_t kKittyPlaceholderCharacter = 0x10EEEE;

// The row and column diacritics, in protocol order: a mark stands for its
// position. Generated from ICU at build time.
extern const std::array<char32_t, 297> kKittyPlaceholderDiacritics;

// Position of a diacritic in the table; nothing for any other scalar.
std::optional<int> kittyDiacriticIndex(char32_t scalar);

// What one placeholder cell (U+10EEEE with its marks) shows: a tile of a
// virtual placement. Cells may leave out their numbers and inherit them
// from the cell to their left.
struct KittyPlaceholderCell {
    int row = 0;
    int col = 0;
    uint32_t imageId = 0;
    uint32_t placementId = 0;
    int placeholderRow = 0;
    int placeholderCol = 0;
    int msb = 0;

    // The cell to the left, as parsed, with its colours.
    struct Previous;

    // `text` is the cell's character with its combining marks (UTF-8);
    // nothing when it is not a placeholder. `previous` may be null.
    static std::optional<KittyPlaceholderCell> parse(std::string_view text, Attribute::Color foreground,
                                                     std::optional<Attribute::Color> underline, int row, int col,
                                                     const Previous* previous);

    // A colour as the number the protocol reads from it.
    static uint32_t colorNumber(Attribute::Color color);

    friend bool operator==(const KittyPlaceholderCell&, const KittyPlaceholderCell&) = default;
};

struct KittyPlaceholderCell::Previous {
    KittyPlaceholderCell cell;
    Attribute::Color foreground;
    std::optional<Attribute::Color> underline;
};

}  // namespace ravelgrid
