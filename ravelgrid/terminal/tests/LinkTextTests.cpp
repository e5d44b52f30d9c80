// Link lookup under a cell (OSC 8 runs and URL-like text, across wrapped and
// heuristically joined rows) and text extraction between positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"

using namespace ravelgrid;

namespace {

class Host : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

struct Screen {
    Host host;
    Terminal t;
    Screen(int cols, int rows, int scrollback = 100) : t(&host, options(cols, rows, scrollback)) {}

    static TerminalOptions options(int cols, int rows, int scrollback)
    {
        TerminalOptions o;
        o.cols = cols;
        o.rows = rows;
        o.scrollback = scrollback;
        return o;
    }
    std::optional<LinkMatch> at(int col, int row, LinkLookupMode mode = LinkLookupMode::explicitAndImplicit)
    {
        return t.linkMatch(LinkLookupLocation::buffer({col, row}), mode);
    }
    std::string textAt(int col, int row)
    {
        auto m = at(col, row);
        return m ? m->text : std::string("(none)");
    }
};

using Rows = std::vector<LinkMatch::RowRange>;

}  // namespace

TEST(ImplicitLinks, UrlsStopBeforeTrailingPunctuation)
{
    Screen s(80, 3);
    s.t.feed("go to https://a.example/x, then https://b.example/y. or (https://c.example/z).");
    EXPECT_EQ(s.textAt(8, 0), "https://a.example/x");
    EXPECT_EQ(s.textAt(25, 0), "(none)");  // the comma itself
    EXPECT_EQ(s.textAt(35, 0), "https://b.example/y");
    EXPECT_EQ(s.textAt(51, 0), "(none)");
    const auto c = s.at(60, 0);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->text, "https://c.example/z");
    EXPECT_FALSE(c->isExplicit);
    EXPECT_EQ(c->range, (ColumnRange{57, 76}));
    EXPECT_EQ(s.textAt(76, 0), "(none)");
}

TEST(ImplicitLinks, ParenthesisedWordsAndBracketedHostsStayInside)
{
    Screen s(80, 3);
    s.t.feed("see https://en.wikipedia.org/wiki/Foo_(bar) and http://[::1]:8080/x.");
    EXPECT_EQ(s.textAt(5, 0), "https://en.wikipedia.org/wiki/Foo_(bar)");
    EXPECT_EQ(s.textAt(52, 0), "http://[::1]:8080/x");
}

TEST(ImplicitLinks, PathsAndTheDollarRule)
{
    Screen s(60, 5);
    s.t.feed("ls ./src/main.c\r\nvim ~/notes.txt\r\necho $/usr/bin\r\ncat $HOME/x.txt");
    EXPECT_EQ(s.textAt(5, 0), "./src/main.c");
    EXPECT_EQ(s.textAt(5, 1), "~/notes.txt");
    EXPECT_EQ(s.textAt(8, 2), "(none)");  // "/usr/bin" right after a "$"
    EXPECT_EQ(s.textAt(6, 3), "$HOME/x.txt");
}

TEST(ImplicitLinks, AUrlThatSoftWrapsIsOneMatchOnBothRows)
{
    Screen s(20, 4);
    s.t.feed("see https://example.com/some/path ok");
    const auto upper = s.at(6, 0);
    const auto lower = s.at(3, 1);
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(upper->text, "https://example.com/some/path");
    EXPECT_EQ(lower->text, upper->text);
    EXPECT_EQ(upper->rowRanges, (Rows{{0, {4, 20}}, {1, {0, 13}}}));
    EXPECT_EQ(lower->rowRanges, upper->rowRanges);
    EXPECT_EQ(upper->range, (ColumnRange{4, 20}));
    EXPECT_EQ(lower->range, (ColumnRange{0, 13}));
    EXPECT_EQ(lower->row, 1);
}

