#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;
using ravelgrid::test::ReplyRecorder;

namespace {

class Host : public ReplyRecorder {
public:
    int bells = 0, linefeeds = 0, syncOn = 0, syncOff = 0, fgCalls = 0;
    std::string title, iconTitle;
    Terminal* feedBack = nullptr;

    void bell(Terminal&) override { ++bells; }
    void linefeed(Terminal&) override { ++linefeeds; }
    void setTerminalTitle(Terminal&, const std::string& t) override { title = t; }
    void setTerminalIconTitle(Terminal&, const std::string& t) override { iconTitle = t; }
    void synchronizedOutputChanged(Terminal&, bool active) override { ++(active ? syncOn : syncOff); }
    void setForegroundColor(Terminal& t, const Color& c) override
    {
        ++fgCalls;
        TerminalDelegate::setForegroundColor(t, c);  // writes back into the terminal
    }
    void send(Terminal& t, std::span<const uint8_t> data) override
    {
        ReplyRecorder::send(t, data);
        if (feedBack)
            feedBack->feed("R");
    }
};

std::string text(const std::vector<uint8_t>& b)
{
    return std::string(b.begin(), b.end());
}

TerminalOptions size(int cols, int rows, int scrollback = 500)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    o.scrollback = scrollback;
    return o;
}

}  // namespace

TEST(TerminalSetup, DefaultsOfANewTerminal)
{
    Host host;
    Terminal t(&host);
    EXPECT_EQ(t.getDims(), std::make_pair(80, 25));
    EXPECT_TRUE(t.reportedFocusState);
    EXPECT_TRUE(t.silentLog);
    EXPECT_TRUE(t.alternateScrollMode);
    EXPECT_TRUE(t.wraparound);
    EXPECT_EQ(t.conformance, TerminalConformance::vt500);
    EXPECT_FALSE(t.isCurrentBufferAlternate());
    EXPECT_EQ(t.ansiColors.size(), 256u);
    EXPECT_FALSE(host.isProcessTrusted(t));
}

TEST(TerminalSetup, OptionsAreBroughtIntoRange)
{
    TerminalOptions o;
    o.cols = 1;
    o.rows = 0;
    o.tabStopWidth = 0;
    o.scrollback = -5;
    EXPECT_TRUE(o.problem().has_value());
    Host host;
    Terminal t(&host, o);
    EXPECT_EQ(t.getDims(), std::make_pair(2, 1));
    EXPECT_EQ(t.options().tabStopWidth, 1);
    EXPECT_EQ(t.options().scrollback, 0);
    t.feed("abc\tdef\r\n\x1b[5;5Hxyz");  // a tiny terminal still prints without faults
    EXPECT_FALSE(TerminalOptions{}.problem().has_value());
    o = {};
    o.cols = 100000;
    EXPECT_EQ(o.validated().cols, TerminalOptions::kMaxCols);
}

TEST(TerminalDirtyRange, MarkingRules)
{
    Host host;
    Terminal t(&host, size(10, 5));
    t.clearUpdateRange();
    EXPECT_FALSE(t.getUpdateRange());
    t.updateRange(-1);
    EXPECT_FALSE(t.getUpdateRange());
    EXPECT_FALSE(t.getScrollInvariantUpdateRange());
    t.updateRange(3, true);
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(3, 3));
    EXPECT_FALSE(t.getScrollInvariantUpdateRange());
    t.updateFullScreen();
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, 5));
    t.feed("\x1b[3;1H");
    t.clearUpdateRange();
    t.feed("ab");
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(2, 2));
}

TEST(TerminalDirtyRange, WrappedPrintingMarksEveryRowItTouches)
{
    Host host;
    Terminal t(&host, size(4, 5));
    t.clearUpdateRange();
    t.feed("abcdefghij");
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, 2));
}

