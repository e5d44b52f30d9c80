#include <gtest/gtest.h>

#include <string>

#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

class Host : public test::ReplyRecorder {
public:
    int syncOff = 0;
    void synchronizedOutputChanged(Terminal&, bool active) override { syncOff += active ? 0 : 1; }
};

struct Fixture {
    explicit Fixture(int cols, int rows, int scrollback = 500)
    {
        TerminalOptions o;
        o.cols = cols;
        o.rows = rows;
        o.scrollback = scrollback;
        terminal = std::make_unique<Terminal>(&host, o);
    }
    std::string screen() { return test::dumpScreen(*terminal, {}); }
    Host host;
    std::unique_ptr<Terminal> terminal;
};

std::vector<int> stops(const Buffer& b)
{
    std::vector<int> out;
    for (size_t i = 0; i < b.tabStops.size(); ++i)
        if (b.tabStops[i])
            out.push_back(static_cast<int>(i));
    return out;
}

}  // namespace

TEST(TerminalResize, SizeIsClampedAndOnlyANewSizeActs)
{
    Fixture f(10, 4);
    Terminal& t = *f.terminal;
    t.resize(1, 0);
    EXPECT_EQ(t.getDims(), std::make_pair(2, 1));
    EXPECT_EQ(t.options().cols, 2);
    EXPECT_EQ(t.options().rows, 1);
    EXPECT_EQ(t.normalBuffer->cols(), 2);
    EXPECT_EQ(t.altBuffer->rows(), 1);

    t.resize(100000, 2);
    EXPECT_EQ(t.cols, TerminalOptions::kMaxCols);
    t.resize(2, 100000);
    EXPECT_EQ(t.rows, TerminalOptions::kMaxRows);

    t.resize(10, 4);
    t.feed("\x1b[?2026h");
    t.clearUpdateRange();
    t.resize(10, 4);
    EXPECT_FALSE(t.getUpdateRange());
    EXPECT_TRUE(t.synchronizedOutputActive);
    t.resize(12, 4);
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, 3));
    EXPECT_FALSE(t.synchronizedOutputActive) << "a resize ends synchronized output";
    EXPECT_EQ(f.host.syncOff, 1);
}

TEST(TerminalResize, TabStopsContinueIntoNewColumns)
{
    Fixture f(20, 3);
    f.terminal->feed("\x1b[9G\x1b[g");  // clear the stop at column 8
    f.terminal->resize(40, 3);
    EXPECT_EQ(stops(*f.terminal->normalBuffer), (std::vector<int>{0, 16, 24, 32}));
    EXPECT_EQ(stops(*f.terminal->altBuffer), (std::vector<int>{0, 8, 16, 24, 32}));
    f.terminal->resize(12, 3);
    EXPECT_EQ(stops(*f.terminal->normalBuffer), (std::vector<int>{0}));
}

TEST(TerminalResize, TheLineBeingTypedIsReflowedAndTypingGoesOn)
{
    Fixture f(20, 4);
    f.terminal->feed("$ echo hello world");
    f.terminal->resize(8, 4);
    EXPECT_EQ(f.screen(), "$ echo h\nello wor\nld\n\ncursor 2,2\n");
    f.terminal->feed("!");
    f.terminal->resize(20, 4);
    EXPECT_EQ(f.screen(), "$ echo hello world!\n\n\n\ncursor 19,0\n");

    // Just past text that fills the new width, the next character wraps.
    Fixture p(10, 3);
    p.terminal->feed("abcdefghij");
    p.terminal->resize(5, 3);
    p.terminal->feed("X");
    EXPECT_EQ(p.screen(), "abcde\nfghij\nX\ncursor 1,2\n");
}

TEST(TerminalResize, AlternateScreenIsNotReflowed)
{
    Fixture f(10, 3);
    f.terminal->feed("0123456789abc\r\n");
    f.terminal->feed("\x1b[?1049h\x1b[Hfull-width");
    f.terminal->resize(5, 3);
    EXPECT_EQ(f.screen(), "full-\n\n\ncursor 4,0\n");  // the cells past the edge are kept, unseen
    Buffer& alt = f.terminal->activeBuffer();
    EXPECT_EQ(f.terminal->translateBufferLineToString(alt, alt.yBase(), 0, -1), "full-");  // and not copied
    f.terminal->resize(10, 3);
    EXPECT_EQ(f.screen(), "full-width\n\n\ncursor 4,0\n");

    f.terminal->resize(5, 3);
    f.terminal->feed("\x1b[?1049l");
    EXPECT_EQ(f.screen(), "56789\nabc\n\ncursor 0,2\n");
}

TEST(TerminalResize, SavedCursorStaysWithItsTextWhenRowsShrink)
{
    // Full history: shrinking the screen trims history rows as well.
    Fixture f(10, 6, 3);
    f.terminal->feed("a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni");
    f.terminal->feed("\x1b[4;1H\x1b"
                     "7");  // save on "g"
    f.terminal->feed("\x1b[6;2H");
    f.terminal->resize(10, 3);
    f.terminal->feed("\x1b"
                     "8*");
    EXPECT_EQ(f.screen(), "*\nh\ni\ncursor 1,0\n");
}
