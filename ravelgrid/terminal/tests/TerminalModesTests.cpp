// Mouse report encodings at their edges, the synchronized-output timeout on a
// fake clock, and what modes and reports do through the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/FakeScheduler.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

std::string text(const Terminal& t, const BufferLine* line)
{
    std::string s;
    for (const CharData& cell : line->cellSpan())
        s += cell.code == 0 ? std::string(" ") : t.character(cell.code);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

TerminalOptions size(int cols, int rows)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    return o;
}

class MouseTest : public testing::Test {
protected:
    test::ReplyRecorder host;
    Terminal t{&host};

    Bytes press(int button, int x, int y, MouseProtocolEncoding encoding, bool release = false)
    {
        t.mouseProtocol = encoding;
        host.replies.clear();
        t.sendEvent(t.encodeButton(button, release, false, false, false), x, y);
        return host.replies.size() == 1 ? host.replies[0] : Bytes{};
    }
    std::string sgr(int button, int x, int y, bool release = false)
    {
        const Bytes b = press(button, x, y, MouseProtocolEncoding::sgr, release);
        return std::string(b.begin(), b.end());
    }
};

constexpr int kLeft = 3, kMiddle = 1, kRight = 2, kWheelUp = 4;

}  // namespace

TEST_F(MouseTest, X10ClampsEveryByteAt255)
{
    EXPECT_EQ(press(kLeft, 0, 0, MouseProtocolEncoding::x10), (Bytes{0x1B, '[', 'M', 0x20, 0x21, 0x21}));
    EXPECT_EQ(press(kLeft, 222, 5, MouseProtocolEncoding::x10), (Bytes{0x1B, '[', 'M', 0x20, 255, 38}));
    EXPECT_EQ(press(kLeft, 223, 223, MouseProtocolEncoding::x10), (Bytes{0x1B, '[', 'M', 0x20, 255, 255}));
    EXPECT_EQ(press(kLeft, 224, 300, MouseProtocolEncoding::x10), (Bytes{0x1B, '[', 'M', 0x20, 255, 255}));
    // A drag out of the window to the left or above reports the edge.
    EXPECT_EQ(press(kMiddle, -4, -1, MouseProtocolEncoding::x10), (Bytes{0x1B, '[', 'M', 0x21, 0x21, 0x21}));
    // Releases send code 3 whichever button it was.
    EXPECT_EQ(press(kRight, 1, 1, MouseProtocolEncoding::x10, true), (Bytes{0x1B, '[', 'M', 0x23, 0x22, 0x22}));
    t.cc.send8bit = true;
    EXPECT_EQ(press(kLeft, 0, 0, MouseProtocolEncoding::x10), (Bytes{0x9B, 'M', 0x20, 0x21, 0x21}));
}