TEST(TerminalDirtyRange, ShortPrintsAfterCursorMoves)
{
    Host host;
    Terminal t(&host, size(10, 5, 20));
    using Range = std::optional<std::pair<int, int>>;
    auto marks = [&](std::string_view input) {
        t.clearUpdateRange();
        t.feed(input);
        return std::pair{t.getUpdateRange(), t.getScrollInvariantUpdateRange()};
    };
    // The old and the new row of each move, and the row a wrap reaches.
    EXPECT_EQ(marks("\x1b[2;3Hab\x1b[4;1Hc"), std::pair(Range({0, 3}), Range({0, 3})));
    EXPECT_EQ(marks("\x1b[1;1Hab\x1b[Cc"), std::pair(Range({0, 3}), Range({0, 3})));
    EXPECT_EQ(marks("\x1b[4;9Habc"), std::pair(Range({0, 4}), Range({0, 4})));
    // A wrap on the last row scrolls the screen up into the history.
    EXPECT_EQ(marks("\x1b[5;9Habc"), std::pair(Range({0, 4}), Range({4, 5})));
    EXPECT_EQ(marks("\x1b[Cd"), std::pair(Range({4, 4}), Range({5, 5})));
}

TEST(TerminalReplies, SendResponseJoinsItemsIntoOneSend)
{
    Host host;
    Terminal t(&host);
    t.sendResponse({"ab", std::vector<uint8_t>{'c', 'd'}, uint8_t('e')});
    ASSERT_EQ(host.replies.size(), 1u);
    EXPECT_EQ(text(host.replies[0]), "abcde");
}

TEST(TerminalReplies, FocusReportsIn7And8Bit)
{
    Host host;
    Terminal t(&host);
    t.setTerminalFocus(false);
    EXPECT_TRUE(host.replies.empty());
    EXPECT_FALSE(t.reportedFocusState);
    t.feed("\x1b[?1004h");
    t.setTerminalFocus(true);
    t.feed("\x1b G");
    t.setTerminalFocus(false);
    // Turning the mode on reports the current state at once.
    ASSERT_EQ(host.replies.size(), 3u);
    EXPECT_EQ(text(host.replies[0]), "\x1b[O");
    EXPECT_EQ(text(host.replies[1]), "\x1b[I");
    EXPECT_EQ(text(host.replies[2]), "\x9bO");
}

TEST(TerminalReplies, DeviceStatusAndAttributes)
{
    Host host;
    Terminal t(&host, size(10, 5));
    t.feed("\x1b[2;3H\x1b[6n\x1b[5n");
    ASSERT_EQ(host.replies.size(), 2u);
    EXPECT_EQ(text(host.replies[0]), "\x1b[2;3R");
    EXPECT_EQ(text(host.replies[1]), "\x1b[0n");
}

TEST(TerminalReplies, FeedingFromInsideADelegateRunsAfterTheCurrentInput)
{
    Host host;
    Terminal t(&host, size(10, 3));
    host.feedBack = &t;
    t.feed("a\x1b[5nb");
    EXPECT_EQ(test::dumpScreen(t, {}), "abR\n\n\ncursor 3,0\n");
}

TEST(TerminalSynchronizedOutput, NotifiesOnceAndTimesOut)
{
    Host host;
    platform::FakeScheduler clock;
    Terminal t(&host);
    t.setScheduler(&clock);
    t.feed("\x1b[?2026h");
    clock.advance(std::chrono::milliseconds(600));
    t.feed("\x1b[?2026h");  // re-arms the timer
    EXPECT_EQ(host.syncOn, 1);
    clock.advance(std::chrono::milliseconds(600));
    t.checkSynchronizedOutputTimeout();
    EXPECT_TRUE(t.synchronizedOutputActive);
    t.clearUpdateRange();
    clock.advance(std::chrono::milliseconds(500));
    EXPECT_FALSE(t.synchronizedOutputActive);
    EXPECT_EQ(host.syncOff, 1);
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, t.rows - 1));
    t.feed("\x1b[?2026h\x1b[?2026l\x1b[?2026l");
    EXPECT_EQ(host.syncOn, 2);
    EXPECT_EQ(host.syncOff, 2);
}

TEST(TerminalColours, DefaultDelegateWritesBackWithoutRecursion)
{
    Host host;
    Terminal t(&host);
    t.setForegroundColor(Color(1, 2, 3));
    EXPECT_EQ(host.fgCalls, 1);
    EXPECT_EQ(t.foregroundColor(), Color(1, 2, 3));
}

