// What the screen dump of the case files cannot show: attributes of the
// cells that editing leaves, the scrollback and ring behind scrolling, the
// checksum report for a trusted child, dirty rows and line identity.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;
using CellColor = Attribute::Color;

namespace {

class Host : public test::ReplyRecorder {
public:
    int shown = 0;
    void showCursor(Terminal&) override { ++shown; }
};

TerminalOptions size(int cols, int rows, int scrollback = 100)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    o.scrollback = scrollback;
    return o;
}

std::string rowText(Terminal& t, int row)
{
    return t.getLine(row)->toText(true, 0, -1, true,
                                  [&](const CharData& c) { return c.code ? t.character(c.code) : " "; });
}

std::string replyText(const Host& h)
{
    return h.replies.empty() ? "" : test::escapeBytes(h.replies.back());
}

Attribute attr(CellColor fg, CellColor bg, CharacterStyle style = CharacterStyle::none)
{
    Attribute a;
    a.fg = fg;
    a.bg = bg;
    a.style = style;
    return a;
}

}  // namespace

// Every blank an edit leaves behind has the default foreground, the current
// background and no style, whatever else the current attribute holds.
TEST(TerminalEditing, BlanksTakeTheEraseAttribute)
{
    struct Probe {
        const char* name;
        const char* edit;
        int col, row;
    };
    const Probe probes[] = {
        {"EL", "\x1b[2;3H\x1b[K", 5, 1},
        {"ED", "\x1b[2;3H\x1b[J", 0, 3},
        {"ECH", "\x1b[2;3H\x1b[2X", 3, 1},
        {"ICH", "\x1b[2;3H\x1b[@", 2, 1},
        {"DCH", "\x1b[2;3H\x1b[P", 7, 1},
        {"IL", "\x1b[2;3H\x1b[L", 4, 1},
        {"DL", "\x1b[2;3H\x1b[M", 4, 3},
        {"SU", "\x1b[S", 0, 3},
        {"SD", "\x1b[T", 0, 0},
        {"LF", "\x1b[4;1H\n", 0, 3},
        {"RI", "\x1b[1;1H\x1bM", 0, 0},
        {"DECIC", "\x1b[2;3H\x1b['}", 2, 0},
        {"DECDC", "\x1b[2;3H\x1b['~", 7, 2},
        {"DECBI",
         "\x1b[1;1H\x1b"
         "6",
         0, 2},
        {"DECFI",
         "\x1b[1;8H\x1b"
         "9",
         7, 2},
        {"DECERA", "\x1b[2;2;2;2$z", 1, 1},
        {"margins IL", "\x1b[?69h\x1b[2;5s\x1b[2;3H\x1b[L", 3, 1},
        {"margins SU", "\x1b[?69h\x1b[2;5s\x1b[S", 3, 3},
    };
    for (const Probe& p : probes) {
        Host host;
        Terminal t(&host, size(8, 4));
        t.feed("abcdefgh\r\nabcdefgh\r\nabcdefgh\r\nabcdefg");
        t.feed("\x1b[1;4;7;31;44;58;5;3m");
        t.feed(p.edit);
        const CharData cell = *t.getCharData(p.col, p.row);
        EXPECT_EQ(cell.attribute, attr(CellColor::defaultColor(), CellColor::ansi256(4))) << p.name;
        EXPECT_TRUE(cell.code == 0 || cell.code == ' ') << p.name;
    }
}