TEST_F(MouseTest, Utf8CoordinatesAtTheEdgesOfEachForm)
{
    auto column = [&](int x) {
        const Bytes b = press(kLeft, x, 0, MouseProtocolEncoding::utf8);
        // ESC [ M, the button byte, then the column up to the row byte 0x21
        return b.size() >= 5 ? Bytes(b.begin() + 4, b.end() - 1) : Bytes{};
    };
    EXPECT_EQ(column(93), (Bytes{126}));
    EXPECT_EQ(column(94), (Bytes{127}));  // one byte: 0xC1 0xBF would not be UTF-8
    EXPECT_EQ(column(95), (Bytes{0xC2, 0x80}));
    EXPECT_EQ(column(222), (Bytes{0xC3, 0xBF}));
    EXPECT_EQ(column(223), (Bytes{0xC4, 0x80}));
    EXPECT_EQ(column(224), (Bytes{0xC4, 0x81}));
    EXPECT_EQ(column(300), (Bytes{0xC5, 0x8D}));
    EXPECT_EQ(column(2013), (Bytes{0xDF, 0xBE}));
    EXPECT_EQ(column(2014), (Bytes{0x00}));
    EXPECT_EQ(column(2015), (Bytes{0xDF, 0xBF}));
    EXPECT_EQ(column(2'000'000'000), (Bytes{0xDF, 0xBF}));
    EXPECT_EQ(press(kLeft, 0, 223, MouseProtocolEncoding::utf8), (Bytes{0x1B, '[', 'M', 0x20, 0x21, 0xC4, 0x80}));
}

TEST_F(MouseTest, SgrNamesTheReleasedButtonAndTakesAnyCoordinate)
{
    EXPECT_EQ(sgr(kLeft, 0, 0), "\x1b[<0;1;1M");
    EXPECT_EQ(sgr(kLeft, 0, 0, true), "\x1b[<0;1;1m");
    EXPECT_EQ(sgr(kRight, 4, 2, true), "\x1b[<2;5;3m");
    EXPECT_EQ(sgr(kMiddle, 4, 2, true), "\x1b[<1;5;3m");
    EXPECT_EQ(sgr(kLeft, 5000, 70000), "\x1b[<0;5001;70001M");
    EXPECT_EQ(sgr(kLeft, 222, 223), "\x1b[<0;223;224M");
    // Hosts that pass the bare release code still get a release.
    t.mouseProtocol = MouseProtocolEncoding::sgr;
    host.replies.clear();
    t.sendEvent(3, 0, 0);
    t.sendMotion(3, 1, 0, 0, 0);
    ASSERT_EQ(host.replies.size(), 2u);
    EXPECT_EQ(host.replies[0], bytes("\x1b[<0;1;1m"));
    EXPECT_EQ(host.replies[1], bytes("\x1b[<35;2;1M"));  // motion without a button is no release
}

TEST_F(MouseTest, SgrPixelReportsPixelsAndReleasesByName)
{
    t.mouseProtocol = MouseProtocolEncoding::sgrPixel;
    t.sendEvent(t.encodeButton(kLeft, false, false, false, false), 3, 4, 35, 71);
    t.sendEvent(t.encodeButton(kRight, true, false, false, false), 3, 4, 35, 71);
    t.sendEvent(t.encodeButton(kLeft, false, false, false, false), 3, 4, -5, 100000);
    ASSERT_EQ(host.replies.size(), 3u);
    EXPECT_EQ(host.replies[0], bytes("\x1b[<0;35;71M"));
    EXPECT_EQ(host.replies[1], bytes("\x1b[<2;35;71m"));
    EXPECT_EQ(host.replies[2], bytes("\x1b[<0;0;100000M"));
}

TEST_F(MouseTest, UrxvtIsDecimalWithTheX10ButtonCode)
{
    const auto urxvt = [&](int button, int x, int y, bool release = false) {
        const Bytes b = press(button, x, y, MouseProtocolEncoding::urxvt, release);
        return std::string(b.begin(), b.end());
    };
    EXPECT_EQ(urxvt(kLeft, 0, 0), "\x1b[32;1;1M");
    EXPECT_EQ(urxvt(kRight, 299, 9, true), "\x1b[35;300;10M");
    EXPECT_EQ(urxvt(kWheelUp, 5000, 0), "\x1b[96;5001;1M");
}

TEST_F(MouseTest, ModifiersOnlyOnceTrackingSendsThem)
{
    t.mouseProtocol = MouseProtocolEncoding::sgr;
    t.setMouseMode(MouseMode::x10);
    EXPECT_EQ(t.encodeButton(kWheelUp, false, true, true, true), 64);
    t.setMouseMode(MouseMode::vt200);
    EXPECT_EQ(t.encodeButton(kWheelUp, false, true, false, false), 68);
    EXPECT_EQ(t.encodeButton(kLeft, false, false, true, true), 24);
    EXPECT_EQ(t.encodeButton(5, false, false, false, false), 65);
    EXPECT_EQ(t.encodeButton(9, false, false, false, false), 0);
    // A release keeps its modifiers in every form.
    host.replies.clear();
    t.sendEvent(t.encodeButton(kRight, true, true, false, false), 0, 0);
    t.mouseProtocol = MouseProtocolEncoding::x10;
    t.sendEvent(t.encodeButton(kRight, true, true, false, false), 0, 0);
    ASSERT_EQ(host.replies.size(), 2u);
    EXPECT_EQ(host.replies[0], bytes("\x1b[<6;1;1m"));
    EXPECT_EQ(host.replies[1], (Bytes{0x1B, '[', 'M', 32 + 7, 0x21, 0x21}));
}

// --- synchronized output ---------------------------------------------------------

namespace {

class SyncHost : public test::ReplyRecorder {
public:
    int on = 0, off = 0;
    void synchronizedOutputChanged(Terminal&, bool active) override { ++(active ? on : off); }
};

}  // namespace

TEST(SynchronizedOutput, EndsOneSecondAfterTheLastSetAndRedrawsEverything)
{
    SyncHost host;
    platform::FakeScheduler clock;
    Terminal t(&host, size(10, 4));
    t.setScheduler(&clock);
    t.feed("\x1b[?2026h");
    clock.advance(600ms);
    t.feed("\x1b[?2026h");
    EXPECT_EQ(host.on, 1);
    t.clearUpdateRange();
    clock.advance(999ms);
    EXPECT_TRUE(t.synchronizedOutputActive);
    EXPECT_EQ(host.off, 0);
    clock.advance(1ms);
    EXPECT_FALSE(t.synchronizedOutputActive);
    EXPECT_EQ(host.off, 1);
    EXPECT_EQ(t.getUpdateRange(), std::make_pair(0, 3));
    clock.advance(5s);
    EXPECT_EQ(host.off, 1);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(SynchronizedOutput, ASetLoopKeepsOneTimerPending)
{
    SyncHost host;
    platform::FakeScheduler clock;
    Terminal t(&host);
    t.setScheduler(&clock);
    for (int i = 0; i < 10000; ++i) {
        t.feed("\x1b[?2026h");
        clock.advance(1ms);
    }
    EXPECT_EQ(clock.pendingCount(), 1u);
    EXPECT_EQ(host.on, 1);
    EXPECT_EQ(host.off, 0);
    clock.advance(1s);
    EXPECT_EQ(host.off, 1);
}

TEST(SynchronizedOutput, AnEndedPeriodDoesNotCutShortTheNextOne)
{
    SyncHost host;
    platform::FakeScheduler clock;
    Terminal t(&host);
    t.setScheduler(&clock);
    t.feed("\x1b[?2026h");
    clock.advance(200ms);
    t.feed("\x1b[?2026l");
    EXPECT_EQ(host.off, 1);
    clock.advance(300ms);
    t.feed("\x1b[?2026h");
    clock.advance(500ms);  // the first period's timer runs now
    EXPECT_TRUE(t.synchronizedOutputActive);
    clock.advance(500ms);
    EXPECT_FALSE(t.synchronizedOutputActive);
    EXPECT_EQ(host.on, 2);
    EXPECT_EQ(host.off, 2);
}

TEST(SynchronizedOutput, TheTimerGoesWithItsTerminal)
{
    SyncHost host;
    platform::FakeScheduler clock;
    {
        Terminal t(&host);
        t.setScheduler(&clock);
        t.feed("\x1b[?2026h");
        EXPECT_EQ(clock.pendingCount(), 1u);
    }
    EXPECT_EQ(clock.pendingCount(), 0u) << "the terminal's timer goes with it";
    clock.advance(2s);
    EXPECT_EQ(host.off, 0);
}

TEST(SynchronizedOutput, ASchedulerGivenLateStillEndsAPeriodInProgress)
{
    SyncHost host;
    platform::FakeScheduler clock;
    Terminal t(&host);
    t.feed("\x1b[?2026h");
    t.setScheduler(&clock);
    EXPECT_EQ(clock.pendingCount(), 1u);
    clock.advance(1s);
    EXPECT_EQ(host.off, 1);
}

namespace {

// Trust that takes a look of 20 ms to learn, for local output.
class LookingHost : public SyncHost {
public:
    bool isOutputRemote(Terminal&) override { return false; }
    RequestTrust requestTrust(Terminal&) override { return RequestTrust::unknown; }
    std::function<bool()> requestTrustAwaiter(Terminal&) override
    {
        return [] {
            std::this_thread::sleep_for(20ms);
            return true;
        };
    }
};

}  // namespace

TEST(SynchronizedOutput, HeldInputLeavesNoPollBehindOnceItIsParsed)
{
    LookingHost host;
    platform::FakeScheduler clock;
    Terminal t(&host);
    t.setScheduler(&clock);
    t.setBackgroundWorkAllowed(true);
    t.feed("\x1b[?2026h\x1b[1;1;1;1;1;5*y");
    ASSERT_TRUE(t.inputHeld());
    // More than the terminal holds: it waits for both looks at once.
    t.feed("\x1b[2;1;1;1;1;5*y" + std::string(Terminal::kMaxHeldInputBytes + 1, 'x'));
    EXPECT_FALSE(t.inputHeld());
    EXPECT_EQ(host.replies.size(), 2u);
    EXPECT_EQ(clock.pendingCount(), 1u) << "only the synchronized-output timer";
}

// --- window operations through the host ------------------------------------------------

namespace {

class WindowHost : public test::ReplyRecorder {
public:
    std::optional<std::pair<int, int>> cell;
    std::optional<Bytes> answer;
    std::vector<WindowManipulationCommand> commands;
    std::optional<Bytes> windowCommand(Terminal&, const WindowManipulationCommand& c) override
    {
        commands.push_back(c);
        return answer;
    }
    std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) override { return cell; }
};

}  // namespace

TEST(WindowOperations, TheHostsAnswerReplacesTheTerminalsOwn)
{
    WindowHost host;
    Terminal t(&host, size(80, 24));
    host.cell = std::pair{8, 17};
    t.feed("\x1b[14t\x1b[16t");
    host.answer = bytes("\x1b[4;1;2t");
    t.feed("\x1b[14t");
    // Bytes returned for a command that is no report go nowhere.
    t.feed("\x1b[1t\x1b[3;1;2t");
    ASSERT_EQ(host.replies.size(), 3u);
    EXPECT_EQ(host.replies[0], bytes("\x1b[4;408;640t"));
    EXPECT_EQ(host.replies[1], bytes("\x1b[6;17;8t"));
    EXPECT_EQ(host.replies[2], bytes("\x1b[4;1;2t"));
    EXPECT_EQ(host.commands.size(), 5u);
}

TEST(WindowOperations, NothingHappensWithoutAHost)
{
    test::ReplyRecorder host;
    Terminal t(&host);
    host.recordEvents = true;
    t.feed("\x1b]2;first\x07\x1b[22;2t");
    t.setDelegate(nullptr);
    t.feed("\x1b]2;second\x07\x1b[22;2t\x1b[14t");
    t.setDelegate(&host);
    t.feed("\x1b[23;2t\x1b[23;2t");
    EXPECT_EQ(host.events, (std::vector<std::string>{"title first", "title first"}));
    EXPECT_TRUE(host.replies.empty());
}

// --- screens, DECCOLM, soft reset, bidi rows ---------------------------------------------

TEST(Screens, TheAlternateScreenKeepsNoScrollback)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    t.feed("\x1b[?1049h");
    for (int i = 0; i < 20; ++i)
        t.feed("line\r\n");
    EXPECT_EQ(t.altBuffer->lines().count(), 4);
    EXPECT_EQ(t.altBuffer->yBase(), 0);
}

TEST(Screens, ColumnModeKeepsScrollbackAndPalette)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    for (int i = 0; i < 8; ++i)
        t.feed(std::to_string(i) + "\r\n");
    t.ansiColors[1] = Color::fromRgb8(1, 2, 3);
    t.feed("\x1b[?40h\x1b[?3h");
    EXPECT_EQ(t.cols, 132);
    EXPECT_EQ(t.ansiColors[1], Color::fromRgb8(1, 2, 3));
    ASSERT_GE(t.normalBuffer->lines().count(), 8);
    EXPECT_EQ(text(t, t.getScrollInvariantLine(0)), "0");
    for (int r = 0; r < t.rows; ++r)
        EXPECT_EQ(text(t, t.getLine(r)), "") << r;
}