TEST(TerminalColours, PaletteNeedsSixteenColours)
{
    Host host;
    Terminal t(&host);
    const auto before = t.ansiColors;
    std::vector<Color> fifteen(15, Color(1, 1, 1));
    t.installPalette(fifteen);
    EXPECT_EQ(t.ansiColors, before);
    std::vector<Color> sixteen(16, Color(0xffff, 0, 0));
    t.installPalette(sixteen);
    EXPECT_EQ(t.ansiColors[1], Color(0xffff, 0, 0));
}

namespace {

std::vector<std::string> childEnv(std::vector<std::string> inherited, std::optional<std::string> term = std::nullopt,
                                  bool trueColor = false)
{
    static const std::set<std::string> installed = {"C.UTF-8", "de_DE.UTF-8", "sr_RS.UTF-8@latin"};
    return Terminal::getEnvironmentVariables(term, trueColor, inherited,
                                             [](const std::string& name) { return installed.count(name) > 0; });
}

std::optional<std::string> entry(const std::vector<std::string>& env, const std::string& name)
{
    for (const std::string& e : env)
        if (e.rfind(name + "=", 0) == 0)
            return e.substr(name.size() + 1);
    return std::nullopt;
}

}  // namespace

TEST(TerminalEnvironment, ChildInheritsTheSessionButNotTheLaunch)
{
    const auto env =
        childEnv({"TERM=dumb", "COLORTERM=24bit", "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/bus",
                  "XDG_RUNTIME_DIR=/run/user/1000", "MY_OWN=1=2", "MY_OWN=second", "DESKTOP_STARTUP_ID=x_TIME1",
                  "XDG_ACTIVATION_TOKEN=tok", "WINDOWID=4", "=junk", "NOEQUALS", "LANG=de_DE.UTF-8"},
                 std::string("vt100"), true);
    EXPECT_EQ(env, (std::vector<std::string>{"TERM=vt100", "COLORTERM=truecolor",
                                             "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/bus",
                                             "XDG_RUNTIME_DIR=/run/user/1000", "MY_OWN=1=2", "LANG=de_DE.UTF-8"}));
    EXPECT_EQ(childEnv({})[0], "TERM=xterm-256color");
    EXPECT_FALSE(entry(childEnv({"COLORTERM=truecolor"}), "COLORTERM"));
}

TEST(TerminalEnvironment, LocaleIsUtf8OnlyWhereTheUserHasNone)
{
    struct Case {
        std::vector<std::string> inherited;
        std::optional<std::string> lcCtype, lang, lcAll, lcTime;
    };
    const Case cases[] = {
        // A UTF-8 choice of the user's stays as it is.
        {{"LANG=de_DE.UTF-8"}, std::nullopt, "de_DE.UTF-8", std::nullopt, std::nullopt},
        {{"LC_CTYPE=de_DE.UTF-8", "LANG=C"}, "de_DE.UTF-8", "C", std::nullopt, std::nullopt},
        {{"LC_ALL=", "LANG=de_DE.UTF-8"}, std::nullopt, "de_DE.UTF-8", "", std::nullopt},
        // None: the character type alone, in the same language where installed.
        {{}, "C.UTF-8", std::nullopt, std::nullopt, std::nullopt},
        {{"LANG=de_DE.ISO-8859-1", "LC_TIME=en_DK"}, "de_DE.UTF-8", "de_DE.ISO-8859-1", std::nullopt, "en_DK"},
        {{"LANG=sr_RS@latin"}, "sr_RS.UTF-8@latin", "sr_RS@latin", std::nullopt, std::nullopt},
        {{"LANG=fr_FR.UTF-8"}, "C.UTF-8", "fr_FR.UTF-8", std::nullopt, std::nullopt},  // not installed
        {{"LANG=de_DE.UTF-8", "LC_CTYPE=POSIX"}, "C.UTF-8", "de_DE.UTF-8", std::nullopt, std::nullopt},
        // LC_ALL would hide LC_CTYPE: it becomes every other category.
        {{"LC_ALL=de_DE", "LC_TIME=en_DK", "LANG=de_DE.UTF-8"}, "de_DE.UTF-8", "de_DE.UTF-8", std::nullopt, "de_DE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.inherited));
        const auto env = childEnv(c.inherited);
        EXPECT_EQ(entry(env, "LC_CTYPE"), c.lcCtype);
        EXPECT_EQ(entry(env, "LANG"), c.lang);
        EXPECT_EQ(entry(env, "LC_ALL"), c.lcAll);
        EXPECT_EQ(entry(env, "LC_TIME"), c.lcTime);
        EXPECT_EQ(
            std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.rfind("LC_CTYPE=", 0) == 0; }),
            c.lcCtype ? 1 : 0);
    }
}

