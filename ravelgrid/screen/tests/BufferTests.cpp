#include <gtest/gtest.h>

#include "ravelgrid/screen/Buffer.h"

using namespace ravelgrid;

namespace {

std::unique_ptr<Buffer> makeBuffer(int cols, int rows, std::optional<int> scrollback = 100)
{
    auto b = std::make_unique<Buffer>(cols, rows, 8, scrollback);
    b->fillViewportRows();
    return b;
}

// Pushes n blank rows at the bottom and follows them, as the scroll core does.
void scrollUp(Buffer& b, int n)
{
    for (int i = 0; i < n; ++i) {
        if (b.lines().isFull()) {
            b.lines().recycle(Attribute{});
        } else {
            b.lines().push(b.getBlankLine(Attribute{}));
            b.setYBase(b.yBase() + 1);
            b.setYDisp(b.yDisp() + 1);
        }
    }
}

std::vector<int> stops(const Buffer& b)
{
    std::vector<int> out;
    for (size_t i = 0; i < b.tabStops.size(); ++i)
        if (b.tabStops[i])
            out.push_back(static_cast<int>(i));
    return out;
}

}  // namespace

TEST(Buffer, ConstructionClampsSizesAndSetsDefaults)
{
    Buffer b(0, 0, 8, -5);
    EXPECT_EQ(b.cols(), 2);
    EXPECT_EQ(b.rows(), 1);
    EXPECT_EQ(b.scrollback(), 0);
    EXPECT_TRUE(b.hasScrollback());
    EXPECT_EQ(b.lines().count(), 0);  // the owner fills the rows
    EXPECT_EQ(b.curAttr.bg, Attribute::Color::defaultInvertedColor());
    EXPECT_EQ(b.scrollBottom(), 0);
    EXPECT_EQ(b.marginRight(), 1);

    Buffer alt(80, 24, 8, std::nullopt);
    EXPECT_FALSE(alt.hasScrollback());
    EXPECT_EQ(alt.lines().maxLength(), 24);
    Buffer huge(80, 24, 8, INT_MAX);
    EXPECT_EQ(huge.lines().maxLength(), INT_MAX);  // capped, and nothing allocated up front
}

TEST(Buffer, GuardedSettersIgnoreNegativeValues)
{
    auto b = makeBuffer(80, 24);
    b->setX(5);
    b->setX(-1);
    b->setY(-3);
    b->setYDisp(-1);
    b->setScrollTop(-1);
    b->setScrollBottom(-1);
    EXPECT_EQ(b->x(), 5);
    EXPECT_EQ(b->y(), 0);
    EXPECT_EQ(b->yDisp(), 0);
    EXPECT_EQ(b->scrollTop(), 0);
    EXPECT_EQ(b->scrollBottom(), 23);
}

TEST(Buffer, FillViewportRowsOnlyOnAnEmptyRing)
{
    auto b = makeBuffer(10, 4);
    EXPECT_EQ(b->lines().count(), 4);
    b->fillViewportRows();
    EXPECT_EQ(b->lines().count(), 4);
    EXPECT_EQ(b->screenLine(3).dataSize(), 10);
    EXPECT_EQ(b->screenLine(0).owningBuffer(), b.get());
}

TEST(Buffer, LinesDoNotReachBackIntoADestroyedBuffer)
{
    BufferLinePtr survivor;
    {
        auto b = makeBuffer(10, 2);
        survivor = b->lines().get(0);
    }
    EXPECT_EQ(survivor->owningBuffer(), nullptr);
    survivor->setSemanticMark(SemanticPromptKind::initial, 1, 1);
    BufferLine other(10);
    other.copyCellsFrom(*survivor, 0, 0, 10);
    EXPECT_EQ(other.semanticMarks().size(), 1u);
}

