#include <gtest/gtest.h>

#include "ravelgrid/selection/SelectionService.h"
#include "ravelgrid/selection/tests/SelectionTestSupport.h"

namespace ravelgrid {
namespace {

using test::TerminalHarness;
using Mode = SelectionService::SelectionMode;

class SelectionTest : public ::testing::Test {
protected:
    explicit SelectionTest(int cols = 20, int rows = 5, int scrollback = 100)
        : h(cols, rows, scrollback), sel(SelectionService::create(*h.terminal))
    {}

    void doubleClick(int col, int row) { sel->selectWordOrExpression({col, row}, h.buffer()); }
    void expectRange(Position start, Position end)
    {
        EXPECT_EQ(sel->start(), start) << sel->debugDescription();
        EXPECT_EQ(sel->end(), end) << sel->debugDescription();
    }

    TerminalHarness h;
    std::shared_ptr<SelectionService> sel;
};

class NarrowSelectionTest : public SelectionTest {
protected:
    NarrowSelectionTest() : SelectionTest(10, 5, 100) {}
};

// --- double click -----------------------------------------------------------------------

TEST_F(SelectionTest, DoubleClickSelectsTokensRunsAndCollapsesOnPunctuation)
{
    h.feed("foo-bar.baz_1 x . y");
    doubleClick(5, 0);
    expectRange({0, 0}, {13, 0});
    EXPECT_TRUE(sel->hasSelectionRange());
    EXPECT_EQ(sel->selectionMode(), Mode::word);
    ASSERT_TRUE(sel->wordSelectionAnchor());
    EXPECT_EQ(sel->wordSelectionAnchor()->end, (Position{13, 0}));
    EXPECT_EQ(sel->getSelectedText(), "foo-bar.baz_1");

    // ".", "_" and "-" continue a word but never start one.
    doubleClick(16, 0);
    expectRange({16, 0}, {16, 0});
    EXPECT_FALSE(sel->hasSelectionRange());
    EXPECT_EQ(sel->selectionMode(), Mode::word);
    EXPECT_TRUE(sel->active());
    doubleClick(3, 0);
    expectRange({3, 0}, {3, 0});

    doubleClick(40, 0);  // clamped to the last column, an empty cell
    expectRange({19, 0}, {20, 0});
}

TEST_F(NarrowSelectionTest, DoubleClickAtAndPastTheLastColumnStaysInTheRow)
{
    h.feed("abcdefghij");
    doubleClick(10, 0);
    expectRange({0, 0}, {10, 0});
    EXPECT_EQ(sel->getSelectedText(), "abcdefghij");
    doubleClick(-4, -2);
    expectRange({0, 0}, {10, 0});
}

TEST_F(SelectionTest, DoubleClickOnEmptyCellsSelectsTheirRun)
{
    h.feed("ab   cd");
    doubleClick(3, 0);
    expectRange({2, 0}, {5, 0});
    doubleClick(12, 0);
    expectRange({7, 0}, {20, 0});
    doubleClick(4, 2);  // a row never written
    expectRange({0, 2}, {20, 2});
}

TEST_F(SelectionTest, WideCharactersAreSelectedWhole)
{
    h.feed("漢字 ab");
    ASSERT_EQ(h.code(1, 0), 0);
    doubleClick(0, 0);
    expectRange({0, 0}, {4, 0});
    doubleClick(3, 0);  // the right half of 字
    expectRange({0, 0}, {4, 0});
    EXPECT_EQ(sel->getSelectedText(), "漢字");
    doubleClick(6, 0);
    expectRange({5, 0}, {7, 0});
}

TEST_F(SelectionTest, BracketsMatchTheirOwnPartnerForwardAndBackward)
{
    h.feed("x(a(b)c)y (z");
    doubleClick(1, 0);
    expectRange({1, 0}, {8, 0});
    EXPECT_EQ(sel->getSelectedText(), "(a(b)c)");
    doubleClick(7, 0);
    expectRange({1, 0}, {8, 0});
    doubleClick(3, 0);
    expectRange({3, 0}, {6, 0});
    doubleClick(10, 0);  // unmatched
    expectRange({10, 0}, {10, 0});
    EXPECT_FALSE(sel->hasSelectionRange());
    EXPECT_EQ(sel->selectionMode(), Mode::word);

    // Mismatched closers are ignored while scanning.
    h.feed("\r\n[a)b]");
    doubleClick(0, 1);
    expectRange({0, 1}, {5, 1});
}

TEST_F(SelectionTest, BracketsMatchAcrossRows)
{
    h.feed("{\r\n  a\r\n}");
    doubleClick(0, 0);
    expectRange({0, 0}, {1, 2});
    EXPECT_EQ(sel->getSelectedText(), "{\n  a\n}");
    doubleClick(0, 2);
    expectRange({0, 0}, {1, 2});
}

TEST_F(NarrowSelectionTest, BackwardBracketScanReadsShorterRowsAsEmpty)
{
    // A buffer narrower than the terminal: columns 5..9 of its rows do not
    // exist and must not repeat the row's last cell.
    Buffer narrow(5, 3, 8, 0);
    narrow.fillViewportRows();
    auto put = [&](int row, std::string_view text) {
        for (int c = 0; c < static_cast<int>(text.size()); ++c) {
            CharData cell;
            cell.setValue(static_cast<unsigned char>(text[static_cast<size_t>(c)]), 1);
            narrow.lines()[row].set(c, cell);
        }
    };
    put(0, "(((x)");
    put(1, "y)");
    sel->selectWordOrExpression({1, 1}, narrow);
    expectRange({1, 0}, {2, 1});
}

// --- extending --------------------------------------------------------------------------

TEST_F(SelectionTest, ShiftClickBeyondTheStartTurnsTheSelectionAround)
{
    h.feed("abcdefghijklmnop");
    sel->startSelection(0, 5);
    sel->dragExtend(0, 10);
    expectRange({5, 0}, {10, 0});
    sel->shiftExtend(0, 2);
    expectRange({10, 0}, {2, 0});
    sel->shiftExtend(0, 12);  // now after the start of a backward selection
    expectRange({2, 0}, {12, 0});
    sel->shiftExtend(0, 7);  // inside: only the far end moves
    expectRange({2, 0}, {7, 0});
}

TEST_F(SelectionTest, WordDragSnapsToWordsAndNeverShrinksBelowTheAnchor)
{
    h.feed("alpha beta gamma");
    doubleClick(7, 0);
    expectRange({6, 0}, {10, 0});
    sel->dragExtend(0, 2);
    expectRange({0, 0}, {10, 0});
    sel->dragExtend(0, 8);
    expectRange({6, 0}, {10, 0});
    sel->dragExtend(0, 13);
    expectRange({6, 0}, {16, 0});
    EXPECT_EQ(sel->getSelectedText(), "beta gamma");

    // Without an anchor the far end snaps relative to the start.
    sel->startSelection(0, 0);
    sel->setSelectionMode(Mode::word);
    sel->dragExtend(0, 13);
    expectRange({0, 0}, {16, 0});
}

TEST_F(SelectionTest, PivotExtendSpansFromThePivot)
{
    h.feed("abcdefghij");
    sel->startSelection(0, 1);
    const int before = h.delegate.selectionChanges;
    sel->pivotExtend(0, 4);  // no pivot: nothing at all
    expectRange({1, 0}, {1, 0});
    EXPECT_EQ(h.delegate.selectionChanges, before);

    sel->setPivot(Position{5, 0});
    sel->pivotExtend(0, 2);
    expectRange({2, 0}, {5, 0});
    sel->pivotExtend(0, 8);
    expectRange({5, 0}, {8, 0});
    sel->pivotExtend(0, 5);
    expectRange({5, 0}, {5, 0});
    EXPECT_FALSE(sel->hasSelectionRange());

    sel->setActive(false);
    EXPECT_FALSE(sel->pivot());
}

TEST_F(SelectionTest, RowSelectionExtendsFromTheAnchorRow)
{
    sel->select(2);
    expectRange({0, 2}, {19, 2});
    EXPECT_TRUE(sel->selectingRows());
    EXPECT_EQ(sel->selectionMode(), Mode::row);
    EXPECT_EQ(sel->rowSelectionAnchor(), 2);
    sel->shiftExtend(0, 7);
    expectRange({0, 0}, {19, 2});
    sel->dragExtend(4, 3);
    expectRange({0, 2}, {19, 4});
    sel->setPivot(Position{3, 1});
    sel->pivotExtend(3, 0);
    expectRange({0, 1}, {19, 3});

    sel->startSelection(1, 1);
    EXPECT_FALSE(sel->selectingRows());
    EXPECT_EQ(sel->selectionMode(), Mode::character);
}

TEST_F(SelectionTest, ScreenRowsAreTakenRelativeToTheViewport)
{
    for (int i = 0; i < 8; ++i)
        h.feed("line\r\n");
    ASSERT_EQ(h.buffer().yDisp(), 4);
    sel->startSelection(1, 2);
    expectRange({2, 5}, {2, 5});
    sel->dragExtend(2, 0);
    expectRange({2, 5}, {0, 6});
}

// --- whole buffer and clamping ------------------------------------------------------------

TEST(SelectionSizes, SelectAllStopsAtWhatWasWritten)
{
    struct Case {
        const char* output;
        int endRow;
        std::string text;
    };
    // An empty screen, text ending at the cursor, a row written below the
    // cursor (cursor moved back up), and a full-width last row.
    const Case cases[] = {
        {"", 0, ""},
        {"ab\r\ncd", 1, "ab\ncd"},
        {"top\r\n\r\n\x1b[5;1Hlow\x1b[1;1H", 4, "top\n\n\n\nlow"},
        {"x\r\n0123456789", 1, "x\n0123456789"},
    };
    for (const Case& c : cases) {
        TerminalHarness h(10, 24, 500);
        auto sel = SelectionService::create(*h.terminal);
        h.feed(c.output);
        sel->selectAll();
        SCOPED_TRACE(c.output);
        EXPECT_EQ(sel->start(), (Position{0, 0}));
        EXPECT_EQ(sel->end().row, c.endRow);
        EXPECT_EQ(sel->getSelectedText(), c.text);
    }
}

TEST_F(NarrowSelectionTest, RowSelectionCopiesTheWholeRow)
{
    // Triple click on full-width rows: every cell, the last included.
    h.feed("0123456789abcdefghij\r\nshort");
    sel->select(0);
    EXPECT_EQ(sel->getSelectedText(), "0123456789");
    sel->dragExtend(1, 3);
    EXPECT_EQ(sel->getSelectedText(), "0123456789abcdefghij");
    sel->select(2);
    EXPECT_EQ(sel->getSelectedText(), "short");
    // A character selection keeps its exclusive end.
    sel->startSelection(0, 0);
    sel->dragExtend(0, 9);
    EXPECT_EQ(sel->getSelectedText(), "012345678");
}

TEST_F(SelectionTest, SetSelectionClampsToTheLastColumnAndLine)
{
    sel->setSelection({50, 1000}, {-3, 2});
    EXPECT_EQ(sel->start(), (Position{19, 4}));
    EXPECT_EQ(sel->end(), (Position{-3, 2}));  // never raised from below
    EXPECT_TRUE(sel->active());
}

// --- reading back ---------------------------------------------------------------------------

TEST_F(NarrowSelectionTest, SelectedTextJoinsWrappedRowsAndBreaksOthers)
{
    h.feed("abcdefghijklm\r\nxyz");
    ASSERT_TRUE(h.buffer().lines()[1].isWrapped());
    sel->setSelection({2, 0}, {2, 2});
    EXPECT_EQ(sel->getSelectedText(), "cdefghijklm\nxy");
    sel->setSelection({2, 2}, {2, 0});
    EXPECT_EQ(sel->getSelectedText(), "cdefghijklm\nxy");
}

TEST_F(SelectionTest, SelectedTextFillsGapsAndDropsTrailingBlanks)
{
    h.feed("a\x1b[3Cb");
    sel->setSelection({0, 0}, {19, 0});
    EXPECT_EQ(sel->getSelectedText(), "a   b");
    sel->setSelection({3, 0}, {3, 0});
    EXPECT_EQ(sel->getSelectedText(), "");
}

TEST_F(SelectionTest, SelectedTextOutsideTheRingIsEmpty)
{
    h.feed("abc");
    const int count = h.buffer().lines().count();
    sel->setStart({0, count});
    sel->setEnd({3, count + 1});
    EXPECT_EQ(sel->getSelectedText(), "");
    EXPECT_EQ(h.buffer().lines().count(), count);
    sel->setStart({0, -1});
    sel->setEnd({3, 0});
    EXPECT_EQ(sel->getSelectedText(), "");
    // A last row beyond the ring is cut at its last line.
    sel->setStart({0, 0});
    sel->setEnd({3, count + 40});
    EXPECT_EQ(sel->getSelectedText(), "abc" + std::string(static_cast<size_t>(count - 1), '\n'));
}

// --- following the lines -----------------------------------------------------------------

TEST_F(SelectionTest, RegionScrollMovesAContainedSelectionAndDropsOthers)
{
    h.feed("r0\r\nr1\r\nr2\r\nr3\r\nr4");
    h.feed("\x1b[2;4r");  // region: rows 1..3
    sel->setSelection({0, 2}, {2, 3});
    h.feed("\x1b[4;1H\n");
    EXPECT_TRUE(sel->active());
    expectRange({0, 1}, {2, 2});
    EXPECT_EQ(sel->getSelectedText(), "r2\nr3");

    const int before = h.delegate.selectionChanges;
    h.feed("\n");  // row 1 would leave the region
    EXPECT_FALSE(sel->active());
    EXPECT_GT(h.delegate.selectionChanges, before);
    expectRange({0, 1}, {2, 2});
    EXPECT_EQ(sel->selectionMode(), Mode::character);

    sel->setSelection({0, 0}, {2, 2});  // straddles the region's top
    h.feed("\n");
    EXPECT_FALSE(sel->active());
    expectRange({0, 0}, {2, 2});

    sel->setSelection({0, 4}, {2, 4});  // wholly below the region
    h.feed("\n");
    EXPECT_TRUE(sel->active());
    expectRange({0, 4}, {2, 4});

    // Reverse index moves the region's lines down.
    sel->setSelection({0, 1}, {1, 2});
    h.feed("\x1b[2;1H\x1bM");
    EXPECT_TRUE(sel->active());
    expectRange({0, 2}, {1, 3});
}

TEST(SelectionScroll, FullRingScrollFollowsTheTextUntilItLeaves)
{
    TerminalHarness h(10, 3, 2);  // five lines in the ring
    auto sel = SelectionService::create(*h.terminal);
    h.feed("l0\r\nl1\r\nl2\r\nl3\r\nl4");
    ASSERT_TRUE(h.buffer().lines().isFull());
    sel->setSelection({0, 2}, {2, 2});
    h.feed("\r\nl5");
    EXPECT_EQ(sel->start(), (Position{0, 1}));
    EXPECT_EQ(sel->getSelectedText(), "l2");
    h.feed("\r\nl6");
    EXPECT_TRUE(sel->active());
    EXPECT_EQ(sel->getSelectedText(), "l2");
    h.feed("\r\nl7");
    EXPECT_FALSE(sel->active());
}

TEST_F(SelectionTest, AdjustForScrollMovesPivotOnlyWithAnEndAndMovesAnchors)
{
    h.feed("\r\n\r\nalpha beta");
    doubleClick(7, 2);
    sel->setPivot(sel->start());
    sel->adjustForScroll(1, 4, 1);
    expectRange({6, 1}, {10, 1});
    EXPECT_EQ(sel->pivot(), (Position{6, 1}));
    EXPECT_EQ(sel->wordSelectionAnchor()->start, (Position{6, 1}));

    sel->setPivot(Position{3, 3});  // not an end: stays
    sel->adjustForScroll(0, 4, -2);
    expectRange({6, 3}, {10, 3});
    EXPECT_EQ(sel->pivot(), (Position{3, 3}));
    EXPECT_EQ(sel->wordSelectionAnchor()->end, (Position{10, 3}));

    const int before = h.delegate.selectionChanges;
    sel->adjustForScroll(0, 4, 0);
    EXPECT_EQ(h.delegate.selectionChanges, before);
    expectRange({6, 3}, {10, 3});

    sel->select(3);
    sel->adjustForScroll(2, 4, 1);
    EXPECT_EQ(sel->rowSelectionAnchor(), 2);

    // The selection fits but its anchor would leave the region: dropped.
    doubleClick(7, 2);
    sel->setStart({6, 3});
    sel->setEnd({10, 3});
    sel->adjustForScroll(2, 4, 1);
    EXPECT_FALSE(sel->active());
    EXPECT_FALSE(sel->wordSelectionAnchor());
    expectRange({6, 3}, {10, 3});

    // An inactive selection stays where it is.
    sel->adjustForScroll(0, 4, 1);
    expectRange({6, 3}, {10, 3});
}

// --- state, notifications and text form ---------------------------------------------------

TEST_F(SelectionTest, NotifiesVisibleChangesOnly)
{
    int n = h.delegate.selectionChanges;
    sel->startSelection(0, 0);
    EXPECT_EQ(h.delegate.selectionChanges, n + 1);
    n = h.delegate.selectionChanges;
    sel->setStart({4, 0});
    sel->setEnd({1, 0});
    sel->selectRowRange(0, 1);
    EXPECT_EQ(h.delegate.selectionChanges, n);
    EXPECT_TRUE(sel->hasSelectionRange());

    doubleClick(0, 0);
    sel->setPivot(Position{1, 0});
    n = h.delegate.selectionChanges;
    sel->selectNone();
    EXPECT_EQ(h.delegate.selectionChanges, n + 1);
    EXPECT_FALSE(sel->active());
    EXPECT_FALSE(sel->pivot());
    EXPECT_FALSE(sel->wordSelectionAnchor());
    EXPECT_EQ(sel->selectionMode(), Mode::character);
    sel->selectNone();
    EXPECT_EQ(h.delegate.selectionChanges, n + 1);
}

TEST_F(SelectionTest, DebugDescription)
{
    sel->setSelection({1, 0}, {3, 0});
    EXPECT_EQ(sel->debugDescription(),
              "[Selection (active=true, start=col=1 row=0 end=col=3 row=0 hasSR=true pivot=nil]");
    sel->setPivot(Position{2, 5});
    sel->startSelection();
    EXPECT_EQ(sel->debugDescription(),
              "[Selection (active=true, start=col=1 row=0 end=col=1 row=0 hasSR=false pivot=col=2 row=5]");
}

}  // namespace
}  // namespace ravelgrid