TEST(TerminalEnvironment, ThisProcessAndTheInstalledLocales)
{
    ::setenv("QM_ENV_PROBE", "seen", 1);
    ::setenv("XDG_ACTIVATION_TOKEN", "launch", 1);
    ::setenv("LC_ALL", "C", 1);
    auto env = Terminal::getEnvironmentVariables(std::nullopt, true);
    EXPECT_EQ(entry(env, "QM_ENV_PROBE"), "seen");
    EXPECT_FALSE(entry(env, "XDG_ACTIVATION_TOKEN"));
    EXPECT_EQ(entry(env, "LC_CTYPE"), "C.UTF-8");  // C.UTF-8 is always there
    ::setenv("LC_ALL", "C.UTF-8", 1);
    env = Terminal::getEnvironmentVariables(std::nullopt, true);
    EXPECT_EQ(entry(env, "LC_ALL"), "C.UTF-8");
    EXPECT_FALSE(entry(env, "LC_CTYPE"));
    ::unsetenv("LC_ALL");
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    ::unsetenv("QM_ENV_PROBE");
}

TEST(TerminalHost, TitlesBellAndLineFeeds)
{
    Host host;
    Terminal t(&host, size(10, 3));
    t.feed("\x1b]0;one\x07\x1b]1;icon\x1b\\");
    EXPECT_EQ(host.title, "one");
    EXPECT_EQ(host.iconTitle, "icon");
    t.feed("\x1b]2;bad\xff\x07");
    EXPECT_EQ(host.title, "");
    t.feed("\x07\n\n");
    EXPECT_EQ(host.bells, 1);
    EXPECT_EQ(host.linefeeds, 2);
}

TEST(TerminalHost, RegisteredOscHandlerTakesPrecedence)
{
    Host host;
    Terminal t(&host);
    std::string seen;
    t.registerOscHandler(2, [&](std::span<const uint8_t> p) { seen.assign(p.begin(), p.end()); });
    t.feed("\x1b]2;mine\x07");
    EXPECT_EQ(seen, "mine");
    EXPECT_EQ(host.title, "");
}

TEST(TerminalScreen, AccessorsClampAndRefuse)
{
    Host host;
    Terminal t(&host, size(10, 3));
    t.feed("\xe4\xb8\xad");
    EXPECT_FALSE(t.getCharData(10, 0));
    EXPECT_FALSE(t.getCharData(0, 3));
    EXPECT_FALSE(t.getLine(-1));
    auto wide = t.getCharData(0, 0);
    auto rest = t.getCharData(1, 0);
    ASSERT_TRUE(wide && rest);
    EXPECT_EQ(wide->width, 2);
    EXPECT_EQ(rest->code, 0);
    EXPECT_EQ(rest->width, 0);
    EXPECT_EQ(t.getCharacter(0, 0), "\xe4\xb8\xad");
}

TEST(TerminalScreen, ScrollbackFillsThenRecycles)
{
    Host host;
    Terminal t(&host, size(10, 3, 5));
    for (int i = 0; i < 30; ++i)
        t.feed(std::to_string(i) + "\r\n");
    EXPECT_EQ(t.normalBuffer->lines().count(), 8);
    EXPECT_EQ(t.normalBuffer->yBase(), 5);
    EXPECT_EQ(t.normalBuffer->linesTop(), 23);
    EXPECT_EQ(t.getScrollInvariantLine(23)->toText(true), "23");
    EXPECT_EQ(t.getScrollInvariantLine(22), nullptr);
    EXPECT_EQ(test::dumpScreen(t, {}), "28\n29\n\ncursor 0,2\n");
}