TEST(Screens, SoftResetRestoresThePaletteAndTheBidiState)
{
    test::ReplyRecorder host;
    TerminalOptions o = size(10, 4);
    o.initialBidiState.autodetectDirection = true;
    Terminal t(&host, o);
    t.feed("\x1b[?2501l\x1b[?2500h\x1b[8l\x1b[?1243h\x1b[?1243s");
    t.ansiColors[3] = Color::fromRgb8(9, 9, 9);
    t.feed("\x1b[!p");
    EXPECT_EQ(t.ansiColors, t.defaultAnsiColors);
    EXPECT_EQ(t.currentBidiState, o.initialBidiState);
    EXPECT_EQ(t.normalBuffer->defaultBidiState, o.initialBidiState);
    EXPECT_EQ(t.altBuffer->defaultBidiState, o.initialBidiState);
    EXPECT_FALSE(t.bidiArrowKeySwap);
    EXPECT_TRUE(t.savedBidiPrivateModes.empty());
}

TEST(Screens, TheAlternateScreenReordersRowsOnlyWhenTheProgramAsks)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    EXPECT_FALSE(t.altBuffer->reordersRows);
    t.feed("\x1b[8h");
    EXPECT_TRUE(t.altBuffer->reordersRows);
    t.feed("\x1b[8l");
    EXPECT_FALSE(t.altBuffer->reordersRows);
    // A full reset forgets the request; the normal screen always reorders.
    t.feed("\x1b[8h\x1b"
           "c");
    EXPECT_FALSE(t.altBuffer->reordersRows);
    EXPECT_TRUE(t.normalBuffer->reordersRows);
}