TEST(Buffer, ALineMovedToAnotherBufferFollowsIt)
{
    BufferLinePtr moved;
    auto first = makeBuffer(10, 2);
    {
        auto second = makeBuffer(10, 2);
        moved = first->lines().get(0);
        second->lines().set(1, moved);
        EXPECT_EQ(moved->owningBuffer(), second.get());
        EXPECT_EQ(first->lines().get(1)->owningBuffer(), first.get());
        // A copy belongs to no buffer until a ring takes it.
        EXPECT_EQ(BufferLine(*moved).owningBuffer(), nullptr);
    }
    EXPECT_EQ(moved->owningBuffer(), nullptr);
    EXPECT_EQ(first->lines().get(1)->owningBuffer(), first.get());
    first->lines().set(0, moved);
    EXPECT_EQ(moved->owningBuffer(), first.get());
}

TEST(Buffer, GetCharOutsideTheRowIsTheNullCell)
{
    auto b = makeBuffer(10, 3);
    CharData c;
    c.code = 'q';
    b->screenLine(1).set(9, c);
    EXPECT_EQ(b->getCharAtBufferRelative({9, 1}).code, 'q');
    EXPECT_EQ(b->getCharAtBufferRelative({10, 1}), CharData::Null);
    EXPECT_EQ(b->getCharAtBufferRelative({-1, 1}), CharData::Null);
    EXPECT_EQ(b->getCharAtBufferRelative({0, 99}), CharData::Null);
    scrollUp(*b, 2);
    EXPECT_EQ(b->getChar({9, -1}).code, 'q');  // viewport row -1 is ring row yDisp - 1
}

TEST(Buffer, TabStops)
{
    auto b = makeBuffer(80, 24);
    EXPECT_EQ(stops(*b), (std::vector<int>{0, 8, 16, 24, 32, 40, 48, 56, 64, 72}));
    EXPECT_EQ(b->nextTabStop(false, 75), 79);
    EXPECT_EQ(b->nextTabStop(false, 79), 79);
    EXPECT_EQ(b->nextTabStop(false, 100), 79);
    EXPECT_EQ(b->nextTabStop(false, 8), 16);
    EXPECT_EQ(b->previousTabStop(5), 0);
    EXPECT_EQ(b->previousTabStop(16), 8);
    EXPECT_EQ(b->previousTabStop(500), 72);

    b->setX(3);
    b->setTabStop();
    EXPECT_EQ(b->nextTabStop(false, 0), 3);
    b->clearTabStop(3);
    b->setTabStop(80);  // beyond the array: ignored
    b->clearTabStop(-7);
    EXPECT_EQ(b->nextTabStop(false, 0), 8);
}

TEST(Buffer, NextTabStopWithinMargins)
{
    auto b = makeBuffer(80, 24);
    b->setMarginRight(20);
    EXPECT_EQ(b->nextTabStop(true, 17), 20);
    EXPECT_EQ(b->nextTabStop(true, 30), 20);
    EXPECT_EQ(b->nextTabStop(false, 17), 24);
}

TEST(Buffer, ResetTabStopsContinuesThePatternIntoNewColumns)
{
    auto b = makeBuffer(80, 24);
    b->clearTabStop(40);
    b->setTabStop(42);
    b->resize(100, 24);
    b->resetTabStops(80, 8);
    EXPECT_EQ(stops(*b), (std::vector<int>{0, 8, 16, 24, 32, 42, 48, 56, 64, 72, 80, 88, 96}));

    auto odd = makeBuffer(80, 24);
    odd->tabStops.assign(80, false);
    odd->setTabStop(77);
    odd->resize(100, 24);
    odd->resetTabStops(80, 8);
    EXPECT_EQ(stops(*odd), (std::vector<int>{77, 85, 93}));

    auto none = makeBuffer(80, 24);
    none->tabStops.assign(80, false);
    none->resize(90, 24);
    none->resetTabStops(80, 8);
    EXPECT_EQ(stops(*none), (std::vector<int>{0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88}));
}