// The saved cursor is a screen row, and dropping history leaves the screen
// where it is: DECRC comes back to the same row, as in xterm.
TEST(TerminalScreen, DroppingHistoryKeepsTheSavedCursorRow)
{
    Host host;
    Terminal t(&host, size(10, 4, 100));
    for (int i = 0; i < 30; ++i)
        t.feed(std::to_string(i) + "\r\n");
    t.feed("\x1b[3;4H\x1b"
           "7\x1b[H");
    t.changeScrollback(2);
    EXPECT_EQ(t.normalBuffer->yBase(), 2);
    t.feed("\x1b"
           "8A\x1b[H");
    t.clearScrollback();
    t.feed("\x1b"
           "8B");  // over the A
    EXPECT_EQ(t.normalBuffer->yBase(), 0);
    EXPECT_EQ(test::dumpScreen(t, {}), "27\n28\n29 B\n\ncursor 4,2\n");
}

TEST(TerminalPrinting, AsciiFastPathMatchesTheGeneralPath)
{
    // ESC ( B designates the plain ASCII map, which sends every byte through
    // the general path; the screens must not differ.
    std::mt19937 rng(7);
    const char* pieces[] = {"abc",          "0123456789", "\r",      "\n",      "\b",   "\x1b[?7l",
                            "\x1b[?7h",     "\x1b[3;5H",  "\x1b[K",  "xyz ",    "\x7f", "\x1b[2G",
                            "\xe4\xb8\xad", "e\xcc\x81",  "\x1b[4h", "\x1b[4l", "\t"};
    for (int round = 0; round < 200; ++round) {
        std::string input;
        for (int k = 0; k < 40; ++k)
            input += pieces[rng() % std::size(pieces)];
        test::DumpOptions o;
        o.cols = 7;
        o.rows = 4;
        const auto bytes = std::vector<uint8_t>(input.begin(), input.end());
        const std::string general = "\x1b(B" + input;
        ASSERT_EQ(test::runDump(bytes, o), test::runDump(std::vector<uint8_t>(general.begin(), general.end()), o))
            << "round " << round;
    }
}

TEST(TerminalPrinting, ShortRunsAfterMovesMatchTheGeneralPath)
{
    // A few characters right after a cursor move take a shortcut of their
    // own. Every cell it writes (code, width, look, link, semantic content),
    // the wide characters it cuts, and what joins or repeats after it must be
    // as the general path (forced by ESC ( B) leaves them.
    std::mt19937 rng(11);
    const char* pieces[] = {"a",
                            "bc",
                            "defg",
                            "hijklmn",
                            "\x1b[2;6H",
                            "\x1b[5G",
                            "\x1b[7G",
                            "\x1b[C",
                            "\x1b[2D",
                            "\x1b[A",
                            "\x1b[B",
                            "\x1b[H",
                            "\xe4\xb8\xad",
                            "\x1b[1;31m",
                            "\x1b[0m",
                            "\x1b[4:3;58;2;1;2;3m",
                            "\x1b[2b",
                            "\x1b[?7l",
                            "\x1b[?7h",
                            "\x1b]8;;https://a.example\x07",
                            "\x1b]8;;\x07",
                            "\x1b[?69h\x1b[2;5s",
                            "\x1b[?69l",
                            "\x1b[4h",
                            "\x1b[4l",
                            "\r\n",
                            "\xe2\x80\x8d",
                            "\xf0\x9f\x98\x80",
                            "\xf0\x9f\x87\xa6"};
    for (int round = 0; round < 300; ++round) {
        std::string input;
        for (int k = 0; k < 30; ++k)
            input += pieces[rng() % std::size(pieces)];
        Host host;
        Terminal fast(&host, size(7, 4));
        Terminal general(&host, size(7, 4));
        fast.activeBuffer().semanticContent = SemanticContent::output();
        general.activeBuffer().semanticContent = SemanticContent::output();
        fast.feed(input);
        general.feed("\x1b(B" + input);
        ASSERT_EQ(test::dumpScreen(fast, {}), test::dumpScreen(general, {})) << "round " << round;
        ASSERT_EQ(test::dumpStyles(fast), test::dumpStyles(general)) << "round " << round;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 7; ++x)
                ASSERT_EQ(fast.activeBuffer().screenLine(y)[x], general.activeBuffer().screenLine(y)[x])
                    << "round " << round << " cell " << x << "," << y;
    }
}

