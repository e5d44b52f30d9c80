#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ravelgrid/screen/CharData.h"
#include "ravelgrid/screen/Line.h"
#include "ravelgrid/screen/PayloadTable.h"
#include "ravelgrid/screen/Position.h"
#include "ravelgrid/screen/SemanticPrompt.h"

using namespace ravelgrid;
using AC = Attribute::Color;

TEST(CharData, NullCellIsBlankWithDefaultAttribute)
{
    const CharData& c = CharData::Null;
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(c.width, 1);
    EXPECT_EQ(c.attribute, Attribute{});
    EXPECT_TRUE(c.isSimpleRune());
    EXPECT_FALSE(c.hasPayload());
    EXPECT_EQ(c.semanticContent(), SemanticContent::none());
}

TEST(CharData, CharacterOfOddCodesIsASpace)
{
    CharData c;
    c.code = CharData::firstClusterCode;
    EXPECT_EQ(c.getCharacter(), U' ');
    EXPECT_FALSE(c.isSimpleRune());
    c.code = 0xD800;
    EXPECT_EQ(c.getCharacter(), U' ');
    c.code = 0x110000;
    EXPECT_EQ(c.getCharacter(), U' ');
    c.code = 0x1F600;
    EXPECT_EQ(c.getCharacter(), U'\U0001F600');
    EXPECT_EQ(c.debugDescription(), "CharData: 128512 \xF0\x9F\x98\x80");
    c.code = 0x400005;
    EXPECT_EQ(c.debugDescription(), "CharData: 4194309 ?");
}

TEST(CharData, SemanticCodesRoundTripAndUnknownCodesAreNone)
{
    for (uint8_t code = 0; code <= 6; ++code)
        EXPECT_EQ(SemanticContent::fromCode(code).code(), code);
    EXPECT_EQ(SemanticContent::fromCode(3), SemanticContent::prompt(SemanticPromptKind::continuation));
    EXPECT_EQ(SemanticContent::fromCode(7), SemanticContent::none());
    EXPECT_EQ(SemanticContent::fromCode(255), SemanticContent::none());
    EXPECT_EQ(SemanticContent::prompt(SemanticPromptKind::secondary).description(), "prompt(secondary)");
    EXPECT_EQ(SemanticContent::none().description(), "none");
}

TEST(CharData, SetValueStoresWidthAndRejectsOversizedWidths)
{
    CharData c;
    c.setValue(0x4E2D, 2);
    EXPECT_EQ(c.code, 0x4E2D);
    EXPECT_EQ(c.width, 2);
    EXPECT_DEATH(c.setValue(65, 300), "");
}

TEST(Attribute, EqualityDistinguishesEveryField)
{
    Attribute a;
    Attribute b;
    EXPECT_EQ(a, b);
    b.bg = AC::defaultInvertedColor();
    EXPECT_NE(a, b);  // the two defaults differ
    b = a;
    b.underlineColor = AC::defaultColor();
    EXPECT_NE(a, b);  // absent underline colour equals only absent
    b = a;
    b.fg = AC::ansi256(1);
    Attribute c = a;
    c.fg = AC::trueColor(1, 0, 0);
    EXPECT_NE(b, c);
    EXPECT_NE(std::hash<Attribute>{}(b), std::hash<Attribute>{}(c));
}

TEST(Attribute, SgrText)
{
    EXPECT_EQ(Attribute{}.sgrText(), "0m");
    Attribute a;
    a.style = CharacterStyle::bold;
    a.fg = AC::ansi256(1);
    EXPECT_EQ(a.sgrText(), "0;1;31m");
    Attribute t;
    t.fg = AC::trueColor(10, 20, 30);
    t.bg = AC::ansi256(200);
    EXPECT_EQ(t.sgrText(), "0;38;2;10;20;30;48;5;200m");
    Attribute bright;
    bright.fg = AC::ansi256(12);
    bright.bg = AC::ansi256(3);
    EXPECT_EQ(bright.sgrText(), "0;94;43m");
    Attribute styles;
    styles.style = CharacterStyle::inverse | CharacterStyle::italic | CharacterStyle::underline | CharacterStyle::dim;
    styles.underlineColor = AC::ansi256(9);
    EXPECT_EQ(styles.sgrText(), "0;4;7m");
}

TEST(Attribute, StyleFromPackedWordAndUnderlineRaw)
{
    EXPECT_EQ(CharacterStyle::fromAttributeWord(0x0B << 18 | 0x3FFFF),
              CharacterStyle::bold | CharacterStyle::underline | CharacterStyle::inverse);
    EXPECT_EQ(CharacterStyle::fromAttributeWord(0xFFu << 18).rawValue, 0xFF);
    EXPECT_EQ(underlineStyleFromRaw(5), UnderlineStyle::dashed);
    EXPECT_FALSE(underlineStyleFromRaw(6).has_value());
}

TEST(PayloadTable, StoresAndReleasesValues)
{
    PayloadTable table;
    auto atom = table.lookup("https://example.com");
    ASSERT_TRUE(atom);
    EXPECT_NE(atom->code, 0);
    CharData c;
    c.setPayload(*atom);
    EXPECT_TRUE(c.hasPayload());
    ASSERT_NE(table.target(c.payload.code), nullptr);
    EXPECT_EQ(*table.target(c.payload.code), "https://example.com");
    table.release(atom->code);
    EXPECT_EQ(table.target(c.payload.code), nullptr);
    EXPECT_EQ(table.target(0), nullptr);
}

