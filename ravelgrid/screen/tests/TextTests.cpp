#include <gtest/gtest.h>

#include "ravelgrid/screen/CharSets.h"
#include "ravelgrid/screen/UnicodeUtil.h"

using namespace ravelgrid;

namespace {

std::string translated(uint8_t designator, char32_t c)
{
    auto r = CharSets::translate(CharSets::map(designator), c);
    return r ? std::string(*r) : std::string(1, static_cast<char>(c));
}

}  // namespace

TEST(CharSets, DecSpecialGraphics)
{
    EXPECT_EQ(translated('0', 'q'), "─");
    EXPECT_EQ(translated('0', 'x'), "│");
    EXPECT_EQ(translated('0', '`'), "◆");
    EXPECT_EQ(translated('0', '~'), "·");
    EXPECT_EQ(translated('0', '_'), "_");
    EXPECT_EQ(translated('0', 'A'), "A");
    EXPECT_EQ(CharSets::map('0')->size(), 31);
    EXPECT_FALSE(CharSets::translate(CharSets::map('0'), U'\u00e9'));  // above 0x7E
}

TEST(CharSets, NationalSets)
{
    EXPECT_EQ(translated('B', '#'), "#");
    EXPECT_TRUE(CharSets::map('B')->isEmpty());
    EXPECT_EQ(translated('A', '#'), "£");
    EXPECT_EQ(translated('4', '|'), "f");
    EXPECT_EQ(translated('4', '['), "ĳ");
    EXPECT_EQ(translated('7', '@'), "É");
    EXPECT_EQ(translated('5', '@'), "@");
    EXPECT_EQ(translated('=', '_'), "è");
    EXPECT_EQ(translated('K', '~'), "ß");
    EXPECT_EQ(translated('Z', ']'), "¿");
}

TEST(CharSets, AliasesShareMapsAndUnknownDesignatorsHaveNone)
{
    EXPECT_EQ(CharSets::map('2'), CharSets::map('0'));
    EXPECT_EQ(CharSets::map('C'), CharSets::map('5'));
    EXPECT_EQ(CharSets::map('E'), CharSets::map('6'));
    EXPECT_EQ(CharSets::map('H'), CharSets::map('7'));
    EXPECT_EQ(CharSets::map('X'), nullptr);
    EXPECT_EQ(CharSets::map(0xC2), nullptr);
    EXPECT_FALSE(CharSets::translate(nullptr, '#'));
}

TEST(Widths, TablesHaveTheirCountsAndAreSortedAndDisjoint)
{
    for (auto ranges : {UnicodeUtil::wideRanges(), UnicodeUtil::emojiVariationBases()}) {
        for (size_t i = 0; i < ranges.size(); ++i) {
            EXPECT_LE(ranges[i].lo, ranges[i].hi);
            if (i > 0) {
                EXPECT_LT(ranges[i - 1].hi, ranges[i].lo);
            }
        }
    }
    EXPECT_EQ(UnicodeUtil::wideRanges().size(), 123u);
    EXPECT_EQ(UnicodeUtil::emojiVariationBases().size(), 183u);
}

TEST(Widths, ControlsAndMarks)
{
    EXPECT_EQ(UnicodeUtil::columnWidth(0x41), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x00), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x07), -1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x7F), -1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x9B), -1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xA0), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xAD), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x0301), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x0903), 0);  // spacing mark
    EXPECT_EQ(UnicodeUtil::columnWidth(0x20DD), 0);  // enclosing mark
    EXPECT_EQ(UnicodeUtil::columnWidth(0x200B), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x200D), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xFEFF), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x2028), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x2029), 0);
}