TEST(TerminalPrinting, RecycledRowsPrintedPartWayReadWhole)
{
    // A row recycled by a scroll starts as one blank cell of the erase
    // colour and is printed on without being filled first: every reader,
    // filling or not, must still see the whole row blank in that colour
    // past the text.
    Host host;
    Terminal t(&host, size(30, 3, 2));
    std::string input = "\x1b[44m";
    for (int i = 0; i < 12; ++i)
        input += std::string(static_cast<size_t>(5 + i * 2), static_cast<char>('a' + i)) + "\r\n";
    // A long run, then a short one past a gap; a long run that cuts a wide character.
    input += std::string(20, 'L') + "\x1b[25Gxy\r\n\xe4\xb8\xad\xe4\xb8\xad\x1b[2G" + std::string(18, 'R');
    t.feed(input);
    const std::string rows[] = {std::string(27, 'l'), std::string(20, 'L') + "    xy", " " + std::string(18, 'R')};
    for (int row = 0; row < 3; ++row) {
        BufferLine* line = t.getLine(row);
        ASSERT_NE(line, nullptr);
        const std::vector<CharData> kept = line->cells();  // read without making the row full
        const std::span<const CharData> whole = line->cellSpan();
        ASSERT_EQ(whole.size(), 30u);
        for (size_t x = 0; x < 30; ++x) {
            SCOPED_TRACE("row " + std::to_string(row) + " col " + std::to_string(x));
            const char want = x < rows[row].size() ? rows[row][x] : ' ';
            EXPECT_EQ(whole[x].code, want == ' ' ? 0 : want);
            EXPECT_EQ(whole[x].width, 1);
            EXPECT_EQ(whole[x].attribute.bg, Attribute::Color::ansi256(4));
            EXPECT_EQ(kept[x], whole[x]);
        }
    }
}

TEST(TerminalPrinting, RandomChunkingGivesTheSameScreen)
{
    std::mt19937 rng(99);
    const std::string alphabet =
        "ab \r\n\t\x1b[;0123456789mHJKABCDhl?\x07]P$q\\\xe4\xb8\xad\xcc\x81\xf0\x9f\x98\x80\x9c\x90\x1a\x18";
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> input(300);
        for (auto& b : input)
            b = static_cast<uint8_t>(rng() % 8 == 0 ? rng() : alphabet[rng() % alphabet.size()]);
        test::DumpOptions whole;
        whole.cols = 9;
        whole.rows = 5;
        test::DumpOptions chunked = whole;
        chunked.chunk = 1 + rng() % 5;
        ASSERT_EQ(test::runDump(input, whole), test::runDump(input, chunked)) << "round " << round;
    }
}

TEST(TerminalLimits, ClusterTableIsBounded)
{
    Host host;
    Terminal t(&host, size(80, 10, 0));
    std::string input;
    for (int k = 0; k < 20000; ++k) {
        for (int m = 0; m < 4; ++m) {
            const uint32_t base = 0x4E00 + static_cast<uint32_t>(k);
            input += static_cast<char>(0xE0 | (base >> 12));
            input += static_cast<char>(0x80 | ((base >> 6) & 0x3F));
            input += static_cast<char>(0x80 | (base & 0x3F));
            input += "\xcc";
            input += static_cast<char>(0x80 + m);
        }
    }
    t.feed(input);
    EXPECT_EQ(t.clusterCount(), GraphemeTable::kMaxClusters);
    t.feed("\r\ne\xcc\x81");
    // Full table: the mark is dropped but the base character stays.
    EXPECT_EQ(t.getCharacter(0, 9), "e");
}

TEST(TerminalLimits, HugeParametersStayOnScreen)
{
    Host host;
    Terminal t(&host, size(10, 4));
    t.feed("\x1b[99999;99999H\x1b[99999@\x1b[99999P\x1b[99999L\x1b[99999M\x1b[99999S\x1b[99999T\x1b[99999X\x1b[99999b");
    t.feed("\x1b[99999A\x1b[99999B\x1b[99999C\x1b[99999D\x1b[99999I\x1b[99999Z\x1b[99999E\x1b[99999F");
    const auto [x, y] = t.getCursorLocation();
    EXPECT_GE(x, 0);
    EXPECT_LE(x, 10);
    EXPECT_GE(y, 0);
    EXPECT_LT(y, 4);
}