TEST(ImplicitLinks, AHardBreakNearTheMarginIsJoinedWhenTheUrlCrossesIt)
{
    Screen s(20, 4);
    // The first row is full, but ended by a real line break (a program that
    // wraps its own output).
    s.t.feed("x https://example.co\r\nm/path more");
    ASSERT_FALSE(s.t.activeBuffer().lines()[1].isWrapped());
    EXPECT_EQ(s.textAt(1, 1), "https://example.com/path");
    const auto m = s.at(5, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rowRanges, (Rows{{0, {2, 20}}, {1, {0, 6}}}));
}

TEST(ImplicitLinks, ARowEndingFarFromTheMarginIsNeverJoined)
{
    Screen s(20, 4);
    s.t.feed("a https://x.co\r\nm/y.txt");
    EXPECT_EQ(s.textAt(4, 0), "https://x.co");
    EXPECT_EQ(s.textAt(0, 1), "m/y.txt");
}

TEST(ImplicitLinks, WideCharactersCoverBothColumns)
{
    Screen s(30, 3);
    s.t.feed("https://\xe4\xbe\x8b.jp/x y");
    const auto m = s.at(9, 0);  // right half of the wide character
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text, "https://\xe4\xbe\x8b.jp/x");
    EXPECT_EQ(m->range, (ColumnRange{0, 15}));
}

TEST(ImplicitLinks, BlankCellsAndTheEndOfARowFindNothing)
{
    Screen s(30, 3);
    s.t.feed("https://a.example   \x1b[5Cword");
    EXPECT_EQ(s.textAt(18, 0), "(none)");
    EXPECT_EQ(s.textAt(29, 0), "(none)");
    EXPECT_FALSE(s.at(3, 0, LinkLookupMode::explicitOnly));
}

TEST(ExplicitLinks, TheOsc8TargetWinsOverTheTextAndAPayloadWithoutTargetFallsBack)
{
    Screen s(40, 3);
    s.t.feed("\x1b]8;;https://real.example\x07https://shown.example\x1b]8;;\x07\r\n");
    const auto m = s.at(3, 0);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->isExplicit);
    EXPECT_EQ(m->text, "https://real.example");
    EXPECT_EQ(m->range, (ColumnRange{0, 21}));

    s.t.feed("\x1b]8;no-target\x07https://x.example\x1b]8;;\x07");
    const auto implicit = s.at(3, 1);
    ASSERT_TRUE(implicit);
    EXPECT_FALSE(implicit->isExplicit);
    EXPECT_EQ(implicit->text, "https://x.example");
    EXPECT_FALSE(s.at(3, 1, LinkLookupMode::explicitOnly));
}

TEST(LinkLookup, ScreenPositionsFollowTheScrolledBackViewAndAreClamped)
{
    Screen s(30, 3, 50);
    s.t.feed("https://old.example/p\r\n");
    for (int i = 0; i < 10; ++i)
        s.t.feed("filler\r\n");
    Buffer& b = s.t.activeBuffer();
    ASSERT_GE(b.yBase(), 8);
    b.setYDisp(0);
    const auto m = s.t.linkMatch(LinkLookupLocation::screen({500, 0}), LinkLookupMode::explicitAndImplicit);
    EXPECT_FALSE(m);  // clamped to column 29, past the link
    const auto hit = s.t.linkMatch(LinkLookupLocation::screen({2, 0}), LinkLookupMode::explicitAndImplicit);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->text, "https://old.example/p");
    EXPECT_EQ(hit->row, 0);
    b.setYDisp(b.yBase());
    EXPECT_FALSE(s.t.linkMatch(LinkLookupLocation::screen({2, 0}), LinkLookupMode::explicitAndImplicit));

    Screen edge(20, 2);
    edge.t.feed("xxxx https://e.co/ab");
    EXPECT_EQ(edge.t.linkMatch(LinkLookupLocation::screen({999, 0}), LinkLookupMode::explicitAndImplicit)->text,
              "https://e.co/ab");
}

TEST(LinkLookup, ParseHyperlinkPayloadTakesWhatFollowsTheFirstSeparator)
{
    EXPECT_EQ(Terminal::parseHyperlinkPayload("id=1;https://a;b"), "https://a;b");
    EXPECT_EQ(Terminal::parseHyperlinkPayload("no separator"), std::nullopt);
    EXPECT_EQ(Terminal::parseHyperlinkPayload("id=1;"), std::nullopt);
}