TEST(Screens, BidiModesReachTheParagraphAtTheCursorOnly)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    t.feed("abcdefghijkl\r\nnext\x1b[H");
    const uint64_t before = t.getLine(0)->generation();
    t.feed("\x1b[?2500h");
    EXPECT_TRUE(t.getLine(0)->bidiState().boxMirroring);
    EXPECT_TRUE(t.getLine(1)->bidiState().boxMirroring);  // the wrapped rest of the paragraph
    EXPECT_FALSE(t.getLine(2)->bidiState().boxMirroring);
    EXPECT_GT(t.getLine(0)->generation(), before);
    // Away from column 0 only the state for new rows changes.
    t.feed("\x1b[3;2H\x1b[?2500l\x1b[?2500h\x1b[?2501l");
    EXPECT_FALSE(t.getLine(2)->bidiState().boxMirroring);
    EXPECT_TRUE(t.normalBuffer->defaultBidiState.boxMirroring);
    EXPECT_FALSE(t.altBuffer->defaultBidiState.autodetectDirection);
    // A continuation row does not begin a paragraph.
    t.feed("\x1b[2;1H\x1b[?2500l");
    EXPECT_TRUE(t.getLine(1)->bidiState().boxMirroring);
}

TEST(Screens, HardenedRowsBeginParagraphs)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(4, 6));
    t.feed("abcdefghijklmnopqrst");  // five rows, each but the first a continuation
    ASSERT_TRUE(t.getLine(1)->isWrapped());
    t.feed("\x1b[2;5r");
    t.hardenBidiScrollBoundaries(true, 2);
    EXPECT_FALSE(t.getLine(1)->isWrapped());
    EXPECT_TRUE(t.getLine(2)->isWrapped());
    EXPECT_FALSE(t.getLine(3)->isWrapped());
    t.hardenBidiLineShiftBoundaries(-3, std::nullopt, 99);  // rows outside the ring are skipped
    t.hardenBidiLineShiftBoundaries(2, std::nullopt, 3);
    EXPECT_FALSE(t.getLine(2)->isWrapped());
    EXPECT_FALSE(t.getLine(4)->isWrapped());
}