TEST(TerminalEditing, SelectGraphicRenditionForms)
{
    struct Form {
        const char* sgr;
        Attribute expected;
    };
    auto withUnderline = [](UnderlineStyle s, std::optional<CellColor> colour = std::nullopt) {
        Attribute a;
        a.style = s == UnderlineStyle::none ? CharacterStyle::none : CharacterStyle::underline;
        a.underlineStyle = s;
        a.underlineColor = colour;
        return a;
    };
    const CellColor dflt = CellColor::defaultColor();
    const Form forms[] = {
        {"\x1b[1;31m\x1b[m", Attribute{}},
        {"\x1b[1;31;0m", Attribute{}},
        {"\x1b[4:3m", withUnderline(UnderlineStyle::curly)},
        {"\x1b[4m\x1b[4:0m", Attribute{}},
        {"\x1b[4;3m",
         [] {
             Attribute a;
             a.style = CharacterStyle::underline | CharacterStyle::italic;
             a.underlineStyle = UnderlineStyle::single;
             return a;
         }()},
        {"\x1b[21m", withUnderline(UnderlineStyle::double_)},
        {"\x1b[4:5m", withUnderline(UnderlineStyle::dashed)},
        {"\x1b[4:9m", withUnderline(UnderlineStyle::single)},
        {"\x1b[4m\x1b[24m", Attribute{}},
        {"\x1b[38;5;300m", attr(CellColor::ansi256(255), dflt)},
        {"\x1b[38;2;10;20;30m", attr(CellColor::trueColor(10, 20, 30), dflt)},
        {"\x1b[38:2::10:20:30m", attr(CellColor::trueColor(10, 20, 30), dflt)},
        {"\x1b[38:2:10:20:30m", attr(CellColor::trueColor(10, 20, 30), dflt)},
        {"\x1b[48:2:1:10:20:30m", attr(dflt, CellColor::trueColor(10, 20, 30))},
        {"\x1b[38:5:196;1m", attr(CellColor::ansi256(196), dflt, CharacterStyle::bold)},
        {"\x1b[31m\x1b[38;2;10m", attr(CellColor::ansi256(1), dflt)},
        {"\x1b[38;5m", Attribute{}},
        {"\x1b[38:2:1:2m", Attribute{}},
        {"\x1b[4:1;58:5:196m", withUnderline(UnderlineStyle::single, CellColor::ansi256(196))},
        {"\x1b[58;2;1;2;3m\x1b[59m", Attribute{}},
        {"\x1b[1;2m\x1b[22m", Attribute{}},
        {"\x1b[95;105m", attr(CellColor::ansi256(13), CellColor::ansi256(13))},
        {"\x1b[97;100m\x1b[39;49m", Attribute{}},
        {"\x1b[3;5;7;8;9m\x1b[23;25;27;28;29m", Attribute{}},
        {"\x1b[6m", Attribute{}},
        {"\x1b[1m\x1b[>4;2m", attr(dflt, dflt, CharacterStyle::bold)},
    };
    for (const Form& f : forms) {
        Host host;
        Terminal t(&host);
        t.feed(f.sgr);
        EXPECT_EQ(t.currentAttribute(), f.expected)
            << test::escapeBytes(std::span(reinterpret_cast<const uint8_t*>(f.sgr), strlen(f.sgr)));
    }
}

TEST(TerminalEditing, RepeatAndRectanglesKeepTheirOwnAttributes)
{
    Host host;
    Terminal t(&host, size(8, 3));
    t.feed("\x1b[31ma\x1b[32m\x1b[2b");
    EXPECT_EQ(t.getCharData(2, 0)->attribute.fg, CellColor::ansi256(1));  // REP copies the cell, not curAttr
    t.feed("\x1b[1;44m\x1b[88;2;1;2;2$x");
    EXPECT_EQ(t.getCharData(1, 1)->attribute, attr(CellColor::ansi256(2), CellColor::ansi256(4), CharacterStyle::bold));
    t.feed("\x1b[m\x1b[1;1;2;2${");
    const CharData erased = *t.getCharData(0, 0);
    EXPECT_EQ(erased.code, ' ');
    EXPECT_EQ(erased.attribute.fg, CellColor::ansi256(1));  // selective erase keeps the attribute
    t.feed("\x1b[4;33;45m\x1b#8");
    EXPECT_EQ(t.getCharData(5, 2)->attribute,
              attr(CellColor::ansi256(3), CellColor::ansi256(5)));  // DECALN drops the style
}

TEST(TerminalEditing, ChecksumReportForATrustedChild)
{
    Host host;
    host.trusted = true;
    Terminal t(&host, size(10, 4));
    t.feed("\x1b[5;1;1;1;2;2*y");
    EXPECT_EQ(replyText(host), "\\eP5!~0080\\e\\\\");  // four blanks count as spaces
    t.feed("AB\x1b[1;1;1;1;1;2*y");
    EXPECT_EQ(replyText(host), "\\eP1!~0083\\e\\\\");
    t.feed("\r\ne\xcc\x81\x1b[2;1;2;1;2;1*y");  // a cluster counts each scalar
    EXPECT_EQ(replyText(host), "\\eP2!~0366\\e\\\\");
    t.feed("\x1b[?6h\x1b[2;3r\x1b[3;1;1;1;1;1*y");  // origin mode counts from the region
    EXPECT_EQ(replyText(host), "\\eP3!~0366\\e\\\\");
    t.feed("\x1b[4;1;5;1;1;1*y");  // a rectangle outside the screen
    EXPECT_EQ(replyText(host), "\\eP4!~0000\\e\\\\");
    host.trusted = false;
    t.feed("\x1b[6;1;1;1;2;2*y");
    EXPECT_EQ(replyText(host), "\\eP6!~0000\\e\\\\");
}