// --- text extraction ----------------------------------------------------------------------

TEST(TextExtraction, RowsJoinWithLineFeedsUnlessSoftWrapped)
{
    Screen s(10, 4);
    s.t.feed("hello\r\nworld\r\nabcdefghijkl");
    EXPECT_EQ(s.t.getText({0, 0}, {5, 1}), "hello\nworld");
    EXPECT_EQ(s.t.getText({5, 1}, {0, 0}), "hello\nworld");
    EXPECT_EQ(s.t.getText({0, 2}, {2, 3}), "abcdefghijkl");
    EXPECT_EQ(s.t.getText({1, 0}, {4, 0}), "ell");
    EXPECT_EQ(s.t.getText({2, 1}, {2, 1}), "");
    EXPECT_EQ(s.t.getText({0, 0}, {3, 99}), "hello\nworld\nabcdefghijkl");
    EXPECT_EQ(s.t.getText({0, 4}, {3, 9}), "");  // starts below the ring
    EXPECT_EQ(s.t.getText({0, -1}, {3, 0}), "");
}

TEST(TextExtraction, SelectedLinesKeepWhereEachFragmentCameFrom)
{
    Screen s(10, 4);
    s.t.feed("hello\r\nabcdefghijkl");
    const auto lines = s.t.getSelectedLines({1, 0}, {2, 2}, s.t.activeBuffer());
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].fragments.size(), 2u);
    EXPECT_EQ(lines[0].fragments[0], (LineFragment{"ello", 0, 1, 4}));
    EXPECT_EQ(lines[0].fragments[1], (LineFragment{"\n", 0, -1, 1}));
    EXPECT_EQ(lines[0].length, 5);
    ASSERT_EQ(lines[1].fragments.size(), 2u);
    EXPECT_EQ(lines[1].fragments[0], (LineFragment{"abcdefghij", 1, 0, 10}));
    EXPECT_EQ(lines[1].fragments[1], (LineFragment{"kl", 2, 0, 2}));
    EXPECT_EQ(lines[1].length, 12);
}

TEST(TextExtraction, WideCharactersAndGaps)
{
    Screen s(10, 3);
    s.t.feed("a\xe4\xb8\xad"
             "b\r\nx\x1b[3Cy");
    EXPECT_EQ(s.t.getText({0, 0}, {4, 0}), "a\xe4\xb8\xad"
                                           "b");
    EXPECT_EQ(s.t.translateBufferLineToString(s.t.activeBuffer(), 1, 0, -1), std::string("x\0\0\0y", 5));
    EXPECT_EQ(s.t.translateBufferLineToString(s.t.activeBuffer(), 1, 4, -1), "y");
    EXPECT_EQ(s.t.translateBufferLineToString(s.t.activeBuffer(), 9, 0, -1), "");
}

TEST(BufferAsData, EveryLineOnceInTheChosenEncoding)
{
    Screen s(10, 3, 0);
    s.t.feed("caf\xc3\xa9\r\n\xe4\xb8\xad"
             "e\xcc\x81\r\nok");
    const auto utf8 = s.t.getBufferAsData(BufferKind::active, TextEncoding::utf8);
    // The cluster e + combining acute is written as a space; the wide
    // character keeps its own cell and no NUL for its right half.
    EXPECT_EQ(std::string(utf8.begin(), utf8.end()), "caf\xc3\xa9\n\xe4\xb8\xad \nok\n");
    const auto latin1 = s.t.getBufferAsData(BufferKind::normal, TextEncoding::isoLatin1);
    EXPECT_EQ(std::string(latin1.begin(), latin1.end()), "caf\xe9\nok\n");
    const auto ascii = s.t.getBufferAsData(BufferKind::active, TextEncoding::ascii);
    EXPECT_EQ(std::string(ascii.begin(), ascii.end()), "ok\n");
    const auto alt = s.t.getBufferAsData(BufferKind::alt, TextEncoding::utf8);
    EXPECT_EQ(std::string(alt.begin(), alt.end()), "\n\n\n");
}