// A child writing one huge line without newlines must not stall the host:
// the old print path rescanned the rest of the input for every row, hundreds
// of gigabytes for these (bench/terminal_bench's BM_LongUnbrokenLine times
// it). Each byte is read once or twice, however long the line.
TEST(TerminalLimits, LongUnbrokenLineIsReadOnce)
{
    Host host;
    Terminal t(&host, size(80, 24));
    const std::string plain(8u << 20, 'x');
    t.feed(plain);
    EXPECT_EQ(t.getCharacter(79, 22), "x");
    EXPECT_LE(t.printBytesScanned(), plain.size());

    // A DEL, or a character beyond ASCII, sends the line down the path that
    // looks for where each run stops.
    for (const std::string& odd : {std::string("\x7f"), std::string("\xc3\xa9")}) {
        Terminal u(&host, size(80, 24));
        const std::string line = std::string(1u << 20, 'x') + odd + std::string(1u << 20, 'y');
        u.feed(line);
        // 2^21 letters, and one cell more for the accented one.
        const int lastRow = odd == "\x7f" ? 32 : 33;
        EXPECT_EQ(u.getLine(23)->toText(true), std::string(size_t(lastRow), 'y'));
        EXPECT_LE(u.printBytesScanned(), 3 * line.size()) << u.printBytesScanned() << " bytes read";
    }
}

TEST(TerminalReset, RisRestoresPowerOnState)
{
    Host host;
    Terminal t(&host, size(10, 3));
    t.feed("\x1b[?7l\x1b[4h\x1b(0\x1b[31mabc\x1b[?1049h\x1b[2;3r");
    t.feed("\x1b"
           "c");
    EXPECT_TRUE(t.wraparound);
    EXPECT_FALSE(t.insertMode);
    EXPECT_EQ(t.charset, nullptr);
    EXPECT_FALSE(t.isCurrentBufferAlternate());
    EXPECT_EQ(t.activeBuffer().scrollBottom(), 2);
    EXPECT_EQ(test::dumpScreen(t, {}), "\n\n\ncursor 0,0\n");
}

TEST(EscapeSequencesTable, FunctionKeys)
{
    ASSERT_EQ(EscapeSequences::cmdF.size(), 12u);
    EXPECT_EQ(EscapeSequences::cmdF[4], (std::vector<uint8_t>{0x1B, '[', '1', '5', '~'}));
    EXPECT_EQ(EscapeSequences::cmdF[5], (std::vector<uint8_t>{0x1B, '[', '1', '7', '~'}));
    EXPECT_EQ(EscapeSequences::cmdF[11], (std::vector<uint8_t>{0x1B, '[', '2', '4', '~'}));
    CC cc;
    EXPECT_EQ(cc.csi(), (std::vector<uint8_t>{0x1B, '['}));
    cc.send8bit = true;
    EXPECT_EQ(cc.osc(), std::vector<uint8_t>{0x9D});
    EXPECT_EQ(cc.st(), std::vector<uint8_t>{0x9C});
}

TEST(TerminalLog, InfoLinesOnlyWhenNotSilent)
{
    std::vector<std::string> lines;
    platform::setLogSink([&](platform::LogLevel, std::string_view, std::string_view m) { lines.emplace_back(m); });
    Host host;
    Terminal t(&host);
    t.feed("\x1b[5i");
    EXPECT_TRUE(lines.empty());
    t.silentLog = false;
    t.feed("\x1b[5i\x1bP$qx\x1b\\");
    platform::setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Info: Ravelgrid: Unknown CSI Code (collect=[] code=i pars=[5])");
    EXPECT_EQ(lines[1], "Info: Unknown DCS + x");
}

TEST(TerminalScreen, SemanticContentOfPrintedCells)
{
    Host host;
    Terminal t(&host, size(10, 3));
    t.activeBuffer().semanticContent = SemanticContent::input();
    t.feed("ab");
    EXPECT_EQ(t.semanticContent({1, 0}), SemanticContent::input());
    EXPECT_EQ(t.semanticContent({2, 0}), SemanticContent::none());
    EXPECT_FALSE(t.semanticContent({10, 0}));
    EXPECT_FALSE(t.semanticContent({0, -1}));
}