TEST(TerminalScrolling, FullRingRecyclesAndKeepsTheUsersView)
{
    Host host;
    Terminal t(&host, size(6, 3, 5));
    for (int i = 0; i < 20; ++i)
        t.feed("L" + std::to_string(i) + "\r\n");
    Buffer& b = *t.normalBuffer;
    ASSERT_EQ(b.lines().count(), 8);
    const int linesTop = b.linesTop();
    // The user scrolls back; new output must not move what they look at.
    t.userScrolling = true;
    b.setYDisp(2);
    const std::string seen = rowText(t, 0);
    t.feed("X\r\nY\r\n");
    EXPECT_EQ(b.lines().count(), 8);
    EXPECT_EQ(b.yBase(), 5);
    EXPECT_EQ(b.linesTop(), linesTop + 2);
    EXPECT_EQ(b.yDisp(), 0);
    EXPECT_EQ(rowText(t, 0), seen);
    t.userScrolling = false;
    t.feed("Z\r\n");
    EXPECT_EQ(b.yDisp(), b.yBase());
    EXPECT_EQ(test::dumpScreen(t, {}), "Y\nZ\n\ncursor 0,2\n");
    // A recycled line starts over as a plain single-width line.
    for (int i = 0; i < 12; ++i)
        t.feed(i % 3 ? "\x1b#6w\r\n" : "\x1b#3t\r\n");
    t.feed("\x1b[1;2r\x1b[2H\n\n\x1b[r\x1b[H\x1bM\x1bM");
    EXPECT_EQ(t.getLine(0)->renderMode(), BufferLine::RenderLineMode::single);
    EXPECT_EQ(t.getLine(2)->renderMode(), BufferLine::RenderLineMode::single);
}

TEST(TerminalScrolling, RegionsAndTheScrollback)
{
    Host host;
    Terminal t(&host, size(4, 4, 3));
    Buffer& b = *t.normalBuffer;
    // A region starting at the top feeds the scrollback; the rows below stay.
    t.feed("a\r\nb\r\nc\r\nS\x1b[1;3r\x1b[3;1H");
    for (int i = 0; i < 6; ++i)
        t.feed("\r\n" + std::to_string(i));
    EXPECT_EQ(b.lines().count(), 7);
    EXPECT_EQ(t.getScrollInvariantLine(b.linesTop())->toText(true), "0");
    EXPECT_EQ(test::dumpScreen(t, {}), "3\n4\n5\nS\ncursor 1,2\n");
    // A region below the top, SU and the alternate screen never do.
    const int top = b.linesTop();
    t.feed("\x1b[2;3r\x1b[3;1H\n\n\n\x1b[r\x1b[5S");
    EXPECT_EQ(b.linesTop(), top);
    t.feed("\x1b[?1049h");
    for (int i = 0; i < 6; ++i)
        t.feed("\r\n" + std::to_string(i));
    EXPECT_EQ(t.altBuffer->lines().count(), 4);
    EXPECT_EQ(test::dumpScreen(t, {}), "2\n3\n4\n5\ncursor 1,3\n");
}

TEST(TerminalScrolling, EraseScrollbackKeepsTheScreen)
{
    Host host;
    Terminal t(&host, size(4, 2, 50));
    for (int i = 0; i < 10; ++i)
        t.feed(std::to_string(i) + "\r\n");
    t.feed("x");
    Buffer& b = *t.normalBuffer;
    t.userScrolling = true;
    b.setYDisp(3);
    t.clearUpdateRange();
    t.feed("\x1b[3J");
    EXPECT_EQ(b.lines().count(), 2);
    EXPECT_EQ(b.yBase(), 0);
    EXPECT_EQ(b.yDisp(), 0);
    EXPECT_EQ(b.linesTop(), 0);
    EXPECT_TRUE(t.getUpdateRange());  // the scrolled-back view changed
    EXPECT_EQ(test::dumpScreen(t, {}), "9\nx\ncursor 1,1\n");
}

