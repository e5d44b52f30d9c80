// The user-input scanner (does what the user types submit the command line?)
// and clicks in a prompt turned into cursor keys or mouse reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"

using namespace ravelgrid;

namespace {

class Host : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { sent.emplace_back(data.begin(), data.end()); }
    std::vector<std::string> sent;
};

TerminalOptions size(int cols, int rows)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    return o;
}

std::span<const uint8_t> bytes(std::string_view s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

struct ScannerFixture : testing::Test {
    Host host;
    Terminal t{&host, size(40, 5)};

    void armPrompt() { t.feed("\x1b]133;A\x07$ \x1b]133;B\x07"); }
    SemanticInputState state() { return t.activeBuffer().semanticInput; }
    bool scan(std::string_view s) { return t.scanUserInputForSubmission(bytes(s)); }
};

}  // namespace

TEST_F(ScannerFixture, PlainEnterSubmitsAnArmedPromptAndTheBytesStillGoOut)
{
    armPrompt();
    t.sendUserInput(bytes("ls -l"));
    EXPECT_EQ(state(), SemanticInputState::armed);
    t.sendUserInput(bytes("\r"));
    EXPECT_EQ(state(), SemanticInputState::submitted);
    EXPECT_EQ(host.sent, (std::vector<std::string>{"ls -l", "\r"}));
}

TEST_F(ScannerFixture, EnterOutsideAnArmedPromptChangesNoState)
{
    t.feed("\x1b]133;A\x07$ ");
    t.sendUserInput(bytes("\r"));
    EXPECT_EQ(state(), SemanticInputState::prompt);
    t.feed("\x1b]133;B\x07\x1b]133;C\x07");
    t.sendUserInput(bytes("\n"));
    EXPECT_EQ(state(), SemanticInputState::submitted);
}

TEST_F(ScannerFixture, BracketedPasteWithNewlinesIsNotASubmission)
{
    armPrompt();
    t.sendUserInput(bytes("\x1b[200~echo a\necho b\r\n\x1b[201~"));
    EXPECT_EQ(state(), SemanticInputState::armed);
    // The same paste cut into single bytes.
    const std::string paste = "\x1b[200~one\rtwo\n\x1bOM\x1b[13u\x1b[201~";
    for (char c : paste)
        t.sendUserInput(bytes(std::string_view(&c, 1)));
    EXPECT_EQ(state(), SemanticInputState::armed);
    t.sendUserInput(bytes("\r"));
    EXPECT_EQ(state(), SemanticInputState::submitted);
}

TEST_F(ScannerFixture, KittyEnterPressSubmitsAndReleaseDoesNot)
{
    EXPECT_FALSE(scan("\x1b[13;1:3u"));  // release
    EXPECT_TRUE(scan("\x1b[13u"));
    EXPECT_TRUE(scan("\x1b[13;1:1u"));   // press
    EXPECT_TRUE(scan("\x1b[13;1:2u"));   // repeat
    EXPECT_TRUE(scan("\x1b[13;5u"));     // Ctrl+Enter
    EXPECT_TRUE(scan("\x1b[13:13;1u"));  // with an alternate key
    EXPECT_FALSE(scan("\x1b[9u"));       // Tab
    EXPECT_FALSE(scan("\x1b[113;1u"));
    EXPECT_TRUE(scan("\x1bOM"));  // keypad Enter
    EXPECT_FALSE(scan("\x1bOA\x1b[A\x1b[13~"));
}

TEST_F(ScannerFixture, ASequenceSplitAcrossChunksIsStillRecognised)
{
    EXPECT_FALSE(scan("abc\x1b"));
    EXPECT_FALSE(scan("[1"));
    EXPECT_FALSE(scan("3;1:"));
    EXPECT_TRUE(scan("1u"));
    EXPECT_FALSE(scan("\x1b\x1b\x1b"));  // escapes in a row stay in the escape state
    EXPECT_TRUE(scan("OM"));
}

TEST_F(ScannerFixture, OverlongParametersAreBoundedAndNeverMatchEnter)
{
    EXPECT_FALSE(scan("\x1b[" + std::string(1000, '1') + "u"));
    EXPECT_LE(t.semanticScanParams.size(), 32u);
    // "13" followed by junk beyond the bound is not Enter either.
    EXPECT_FALSE(scan("\x1b[13" + std::string(100, '0') + "u"));
    EXPECT_TRUE(scan("\r"));
}

TEST_F(ScannerFixture, FullResetLeavesAPasteThatNeverEnded)
{
    armPrompt();
    t.sendUserInput(bytes("\x1b[200~half a paste"));
    t.feed("\x1b"
           "c");
    armPrompt();
    t.sendUserInput(bytes("\r"));
    EXPECT_EQ(state(), SemanticInputState::submitted);
}

namespace {

struct ClickFixture : testing::Test {
    Host host;
    Terminal t{&host, size(20, 5)};
    SemanticPromptPointerSnapshot single{false, false, 1, true};

    bool click(int col, int row, SemanticPromptClickModifiers m = {})
    {
        return t.handleSemanticPromptClick({col, row}, m, single);
    }
    std::string lastSent() { return host.sent.empty() ? std::string() : host.sent.back(); }
    static std::string times(int n, const std::string& s)
    {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += s;
        return out;
    }
};

}  // namespace

TEST_F(ClickFixture, AbsoluteClickEventsReportTheScreenCell)
{
    // A prompt whose input wraps over three rows.
    t.feed("\x1b]133;A;click_events=1\x07$ \x1b]133;B\x07" + std::string(45, 'x'));
    EXPECT_TRUE(click(4, 2));
    EXPECT_EQ(lastSent(), "\x1b[<0;5;3M");
}