TEST(Screens, SwitchingScreensSubmitsThePromptAndSoftResetForgetsIt)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    t.feed("\x1b]133;A\x07$ \x1b]133;B\x07");
    ASSERT_EQ(t.normalBuffer->semanticInput, SemanticInputState::armed);
    t.feed("\x1b[?1049h");
    EXPECT_EQ(t.normalBuffer->semanticInput, SemanticInputState::submitted);
    EXPECT_EQ(t.altBuffer->semanticInput, SemanticInputState::submitted);
    t.feed("\x1b[?1049l\x1b]133;A\x07$ \x1b[!p");
    EXPECT_EQ(t.normalBuffer->semanticInput, SemanticInputState::idle);
    EXPECT_EQ(t.normalBuffer->semanticContent, SemanticContent::none());
}

TEST(Screens, AnEmptiedAlternateScreenSurvivesResizeAndComesBackBlank)
{
    test::ReplyRecorder host;
    Terminal t(&host, size(10, 4));
    t.feed("\x1b[?1049hold\x1b[?1049l");
    EXPECT_EQ(t.altBuffer->lines().count(), 0);
    t.resize(20, 6);
    t.feed("\x1b[?40h\x1b[?3h\x1b[?3l\x1b[?1049h\x1b[6;20Hx");
    EXPECT_EQ(t.altBuffer->lines().count(), t.rows);
    EXPECT_EQ(text(t, t.getLine(0)), "");
    EXPECT_EQ(t.cols, 80);
    EXPECT_EQ(text(t, t.getLine(5)), std::string(19, ' ') + "x");
}