TEST(TerminalEditing, EraseInDisplayEndsSoftWraps)
{
    Host host;
    Terminal t(&host, size(4, 3));
    t.feed("abcdefghij");
    Buffer& b = *t.normalBuffer;
    ASSERT_TRUE(b.screenLine(1).isWrapped());
    t.feed("\x1b[2;3H\x1b[J");
    EXPECT_TRUE(b.screenLine(1).isWrapped());  // not from column 0
    t.feed("\x1b[2;1H\x1b[J");
    EXPECT_FALSE(b.screenLine(1).isWrapped());
    t.feed("\x1b[H1234567");
    ASSERT_TRUE(b.screenLine(1).isWrapped());
    t.feed("\x1b[1;4H\x1b[C\x1b[1J");  // ED 1 from the last column
    EXPECT_FALSE(b.screenLine(1).isWrapped());
}

TEST(TerminalEditing, EveryChangeReachesTheDirtyRows)
{
    const char* edits[] = {"\x1b[3;2H\x1b[X", "\x1b[3;2H\x1b['}",       "\x1b[3;3;3;3$z", "\x1b[65;3;3;3;3$x",
                           "\x1b[3;3;3;3${",  "\x1b[1;1;1;1;1;3;3;1$v", "\x1b[3;1H\x1b#6"};
    for (const char* edit : edits) {
        Host host;
        Terminal t(&host, size(5, 5));
        t.feed("abcde");
        t.clearUpdateRange();
        t.feed(edit);
        const auto range = t.getUpdateRange();
        ASSERT_TRUE(range) << edit + 1;
        EXPECT_LE(range->first, 2) << edit + 1;
        EXPECT_GE(range->second, 2) << edit + 1;
    }
}

TEST(TerminalEditing, RestoreAfterShrinkingStaysOnScreen)
{
    Host host;
    Terminal t(&host, size(10, 6));
    t.feed("\x1b[6;10H\x1b"
           "7");
    t.resize(4, 3);
    t.feed("\x1b"
           "8X");
    EXPECT_EQ(t.getCursorLocation(), std::make_pair(4, 2));
    EXPECT_EQ(t.getCharacter(3, 2), "X");
}

TEST(TerminalEditing, ScrollbackSizeAndClearing)
{
    Host host;
    Terminal t(&host, size(4, 2, 10));
    for (int i = 0; i < 8; ++i)
        t.feed(std::to_string(i) + "\r\n");
    t.changeScrollback(3);
    EXPECT_EQ(t.normalBuffer->lines().count(), 5);
    EXPECT_EQ(t.getScrollInvariantLine(t.normalBuffer->linesTop())->toText(true), "4");
    t.clearScrollback();
    EXPECT_EQ(t.normalBuffer->lines().count(), 2);
    EXPECT_EQ(test::dumpScreen(t, {}), "7\n\ncursor 0,1\n");
}

TEST(TerminalEditing, FullResetShowsTheCursor)
{
    Host host;
    Terminal t(&host, size(5, 2));
    t.feed("\x1b[?25l");
    ASSERT_TRUE(t.cursorHidden);
    t.feed("\x1b"
           "c");
    EXPECT_FALSE(t.cursorHidden);
    EXPECT_EQ(host.shown, 1);
}

TEST(TerminalEditing, LinesHeldElsewhereAreNotReused)
{
    Host host;
    Terminal t(&host, size(4, 4));
    t.feed("1\r\n2\r\n3\r\n4");
    Buffer& b = *t.normalBuffer;
    const BufferLinePtr held = b.screenLinePtr(1);
    b.semanticPromptStartLine = held;
    t.feed("\x1b[2H\x1b[M\x1b[H\x1b[S");
    EXPECT_EQ(held->toText(true), "2");
    EXPECT_EQ(test::dumpScreen(t, {}), "3\n4\n\n\ncursor 0,0\n");
}