TEST(PayloadTable, ReleasedCodesAreReusedSoTheTableNeverRunsDry)
{
    // Fill the table to its last code, holding every atom.
    PayloadTable table;
    std::vector<uint16_t> held;
    while (auto atom = table.lookup("x"))
        held.push_back(atom->code);
    EXPECT_EQ(held.size(), size_t{PayloadTable::maxCode});
    EXPECT_TRUE(table.full());
    EXPECT_FALSE(table.lookup("full").has_value());

    for (int i = 0; i < 3; ++i)
        table.release(held[static_cast<size_t>(i)]);
    EXPECT_FALSE(table.full());
    for (int i = 0; i < 3; ++i) {
        auto again = table.lookup("reused " + std::to_string(i));
        ASSERT_TRUE(again) << "a released code must be handed out again";
        EXPECT_EQ(again->code, held[static_cast<size_t>(i)]);  // oldest released first
        EXPECT_EQ(*table.target(again->code), "reused " + std::to_string(i));
    }
    EXPECT_FALSE(table.lookup("full").has_value());

    // Releasing twice must not hand one code to two owners.
    table.release(held[10]);
    table.release(held[10]);
    ASSERT_TRUE(table.lookup("once"));
    EXPECT_FALSE(table.lookup("twice").has_value());

    // Only the codes marked used survive a sweep.
    std::vector<uint8_t> used(PayloadTable::maxCode + 1, 0);
    used[held[20]] = used[held[30]] = 1;
    table.releaseUnused(used);
    EXPECT_EQ(table.liveCount(), 2u);
    EXPECT_EQ(*table.target(held[20]), "x");
    table.clear();
    EXPECT_EQ(table.liveCount(), 0u);
    EXPECT_EQ(table.lookup("fresh")->code, 1);
}

TEST(PayloadTable, TablesAreIndependent)
{
    PayloadTable a, b;
    while (a.lookup("a"))
        ;
    auto atom = b.lookup("b");
    ASSERT_TRUE(atom);
    EXPECT_EQ(atom->code, 1);
    EXPECT_EQ(*a.target(1), "a");
    EXPECT_EQ(*b.target(1), "b");
}

TEST(Position, ComparesByRowThenColumn)
{
    using R = Position::CompareResult;
    EXPECT_EQ(Position::compare({5, 1}, {0, 2}), R::before);
    EXPECT_EQ(Position::compare({5, 2}, {0, 2}), R::after);
    EXPECT_EQ(Position::compare({3, 3}, {3, 3}), R::equal);
    EXPECT_LT((Position{5, 1}), (Position{0, 2}));
    EXPECT_EQ((Position{3, 7}).debugDescription(), "col=3 row=7");
}

TEST(Line, AppendSumsLengthsAndDescribesFragments)
{
    Line line;
    EXPECT_EQ(line.debugDescription(), "[]");
    line.append({std::string("abc"), 0, 0, 3});
    line.append({std::string("\n"), 0, 3, 4});
    line.append({std::nullopt, 1, 0, 0});
    EXPECT_EQ(line.length, 7);
    ASSERT_EQ(line.fragments.size(), 3u);
    EXPECT_EQ(line.fragments[0].text, "abc");
    EXPECT_EQ(line.debugDescription(), "3/7: [abc][\\n][]");
    Line big;
    big.append({std::nullopt, 0, 0, INT_MAX});
    EXPECT_DEATH(big.append({std::nullopt, 0, 0, 1}), "");
}

TEST(SemanticTypes, EqualityAndOptionSets)
{
    SemanticPromptClickModifiers m{9};
    EXPECT_TRUE(m.contains(SemanticPromptClickModifiers::shift));
    EXPECT_TRUE(m.contains(SemanticPromptClickModifiers::command));
    EXPECT_FALSE(m.contains(SemanticPromptClickModifiers::control));
    EXPECT_FALSE(m.contains(SemanticPromptClickModifiers::option));

    auto shift = SemanticPromptClickBehavior::requireModifier({SemanticPromptClickModifiers::shift});
    auto command = SemanticPromptClickBehavior::requireModifier({SemanticPromptClickModifiers::command});
    EXPECT_NE(shift, command);
    EXPECT_NE(shift, SemanticPromptClickBehavior::enabled());
    EXPECT_EQ(SemanticPromptClickMode::cursorKeys(SemanticPromptCursorClickMode::line),
              SemanticPromptClickMode::cursorKeys(SemanticPromptCursorClickMode::line));
    EXPECT_NE(SemanticPromptClickMode::cursorKeys(SemanticPromptCursorClickMode::line),
              SemanticPromptClickMode::cursorKeys(SemanticPromptCursorClickMode::smartVertical));

    SemanticPromptPointerSnapshot a{true, false, 1, true};
    SemanticPromptPointerSnapshot b = a;
    b.clickCount = 2;
    EXPECT_NE(a, b);
    EXPECT_EQ(tagName(SemanticPromptKind::secondary), "s");
}