TEST(Widths, HangulAndWideRanges)
{
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1100), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x115F), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1160), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x11A8), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xAC00), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xD7A3), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xD7B0), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x3000), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xFF01), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xFF61), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x303F), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x20000), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x3FFFD), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x40000), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xE000), 1);
    EXPECT_EQ(UnicodeUtil::columnWidth(0xFF3E), 2);  // fullwidth modifier symbols
    EXPECT_EQ(UnicodeUtil::columnWidth(0xFFE3), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x02C6), 1);  // an ordinary modifier symbol
    // Range edges: inside, first and last, and just outside.
    for (const auto& r : UnicodeUtil::wideRanges()) {
        EXPECT_TRUE(UnicodeUtil::isInRanges(r.lo, UnicodeUtil::wideRanges()));
        EXPECT_TRUE(UnicodeUtil::isInRanges(r.hi, UnicodeUtil::wideRanges()));
    }
    EXPECT_FALSE(UnicodeUtil::isInRanges(0x115F + 1, UnicodeUtil::wideRanges()));
    EXPECT_FALSE(UnicodeUtil::isInRanges(0x10FF, UnicodeUtil::wideRanges()));
    EXPECT_FALSE(UnicodeUtil::isInRanges(0x3FFFE, UnicodeUtil::wideRanges()));
    EXPECT_FALSE(UnicodeUtil::isInRanges(0x1F, {}));
}

TEST(Widths, EmojiAndRegionalIndicators)
{
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1F600), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1F3FB), 0);  // skin tone modifiers combine
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1F3FF), 0);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1F1E6), 2);
    EXPECT_EQ(UnicodeUtil::columnWidth(0x1F1FF), 2);
    EXPECT_TRUE(UnicodeUtil::isRegionalIndicator(0x1F1E6));
    EXPECT_FALSE(UnicodeUtil::isRegionalIndicator(0x1F200));
    EXPECT_EQ(UnicodeUtil::columnWidth(0x2764), 1);  // text-default heart
    EXPECT_EQ(UnicodeUtil::columnWidth(0x231A), 2);  // watch, emoji-default
}

TEST(Widths, VariationBases)
{
    EXPECT_TRUE(UnicodeUtil::isEmojiVariationBase(0x23));
    EXPECT_TRUE(UnicodeUtil::isEmojiVariationBase(0x35));
    EXPECT_TRUE(UnicodeUtil::isEmojiVariationBase(0x2764));
    EXPECT_TRUE(UnicodeUtil::isEmojiVariationBase(0x1F6F3));
    EXPECT_FALSE(UnicodeUtil::isEmojiVariationBase(0x41));
    EXPECT_FALSE(UnicodeUtil::isEmojiVariationBase(0x1F600));
    EXPECT_FALSE(UnicodeUtil::isEmojiVariationBase(0x1F6F4));
}

TEST(Widths, CacheAgreesWithTheRules)
{
    const auto& cache = UnicodeUtil::widthCache();
    for (uint32_t c = 0; c < UnicodeUtil::widthCacheSize; ++c)
        ASSERT_EQ(cache[c], UnicodeUtil::columnWidth(c)) << std::hex << c;
    EXPECT_EQ(UnicodeUtil::width(0x1100), 2);
    EXPECT_EQ(UnicodeUtil::width(0x1F600), 2);
}

TEST(Widths, TextPresentation)
{
    EXPECT_EQ(UnicodeUtil::textPresentationString("\u2764"), "\u2764\uFE0E");
    EXPECT_EQ(UnicodeUtil::textPresentationString("\u263A"), "\u263A\uFE0E");
    EXPECT_EQ(UnicodeUtil::textPresentationString("\U0001F600"), "\U0001F600");
    EXPECT_EQ(UnicodeUtil::textPresentationString("\u00A9"), "\u00A9");
    EXPECT_EQ(UnicodeUtil::textPresentationString("ab"), "ab");
    EXPECT_EQ(UnicodeUtil::textPresentationString("\U0001F1E9\U0001F1EA"), "\U0001F1E9\U0001F1EA");
    EXPECT_FALSE(UnicodeUtil::prefersTextPresentation(""));
    EXPECT_FALSE(UnicodeUtil::prefersTextPresentation("\xE2\x9D"));  // truncated UTF-8
}