TEST(TerminalEditing, PresentationDirectionAndLineRenditions)
{
    Host host;
    TerminalOptions o = size(6, 3);
    o.initialBidiState.fallbackDirection = BidiDirection::rightToLeft;
    Terminal t(&host, o);
    t.feed("\x1b[0 S");
    EXPECT_EQ(t.currentBidiState.fallbackDirection, BidiDirection::leftToRight);
    t.clearUpdateRange();
    t.feed("\x1b[1 S");
    EXPECT_FALSE(t.getUpdateRange());
    t.feed("\x1b[ k");
    EXPECT_EQ(t.currentBidiState.fallbackDirection, BidiDirection::rightToLeft);
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, 3));
    EXPECT_EQ(t.normalBuffer->defaultBidiState.fallbackDirection, BidiDirection::rightToLeft);

    t.feed("ab\x1b#6");
    EXPECT_EQ(t.getLine(0)->renderMode(), BufferLine::RenderLineMode::doubleWidth);
    t.feed("\x1b#3");
    EXPECT_EQ(t.getLine(0)->renderMode(), BufferLine::RenderLineMode::doubledTop);
    t.feed("\x1b#5");
    EXPECT_EQ(t.getLine(0)->renderMode(), BufferLine::RenderLineMode::single);
    EXPECT_EQ(rowText(t, 0), "ab");
}

// Random edits over wide characters, margins and regions: a wide character
// must always keep its right half, and nothing may leave the screen.
TEST(TerminalEditing, RandomEditsKeepWideCharactersWhole)
{
    const char* pieces[] = {"\xe4\xb8\xad",
                            "\xe6\x96\x87",
                            "ab",
                            "\x1b[@",
                            "\x1b[3@",
                            "\x1b[P",
                            "\x1b[2P",
                            "\x1b[L",
                            "\x1b[M",
                            "\x1b[X",
                            "\x1b[3X",
                            "\x1b[K",
                            "\x1b[1K",
                            "\x1b[S",
                            "\x1b[T",
                            "\x1b"
                            "6",
                            "\x1b"
                            "9",
                            "\x1b['}",
                            "\x1b['~",
                            "\x1b[2;2;3;4$z",
                            "\x1b[2;3;4;5${",
                            "\x1b[1;2;3;4;1;2;1;1$v",
                            "\x1b[90;1;3;2;6$x",
                            "\x1b[2b",
                            "\x1b[?69h\x1b[3;6s",
                            "\x1b[?69l",
                            "\x1b[2;4r",
                            "\x1b[r",
                            "\x1b[?6h",
                            "\x1b[?6l",
                            "\x1bM",
                            "\x1b"
                            "D",
                            "\r\n",
                            "\x1b[3;3H",
                            "\x1b[1;4H",
                            "\x1b[5G",
                            "\x1b[4D",
                            "\x1b#8",
                            "\x1b[J",
                            "\x1b[1J",
                            "\x1b[?7l",
                            "\x1b[?7h",
                            "\x1b[4h",
                            "\x1b[4l"};
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        Host host;
        Terminal t(&host, size(7, 5, 4));
        for (int k = 0; k < 60; ++k) {
            t.feed(pieces[rng() % std::size(pieces)]);
            const auto [x, y] = t.getCursorLocation();
            ASSERT_TRUE(x >= 0 && x <= 7 && y >= 0 && y < 5) << "round " << round;
        }
        for (int r = 0; r < 5; ++r) {
            const BufferLine& line = *t.getLine(r);
            for (int c = 0; c < line.dataSize(); ++c) {
                const bool wholeWide = line[c].width < 2 || (c + 1 < line.dataSize() && line[c + 1].width == 0);
                const bool wholeHalf = line[c].width != 0 || (c > 0 && line[c - 1].width >= 2);
                ASSERT_TRUE(wholeWide && wholeHalf) << "round " << round << " row " << r << " column " << c;
            }
        }
    }
}

TEST(TerminalEditing, HugeCountsFinishQuickly)
{
    Host host;
    host.trusted = true;
    Terminal t(&host, size(200, 100, 1000));
    std::string input = "x";
    for (const char* edit : {"L", "M", "S", "T", "@", "P", "X", "b", "'}", "'~"})
        input += std::string("\x1b[65535") + edit;
    input += "\x1b[65535;1;1;65535;65535$x\x1b[1;1;65535;65535;1;2;2;1$v\x1b[1;1;1;65535;65535*y";
    for (int i = 0; i < 20; ++i)
        t.feed(input);
    const auto [x, y] = t.getCursorLocation();
    EXPECT_LE(x, 200);
    EXPECT_LT(y, 100);
}
