#include "ravelgrid/protocols/KittyPlaceholderCell.h"

#include "ravelgrid/screen/Utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>

namespace ravelgrid {
namespace {

using Color = Attribute::Color;

std::string text(std::initializer_list<char32_t> scalars)
{
    std::string out;
    for (char32_t s : scalars)
        utf8::append(out, s);
    return out;
}

char32_t mark(int position)
{
    return kKittyPlaceholderDiacritics[static_cast<size_t>(position)];
}

TEST(KittyPlaceholderDiacritics, TableHasTheProtocolsNumbering)
{
    ASSERT_EQ(kKittyPlaceholderDiacritics.size(), 297u);
    EXPECT_EQ(kKittyPlaceholderDiacritics.front(), U'\u0305');
    EXPECT_EQ(kKittyPlaceholderDiacritics[1], U'\u030D');
    EXPECT_EQ(kKittyPlaceholderDiacritics[5], U'\u033D');
    EXPECT_EQ(kKittyPlaceholderDiacritics.back(), U'\U0001D244');
    EXPECT_TRUE(std::is_sorted(kKittyPlaceholderDiacritics.begin(), kKittyPlaceholderDiacritics.end()));

    EXPECT_EQ(kittyDiacriticIndex(U'\u0305'), 0);
    EXPECT_EQ(kittyDiacriticIndex(U'\U0001D244'), 296);
    for (char32_t excluded : {U'\u0300', U'\u0301', U'\u0308', U'\u0654', U'a', U'\U0010EEEE'}) {
        EXPECT_FALSE(kittyDiacriticIndex(excluded)) << static_cast<uint32_t>(excluded);
    }
}

TEST(KittyPlaceholderCell, NumbersComeFromColoursAndMarks)
{
    auto cell =
        KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter}), Color::ansi256(5), std::nullopt, 3, 7, nullptr);
    ASSERT_TRUE(cell);
    EXPECT_EQ(*cell, (KittyPlaceholderCell{3, 7, 5, 0, 0, 0, 0}));

    cell = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter}), Color::trueColor(1, 2, 3), Color::ansi256(9),
                                       0, 0, nullptr);
    EXPECT_EQ(cell->imageId, 66051u);
    EXPECT_EQ(cell->placementId, 9u);

    // The third mark is the image id's high byte.
    cell = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(4), mark(6), mark(2), mark(9)}),
                                       Color::trueColor(1, 2, 3), Color::trueColor(0, 1, 0), 0, 0, nullptr);
    EXPECT_EQ(cell->imageId, 33620483u);
    EXPECT_EQ(cell->placeholderRow, 4);
    EXPECT_EQ(cell->placeholderCol, 6);
    EXPECT_EQ(cell->placementId, 256u);

    cell = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(0), mark(0), mark(296)}),
                                       Color::ansi256(1), std::nullopt, 0, 0, nullptr);
    EXPECT_EQ(cell->msb, 296);
    EXPECT_EQ(cell->imageId >> 24, 255u);

    // Default colours count as 0; marks outside the table are skipped.
    cell = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, U'\u0301', mark(3)}), Color::defaultColor(),
                                       Color::defaultInvertedColor(), 0, 0, nullptr);
    EXPECT_EQ(cell->imageId, 0u);
    EXPECT_EQ(cell->placementId, 0u);
    EXPECT_EQ(cell->placeholderRow, 3);
}

TEST(KittyPlaceholderCell, OnlyThePlaceholderCharacterCounts)
{
    EXPECT_FALSE(KittyPlaceholderCell::parse("", Color::ansi256(1), std::nullopt, 0, 0, nullptr));
    EXPECT_FALSE(
        KittyPlaceholderCell::parse(text({U'x', mark(0), mark(1)}), Color::ansi256(1), std::nullopt, 0, 0, nullptr));
    EXPECT_FALSE(KittyPlaceholderCell::parse(text({mark(0), kKittyPlaceholderCharacter}), Color::ansi256(1),
                                             std::nullopt, 0, 0, nullptr));
}

TEST(KittyPlaceholderCell, InheritsFromTheLeftNeighbour)
{
    const Color fg = Color::ansi256(5);
    const std::string bare = text({kKittyPlaceholderCharacter});
    auto first = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(2), mark(7), mark(1)}), fg,
                                             std::nullopt, 4, 10, nullptr);
    ASSERT_TRUE(first);
    const KittyPlaceholderCell::Previous previous{*first, fg, std::nullopt};

    auto next = KittyPlaceholderCell::parse(bare, fg, std::nullopt, 4, 11, &previous);
    EXPECT_EQ(next->placeholderRow, 2);
    EXPECT_EQ(next->placeholderCol, 8);
    EXPECT_EQ(next->msb, 1);
    EXPECT_EQ(next->imageId, (1u << 24) | 5u);

    // Any difference in colour, row or adjacency starts again at 0, 0.
    const KittyPlaceholderCell reset{4, 11, 5, 0, 0, 0, 0};
    EXPECT_EQ(KittyPlaceholderCell::parse(bare, Color::ansi256(6), std::nullopt, 4, 11, &previous)->placeholderCol, 0);
    EXPECT_EQ(*KittyPlaceholderCell::parse(bare, fg, Color::ansi256(0), 4, 11, &previous),
              (KittyPlaceholderCell{4, 11, 5, 0, 0, 0, 0}));
    EXPECT_EQ(*KittyPlaceholderCell::parse(bare, fg, std::nullopt, 4, 11, nullptr), reset);
    EXPECT_EQ(KittyPlaceholderCell::parse(bare, fg, std::nullopt, 4, 12, &previous)->placeholderCol, 0);
    EXPECT_EQ(KittyPlaceholderCell::parse(bare, fg, std::nullopt, 5, 11, &previous)->placeholderCol, 0);

    // One mark: the column follows only on the same grid row.
    auto sameRow =
        KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(2)}), fg, std::nullopt, 4, 11, &previous);
    EXPECT_EQ(sameRow->placeholderCol, 8);
    EXPECT_EQ(sameRow->msb, 1);
    auto otherRow =
        KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(3)}), fg, std::nullopt, 4, 11, &previous);
    EXPECT_EQ(otherRow->placeholderCol, 0);
    EXPECT_EQ(otherRow->msb, 0);

    // Two marks: the high byte carries over only to the very next column.
    auto follows = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(2), mark(8)}), fg, std::nullopt,
                                               4, 11, &previous);
    EXPECT_EQ(follows->msb, 1);
    auto jumps = KittyPlaceholderCell::parse(text({kKittyPlaceholderCharacter, mark(2), mark(9)}), fg, std::nullopt, 4,
                                             11, &previous);
    EXPECT_EQ(jumps->msb, 0);
    EXPECT_EQ(jumps->imageId, 5u);
}

}  // namespace
}  // namespace ravelgrid