TEST(Buffer, SoftResetAndClear)
{
    auto b = makeBuffer(20, 5);
    b->savedX = 4;
    b->savedY = 3;
    b->savedAttr.style = CharacterStyle::bold;
    b->savedCharset = CharSets::map('0');
    b->savedOriginMode = true;
    b->setMarginLeft(2);
    b->setMarginRight(9);
    b->softReset();
    EXPECT_EQ(b->savedX, 0);
    EXPECT_EQ(b->savedY, 0);
    EXPECT_EQ(b->savedAttr, Attribute{});
    EXPECT_EQ(b->savedCharset, nullptr);
    EXPECT_FALSE(b->savedOriginMode);
    EXPECT_EQ(b->marginLeft(), 0);
    EXPECT_EQ(b->marginRight(), 19);

    scrollUp(*b, 3);
    b->setX(4);
    b->setScrollTop(1);
    b->tabStops[3] = true;
    b->beginSemanticGroup(b->yBase());
    b->clear();
    EXPECT_EQ(b->lines().count(), 0);
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(b->x(), 0);
    EXPECT_EQ(b->scrollTop(), 0);
    EXPECT_EQ(b->activeSemanticGroupID, 0u);
    EXPECT_FALSE(b->semanticPromptStartLine);
    EXPECT_TRUE(b->tabStops[3]);  // tab stops stay
    b->fillViewportRows();
    EXPECT_EQ(b->lines().count(), 5);
    EXPECT_EQ(b->screenLine(0).owningBuffer(), b.get());
}

TEST(Buffer, ClearScrollbackKeepsTheSavedScreenRow)
{
    auto b = makeBuffer(10, 24, 100);
    scrollUp(*b, 30);
    b->savedY = 10;
    EXPECT_EQ(b->yBase(), 30);
    const BufferLine* top = b->lines().get(30).get();
    b->clearScrollback();
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(b->yDisp(), 0);
    EXPECT_EQ(b->savedY, 10);  // a screen row: the screen did not move
    EXPECT_EQ(b->lines().count(), 24);
    EXPECT_EQ(b->lines().get(0).get(), top);
}

TEST(Buffer, ChangeHistorySizeDropsTheOldestRows)
{
    auto b = makeBuffer(10, 24, 1000);
    scrollUp(*b, 1000);
    b->savedY = 5;
    const BufferLine* last = b->lines().get(b->lines().count() - 1).get();
    b->changeHistorySize(std::nullopt);
    EXPECT_FALSE(b->hasScrollback());
    EXPECT_EQ(b->lines().maxLength(), 24);
    EXPECT_EQ(b->lines().count(), 24);
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(b->savedY, 5);
    EXPECT_EQ(b->lines().get(23).get(), last);

    b->changeHistorySize(50);
    EXPECT_EQ(b->lines().maxLength(), 74);
    scrollUp(*b, 60);
    EXPECT_EQ(b->lines().count(), 74);
    EXPECT_EQ(b->yBase(), 50);
}

TEST(Buffer, ImageCountFollowsRowsLeavingTheRing)
{
    auto b = makeBuffer(10, 3, 2);  // ring of 5
    auto image = [] { return TerminalImageList{std::make_shared<TerminalImage>()}; };
    b->setLineImages(0, image());
    b->setLineImages(1, image());
    EXPECT_EQ(b->linesWithImagesCount(), 2);
    b->setLineImages(1, image());  // replacing keeps the count
    EXPECT_EQ(b->linesWithImagesCount(), 2);
    scrollUp(*b, 2);  // fills the ring
    scrollUp(*b, 1);  // recycles row 0
    EXPECT_EQ(b->linesWithImagesCount(), 1);
    auto withImage = b->getBlankLine(Attribute{});
    withImage->setImages(image());
    b->lines().push(withImage);  // pushes row with images, drops the old row 1 with images
    EXPECT_EQ(b->linesWithImagesCount(), 1);
    EXPECT_TRUE(b->hasAnyImages());
    b->setYBase(2);
    b->clearScrollback();
    EXPECT_EQ(b->linesWithImagesCount(), 1);
    b->clearLineImages(b->lines().count() - 1);
    EXPECT_EQ(b->linesWithImagesCount(), 0);
    EXPECT_FALSE(b->hasAnyImages());
    b->clearLineImages(0);
    EXPECT_EQ(b->linesWithImagesCount(), 0);
}

