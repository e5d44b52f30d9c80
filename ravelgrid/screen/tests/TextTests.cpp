#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "ravelgrid/screen/CharSets.h"
#include "ravelgrid/screen/UnicodeUtil.h"
#include "ravelgrid/screen/Utf8.h"

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

TEST(Utf8, DecodesStreamsAndNamesTheMaximalBadPart)
{
    auto decode = [](std::string_view bytes) {
        char32_t c = 0;
        size_t used = 0;
        const auto r = utf8::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), c, used);
        return std::make_tuple(r, r == utf8::Decoded::ok ? c : U'?', used);
    };
    using D = utf8::Decoded;
    EXPECT_EQ(decode("A"), std::make_tuple(D::ok, U'A', size_t{1}));
    EXPECT_EQ(decode("\xF0\x9F\x8E\x89!"), std::make_tuple(D::ok, U'\U0001F389', size_t{4}));
    EXPECT_EQ(decode("\xE2\x82"), std::make_tuple(D::incomplete, U'?', size_t{2}));
    EXPECT_EQ(decode("\xE2\x82"
                     "A"),
              std::make_tuple(D::invalid, U'?', size_t{2}));                              // A is not eaten
    EXPECT_EQ(decode("\xE0\x80\x80"), std::make_tuple(D::invalid, U'?', size_t{1}));      // overlong
    EXPECT_EQ(decode("\xED\xA0\x80"), std::make_tuple(D::invalid, U'?', size_t{1}));      // surrogate
    EXPECT_EQ(decode("\xF4\x90\x80\x80"), std::make_tuple(D::invalid, U'?', size_t{1}));  // past U+10FFFF
    EXPECT_EQ(decode("\xC1\xBF"), std::make_tuple(D::invalid, U'?', size_t{1}));
    EXPECT_EQ(decode("\x80"), std::make_tuple(D::invalid, U'?', size_t{1}));

    // next() replaces anything malformed or cut off and moves one byte on.
    const std::string_view text = "a\xE2\x82\xAC\xE2\x82";
    std::u32string out;
    for (size_t pos = 0; pos < text.size();)
        out += utf8::next(text, pos);
    EXPECT_EQ(out, U"a\u20AC\uFFFD\uFFFD");

    std::string encoded;
    for (char32_t c : {U'a', U'\u00E9', U'\u20AC', U'\U0001F389'})
        utf8::append(encoded, c);
    EXPECT_EQ(encoded, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x89");
}