TEST_F(ClickFixture, RelativeClickEventsCountFromTheInputsFirstRow)
{
    t.feed("out\r\n\x1b]133;A;click_events=2\x07$ \x1b]133;B\x07" + std::string(45, 'x'));
    EXPECT_TRUE(click(0, 3));
    EXPECT_EQ(lastSent(), "\x1b[<0;1;2M");
    EXPECT_TRUE(click(6, 1));
    EXPECT_EQ(lastSent(), "\x1b[<0;7;0M");
    EXPECT_FALSE(click(1, 0));  // above the prompt: not part of the group
}

TEST_F(ClickFixture, LineModeMovesAlongTheLine)
{
    t.feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07hello");
    EXPECT_TRUE(click(3, 0));  // on the "e"; the cursor stands after "hello"
    EXPECT_EQ(lastSent(), times(4, "\x1b[D"));
    t.feed("\x1b[?1h");  // application cursor keys
    t.feed("\x1b[4G");   // cursor onto the "e"
    EXPECT_TRUE(click(6, 0));
    EXPECT_EQ(lastSent(), times(3, "\x1bOC"));
    EXPECT_FALSE(click(3, 0));  // already there
}

TEST_F(ClickFixture, ClickingOnARightHalfCountsAsItsCharacter)
{
    t.feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07"
           "a\xe4\xb8\xad"
           "b");
    EXPECT_TRUE(click(4, 0));  // right half of the wide character
    EXPECT_EQ(lastSent(), times(2, "\x1b[D"));
}

TEST_F(ClickFixture, VerticalModesGoUpAndAcrossBetweenLogicalLines)
{
    const std::string twoLines = "$ \x1b]133;B\x07"
                                 "ab\r\n\x1b]133;A;k=s\x07> \x1b]133;B\x07"
                                 "cdef";
    t.feed("\x1b]133;A;cl=v\x07" + twoLines);
    EXPECT_TRUE(click(3, 0));  // the "b" of the first line
    EXPECT_EQ(lastSent(), times(4, "\x1b[D") + "\x1b[A" + "\x1b[C");

    Host other;
    Terminal m(&other, size(20, 5));
    m.feed("\x1b]133;A;cl=m\x07" + twoLines);
    EXPECT_TRUE(m.handleSemanticPromptClick({3, 0}, {}, single));
    EXPECT_EQ(other.sent.back(), times(6, "\x1b[D"));

    Host line;
    Terminal l(&line, size(20, 5));
    l.feed("\x1b]133;A;cl=line\x07" + twoLines);
    EXPECT_FALSE(l.handleSemanticPromptClick({3, 0}, {}, single));
}

TEST_F(ClickFixture, SpecialKeysMoveWithKeyboardProtocolReports)
{
    t.feed("\x1b]133;A;cl=v;special_key=1\x07$ \x1b]133;B\x07hello\x1b[?1h");
    EXPECT_TRUE(click(4, 0));
    EXPECT_EQ(lastSent(), times(3, "\x1b[1;1u"));
}

TEST_F(ClickFixture, ClicksThatMustNotBeRouted)
{
    t.feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07hello");
    EXPECT_TRUE(t.mightRouteSemanticPromptClick({}, single));
    EXPECT_FALSE(t.mightRouteSemanticPromptClick({}, {false, false, 2, true}));     // double click
    EXPECT_FALSE(t.handleSemanticPromptClick({3, 0}, {}, {true, false, 1, true}));  // selection was active
    EXPECT_FALSE(t.handleSemanticPromptClick({3, 0}, {}, {false, true, 1, true}));  // dragged
    SemanticPromptClickModifiers shift{SemanticPromptClickModifiers::shift};
    EXPECT_FALSE(click(3, 0, shift));
    t.semanticPromptClickBehavior = SemanticPromptClickBehavior::requireModifier(shift);
    EXPECT_FALSE(click(3, 0));
    EXPECT_TRUE(click(3, 0, shift));
    t.semanticPromptClickBehavior = SemanticPromptClickBehavior::disabled();
    EXPECT_FALSE(click(2, 0));
    t.semanticPromptClickBehavior = SemanticPromptClickBehavior::enabled();
    EXPECT_FALSE(click(-1, 0));
    EXPECT_FALSE(click(20, 0));
    EXPECT_FALSE(click(3, 4));  // below the group
    t.feed("\r\n\x1b]133;C\x07");
    EXPECT_FALSE(click(3, 0));  // the command was submitted
    EXPECT_FALSE(t.mightRouteSemanticPromptClick({}, single));
}

TEST_F(ClickFixture, APromptWithoutInputOrClickModeSendsNothing)
{
    t.feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07");
    EXPECT_FALSE(click(1, 0));
    Host other;
    Terminal plain(&other, size(20, 5));
    plain.feed("\x1b]133;A\x07$ \x1b]133;B\x07hello");
    EXPECT_FALSE(plain.handleSemanticPromptClick({3, 0}, {}, single));
    EXPECT_TRUE(other.sent.empty());
}

TEST_F(ClickFixture, SoftResetClearsPromptState)
{
    t.feed("\x1b]133;A;cl=line\x07$ \x1b]133;B\x07hello");
    t.resetSemanticPromptState(true);
    EXPECT_EQ(t.activeBuffer().semanticInput, SemanticInputState::idle);
    EXPECT_TRUE(t.activeBuffer().lines()[0].semanticMarks().empty());
    EXPECT_FALSE(click(3, 0));
}