TEST(Buffer, FindRowOfLineSearchesOutwardByIdentity)
{
    auto b = makeBuffer(10, 10);
    const BufferLine* target = b->lines().get(2).get();
    EXPECT_EQ(b->findRowOfLine(9, target), 2);
    EXPECT_EQ(b->findRowOfLine(-4, target), 2);
    EXPECT_EQ(b->rowOfLine(target, 100), 2);
    BufferLine stranger(10);
    EXPECT_FALSE(b->findRowOfLine(5, &stranger));
}

TEST(Buffer, SemanticGroupCounterSkipsZero)
{
    auto b = makeBuffer(10, 3);
    b->semanticGroupCounter = UINT64_MAX;
    b->beginSemanticGroup(1);
    EXPECT_EQ(b->semanticGroupCounter, 1u);
    EXPECT_EQ(b->activeSemanticGroupID, 1u);
    b->beginSemanticGroup(3);  // outside the ring: ignored
    EXPECT_EQ(b->activeSemanticGroupID, 1u);
}

TEST(Buffer, PromptStartRowFollowsItsLineThroughScrolling)
{
    auto b = makeBuffer(10, 5, 20);  // ring of 25
    scrollUp(*b, 20);                // full
    const int row = b->yBase() + 2;
    b->beginSemanticGroup(row);
    b->addSemanticMark(SemanticPromptKind::initial, row, 30);  // column clamped
    EXPECT_EQ(b->semanticPromptStartRow(), row);
    EXPECT_EQ(b->semanticInputStart(), (Position{9, row}));
    const int scans = b->semanticPromptRowScanCount;
    EXPECT_EQ(b->semanticPromptStartRow(), row);
    EXPECT_EQ(b->semanticPromptRowScanCount, scans);  // cache hit

    scrollUp(*b, 1);
    EXPECT_EQ(b->semanticPromptStartRow(), row - 1);
    EXPECT_EQ(b->semanticPromptRowScanCount, scans + 1);
    EXPECT_EQ(b->semanticPromptStartRowCache, row - 1);

    // Once the line is recycled its marks are gone: no prompt is left.
    scrollUp(*b, 25);
    EXPECT_FALSE(b->semanticPromptStartRow());
    EXPECT_FALSE(b->semanticPromptStartLine);
}

TEST(Buffer, PromptStartFoundNearTheCursorWhenItsLineWasReplaced)
{
    auto b = makeBuffer(10, 5);
    b->beginSemanticGroup(1);
    b->addSemanticMark(SemanticPromptKind::initial, 1, 0);
    b->semanticPromptStartLine = b->getBlankLine(Attribute{});  // not in the ring
    b->addSemanticMark(SemanticPromptKind::secondary, 3, 2);
    b->setY(4);
    EXPECT_EQ(b->semanticPromptStartRow(), 3);  // the nearest above the cursor
    EXPECT_EQ(b->semanticPromptStartLine.get(), b->lines().get(3).get());
}

TEST(Buffer, PromptQueryAndInputRange)
{
    auto b = makeBuffer(20, 6);
    b->beginSemanticGroup(1);
    b->addSemanticMark(SemanticPromptKind::initial, 1, 0);
    b->addSemanticMark(SemanticPromptKind::secondary, 2, 4);
    b->addSemanticMark(SemanticPromptKind::secondary, 3, 2);
    EXPECT_FALSE(b->semanticPromptQuery(1));  // idle
    b->semanticInput = SemanticInputState::prompt;
    EXPECT_TRUE(b->semanticPromptQuery(1));
    EXPECT_FALSE(b->semanticPromptQuery(2));
    b->semanticInput = SemanticInputState::armed;
    EXPECT_TRUE(b->semanticPromptQuery(1));

    EXPECT_EQ(b->semanticInputRange(10, 1), (Position{0, 1}));
    EXPECT_EQ(b->semanticInputRange(3, 2), (Position{0, 1}));  // before the secondary mark
    EXPECT_EQ(b->semanticInputRange(4, 2), (Position{4, 2}));
    EXPECT_EQ(b->semanticInputRange(0, 3), (Position{4, 2}));
    EXPECT_EQ(b->semanticInputRange(5, 4), (Position{2, 3}));
    EXPECT_FALSE(b->semanticInputRange(5, 0));  // above the prompt

    const auto anchors = b->semanticMarksOfRow(2);
    ASSERT_EQ(anchors.size(), 1u);
    EXPECT_EQ(anchors[0].position, (Position{4, 2}));
    EXPECT_TRUE(b->semanticMarksOfRow(-1).empty());
}

