#include "ravelgrid/protocols/KittyPlaceholderCell.h"

#include "ravelgrid/screen/Utf8.h"

#include <algorithm>

namespace ravelgrid {

std::optional<int> kittyDiacriticIndex(char32_t scalar)
{
    // The table is in code point order.
    const auto it = std::lower_bound(kKittyPlaceholderDiacritics.begin(), kKittyPlaceholderDiacritics.end(), scalar);
    if (it == kKittyPlaceholderDiacritics.end() || *it != scalar)
        return std::nullopt;
    return static_cast<int>(it - kKittyPlaceholderDiacritics.begin());
}

uint32_t KittyPlaceholderCell::colorNumber(Attribute::Color color)
{
    switch (color.kind()) {
    case Attribute::Color::Kind::ansi256: return color.code();
    case Attribute::Color::Kind::trueColor:
        return static_cast<uint32_t>(color.red()) << 16 | static_cast<uint32_t>(color.green()) << 8 | color.blue();
    default: return 0;
    }
}

std::optional<KittyPlaceholderCell> KittyPlaceholderCell::parse(std::string_view text, Attribute::Color foreground,
                                                                std::optional<Attribute::Color> underline, int row,
                                                                int col, const Previous* previous)
{
    size_t pos = 0;
    if (text.empty() || utf8::next(text, pos) != kKittyPlaceholderCharacter)
        return std::nullopt;
    int marks[3] = {0, 0, 0};
    int markCount = 0;
    while (pos < text.size() && markCount < 3) {
        if (auto index = kittyDiacriticIndex(utf8::next(text, pos)))
            marks[markCount++] = *index;
    }

    const KittyPlaceholderCell* before = nullptr;
    if (previous && previous->foreground == foreground && previous->underline == underline &&
        previous->cell.row == row && previous->cell.col + 1 == col) {
        before = &previous->cell;
    }

    KittyPlaceholderCell cell;
    cell.row = row;
    cell.col = col;
    switch (markCount) {
    case 0:
        if (before) {
            cell.placeholderRow = before->placeholderRow;
            cell.placeholderCol = before->placeholderCol + 1;
            cell.msb = before->msb;
        }
        break;
    case 1:
        cell.placeholderRow = marks[0];
        if (before && before->placeholderRow == marks[0]) {
            cell.placeholderCol = before->placeholderCol + 1;
            cell.msb = before->msb;
        }
        break;
    case 2:
        cell.placeholderRow = marks[0];
        cell.placeholderCol = marks[1];
        if (before && before->placeholderRow == marks[0] && before->placeholderCol + 1 == marks[1]) {
            cell.msb = before->msb;
        }
        break;
    default:
        cell.placeholderRow = marks[0];
        cell.placeholderCol = marks[1];
        cell.msb = marks[2];
        break;
    }
    const uint32_t highByte = static_cast<uint32_t>(std::min(cell.msb, 255));
    cell.imageId = (colorNumber(foreground) & 0xFFFFFF) | highByte << 24;
    cell.placementId = underline ? colorNumber(*underline) : 0;
    return cell;
}

}  // namespace ravelgrid