TEST(Buffer, PromptSpans)
{
    auto b = makeBuffer(20, 8);
    b->beginSemanticGroup(1);
    const uint64_t group = b->activeSemanticGroupID;
    b->addSemanticMark(SemanticPromptKind::initial, 1, 0);
    b->lines()[2].setWrapped(true);                         // soft-wrapped prompt text
    b->lines()[3].setSemanticHardContinuationGroup(group);  // hard continuation of the prompt
    b->addSemanticMark(SemanticPromptKind::continuation, 4, 0);
    b->lines()[5].setSemanticHardContinuationGroup(group + 7);  // belongs to another group

    EXPECT_EQ(b->semanticPromptSpan(1), SemanticPromptKind::initial);
    EXPECT_EQ(b->semanticPromptSpan(2), SemanticPromptKind::continuation);
    EXPECT_EQ(b->semanticPromptSpan(3), SemanticPromptKind::continuation);
    EXPECT_EQ(b->semanticPromptSpan(4), SemanticPromptKind::continuation);
    EXPECT_FALSE(b->semanticPromptSpan(0));
    EXPECT_FALSE(b->semanticPromptSpan(6));  // neither wrapped nor hard-continued
    EXPECT_FALSE(b->semanticPromptSpan(99));

    EXPECT_TRUE(b->isInActiveSemanticGroup(3));
    EXPECT_TRUE(b->isInActiveSemanticGroup(4));
    EXPECT_FALSE(b->isInActiveSemanticGroup(5));
    EXPECT_FALSE(b->isInActiveSemanticGroup(2));
}

TEST(Buffer, PromptSpanStopsAtAHardContinuationOfAnotherGroup)
{
    auto b = makeBuffer(20, 8);
    b->beginSemanticGroup(0);
    const uint64_t group = b->activeSemanticGroupID;
    b->addSemanticMark(SemanticPromptKind::initial, 0, 0);
    b->lines()[1].setSemanticHardContinuationGroup(group);
    b->lines()[2].setSemanticHardContinuationGroup(group + 1);
    EXPECT_EQ(b->semanticPromptSpan(1), SemanticPromptKind::continuation);
    EXPECT_FALSE(b->semanticPromptSpan(2));
}

TEST(Buffer, ResizeKeepsInvariants)
{
    auto b = makeBuffer(10, 5, 10);
    scrollUp(*b, 3);
    b->setX(9);
    b->setY(4);
    b->setMarginRight(9);
    b->resize(4, 2);
    EXPECT_EQ(b->cols(), 4);
    EXPECT_EQ(b->rows(), 2);
    EXPECT_EQ(b->x(), 3);
    EXPECT_LE(b->y(), 1);
    EXPECT_EQ(b->marginRight(), 3);
    EXPECT_EQ(b->scrollBottom(), 1);
    EXPECT_EQ(b->tabStops.size(), 4u);
    b->resize(30, 12);
    for (int i = 0; i < b->lines().count(); ++i)
        EXPECT_GE(b->lines()[i].dataSize(), 30);
    EXPECT_GE(b->lines().count(), b->yBase() + 12);
    b->resize(-3, -3);
    EXPECT_EQ(b->cols(), 2);
    EXPECT_EQ(b->rows(), 1);
}
