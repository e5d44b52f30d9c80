#include "KittyScreenSupport.h"

namespace ravelgrid {
namespace {

using namespace kittytest;

class KittyPlacement : public KittyScreen {};

TEST_F(KittyPlacement, VirtualPlacementsAreRecordsOnly)
{
    store(3);
    cursorTo(3, 2);
    command("a=p,i=3,U=1");
    EXPECT_EQ(reply(), "\x1b_Gi=3;OK\x1b\\");
    ASSERT_TRUE(state().placementsByKey.contains({3, 1}));
    const KittyPlacementRecord& record = state().placementsByKey.at({3, 1});
    EXPECT_TRUE(record.isVirtual);
    EXPECT_EQ(record.col, 3);
    EXPECT_EQ(record.row, 2);
    EXPECT_TRUE(cells().empty());
    EXPECT_EQ(cursor(), (std::pair{3, 2}));

    command("a=p,i=3,U=1,P=1,Q=1");
    EXPECT_EQ(reply(), "\x1b_Gi=3;EINVAL: virtual placement cannot refer to parent\x1b\\");

    delegate.cellSize = std::pair{10, 20};
    command("a=p,i=3,U=1,p=9,c=4,r=-2,X=100,Y=5");
    const KittyPlacementRecord& sized = state().placementsByKey.at({3, 9});
    EXPECT_EQ(sized.cols, 4);
    EXPECT_EQ(sized.rows, 0);
    EXPECT_EQ(sized.pixelOffsetX, 9);
    EXPECT_EQ(sized.pixelOffsetY, 5);
    // Generated ids go on from the counter.
    command("a=p,i=3,U=1");
    EXPECT_TRUE(state().placementsByKey.contains({3, 2}));
}

TEST_F(KittyPlacement, SameKeyReplacesThePlacement)
{
    store(3);
    command("a=p,i=3,p=5,c=2,r=2");
    cursorTo(0, 3);
    command("a=p,i=3,p=5,c=2,r=2");
    const auto placed = cells();
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_EQ(placed[0].line, 3);
    EXPECT_EQ(placed[1].line, 4);
    EXPECT_EQ(state().placementsByKey.size(), 1u);
    // Without a placement id every put is a placement of its own.
    command("a=p,i=3,c=1,r=1");
    command("a=p,i=3,c=1,r=1");
    EXPECT_EQ(cells().size(), 4u);
}

TEST_F(KittyPlacement, Cropping)
{
    store(1, 16, 2);
    command("a=p,i=1,x=10,w=0,c=1,r=1");
    ASSERT_EQ(cells().size(), 1u);
    const KittyGraphicsPayload& picture = cells()[0].cell->picture;
    EXPECT_EQ(picture.width(), 6);
    EXPECT_EQ(picture.height(), 2);
    EXPECT_EQ(picture.bytes()[0], 10);
    EXPECT_EQ(picture.bytes()[6 * 4], 26) << "second row starts at source pixel 26";
    reply();

    command("a=p,i=1,x=4,y=1,w=3,h=9,c=1,r=1");
    EXPECT_EQ(cells().back().cell->picture.width(), 3);
    EXPECT_EQ(cells().back().cell->picture.bytes()[0], 20);
    reply();

    command("a=p,i=1,x=20,c=1,r=1");
    EXPECT_EQ(reply(), "\x1b_Gi=1;EINVAL: bad crop\x1b\\");
    command("a=p,i=1,y=2,c=1,r=1");
    EXPECT_EQ(reply(), "\x1b_Gi=1;EINVAL: bad crop\x1b\\");

    // No crop, or one covering everything, shares the stored bytes.
    command("a=p,i=1,x=-5,w=16,h=2,c=1,r=1");
    EXPECT_EQ(cells().back().cell->picture.sharedBytes(), state().imagesById.at(1).payload.sharedBytes());
    reply();

    // A PNG is decoded for a crop and keeps straight alpha.
    const auto png = encodePng({2, 1, PNG_COLOR_TYPE_RGBA, false}, {1, 2, 3, 4, 200, 100, 50, 128});
    command("a=T,f=100,i=2,x=1,c=1,r=1", base64(std::span<const uint8_t>(png)));
    EXPECT_EQ(reply(), "\x1b_Gi=2;OK\x1b\\");
    const KittyGraphicsPayload& cropped = cells().back().cell->picture;
    EXPECT_FALSE(cropped.isPng());
    EXPECT_EQ(std::vector<uint8_t>(cropped.bytes().begin(), cropped.bytes().end()),
              (std::vector<uint8_t>{200, 100, 50, 128}));
}

TEST_F(KittyPlacement, CursorPolicy)
{
    store(1, 25, 30);
    cursorTo(1, 1);
    command("a=p,i=1,c=4,r=2,C=1");
    EXPECT_EQ(cursor(), (std::pair{1, 1}));
    command("a=p,i=1,c=4,r=2");
    EXPECT_EQ(cursor(), (std::pair{5, 3}));
    const auto placed = cells();
    ASSERT_EQ(placed.size(), 4u);
    EXPECT_EQ(placed[3].line, 2);
    EXPECT_EQ(placed[3].cell->kittyRowOffset, 1);
    EXPECT_EQ(placed[3].cell->kittyCol, 1);
    EXPECT_EQ(placed[3].cell->kittyCols, 4);

    // The column may stand just past the last one, no further.
    cursorTo(8, 0);
    command("a=p,i=1,c=4,r=1");
    EXPECT_EQ(cursor(), (std::pair{10, 1}));

    // The size in cells comes from the cell size and the image's pixels.
    delegate.cellSize = std::pair{10, 20};
    cursorTo(0, 0);
    command("a=p,i=1,X=9");
    EXPECT_EQ(cursor(), (std::pair{4, 2}));
    EXPECT_EQ(cells().back().cell->kittyRows, 2);
    // With only the columns given the height follows the aspect ratio: 40 by 48 pixels.
    cursorTo(0, 0);
    command("a=p,i=1,c=4");
    EXPECT_EQ(cursor(), (std::pair{4, 3}));

    // Without a cell size nothing tells how far to move.
    delegate.cellSize.reset();
    cursorTo(2, 2);
    command("a=p,i=1");
    EXPECT_EQ(cursor(), (std::pair{2, 2}));
}

TEST_F(KittyPlacement, AtTheBottomTheScreenScrolls)
{
    store(1);
    terminal.feed("top");
    cursorTo(3, 4);
    command("a=p,i=1,p=1,c=2,r=3");
    EXPECT_EQ(cursor(), (std::pair{5, 4}));
    EXPECT_EQ(terminal.buffer->yBase(), 3);
    // All three rows of the image are on lines, below the place it started.
    const auto placed = cells();
    ASSERT_EQ(placed.size(), 3u);
    EXPECT_EQ(placed[0].line, 4);
    EXPECT_EQ(placed[2].line, 6);
    EXPECT_EQ(placed[2].cell->kittyRowOffset, 2);
    EXPECT_EQ(state().placementsByKey.at({1, 1}).row, 4);
}

TEST_F(KittyPlacement, HugeCountsAreBounded)
{
    store(1);
    // Unbounded, the counts would be walked cell by cell for ever.
    command("a=p,i=1,c=9223372036854775807,r=9223372036854775807,X=9223372036854775807,H=-9223372036854775807");
    EXPECT_EQ(reply(), "\x1b_Gi=1;OK\x1b\\");
    EXPECT_EQ(cursor(), (std::pair{10, 4}));
    for (const auto& placed : cells())
        EXPECT_EQ(placed.cell->kittyRows, kKittyMaxCells);
}

TEST_F(KittyPlacement, ParentsPlaceRelativeToTheirParent)
{
    store(1);
    store(2);
    cursorTo(2, 1);
    command("a=p,q=1,i=1,p=1,c=2,r=1");
    cursorTo(0, 0);
    command("a=p,i=2,p=1,P=1,Q=1,H=3,V=2,c=1,r=1");
    EXPECT_EQ(reply(), "\x1b_Gi=2,p=1;OK\x1b\\");
    EXPECT_EQ(cursor(), (std::pair{0, 0}));
    const auto placed = cells();
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_EQ(placed[1].line, 3);
    EXPECT_EQ(placed[1].cell->kittyCol, 5);

    command("a=p,i=2,p=2,P=1,Q=7");
    EXPECT_EQ(reply(), "\x1b_Gi=2;ENOPARENT: parent placement not found\x1b\\");
    // Below the screen is out of range, not "past the ring".
    command("a=p,i=2,p=2,P=1,Q=1,V=4");
    EXPECT_EQ(reply(), "\x1b_Gi=2;EINVAL: placement out of range\x1b\\");
    // A column past the edge is clamped.
    command("a=p,q=1,i=2,p=2,P=1,Q=1,H=100,c=1,r=1");
    ASSERT_EQ(cells().size(), 3u);
    EXPECT_EQ(cells()[1].line, 1);
    EXPECT_EQ(cells()[1].cell->kittyCol, 9);

    terminal.feed("\x1b[?1049h");
    command("a=p,i=2,p=3,P=1,Q=1");
    EXPECT_EQ(reply(), "\x1b_Gi=2;ENOPARENT: parent placement not in current buffer\x1b\\");
    terminal.feed("\x1b[?1049l");

    // A parent scrolled into the scrollback cannot take the cursor; the
    // clamped child stays where it was put.
    terminal.feed("\x1b[5;1H\n\n\n");
    EXPECT_EQ(cells()[1].cell->kittyCol, 9);
    command("a=p,i=2,p=4,P=1,Q=1");
    EXPECT_EQ(reply(), "\x1b_Gi=2;EINVAL: placement out of range\x1b\\");
    EXPECT_FALSE(state().placementsByKey.contains({2, 4}));
}

TEST_F(KittyPlacement, ParentCyclesResolveToNothing)
{
    store(1);
    store(2);
    store(3);
    command("a=p,i=1,p=1,C=1");
    command("a=p,i=2,p=1,P=1,Q=1,H=1");
    command("a=p,i=1,p=1,P=2,Q=1,V=1");
    EXPECT_EQ(reply(), "\x1b_Gi=1,p=1;OK\x1b\\"
                       "\x1b_Gi=2,p=1;OK\x1b\\"
                       "\x1b_Gi=1,p=1;OK\x1b\\");
    command("a=p,i=3,p=1,P=1,Q=1");
    EXPECT_EQ(reply(), "\x1b_Gi=3;ENOPARENT: parent placement not found\x1b\\");
    // A scroll with the cycle in place neither hangs nor moves anything.
    terminal.feed("\x1b[5;1H\n");
    TerminalKittyGraphics::PositionMap memo;
    EXPECT_FALSE(kitty.kittyResolvePlacementPosition({2, 1}, {}, memo));
}

TEST_F(KittyPlacement, RecordsFollowTheirCellsOnceTheRingIsFull)
{
    store(1);
    terminal.feed(std::string(30, '\n'));
    ASSERT_TRUE(terminal.buffer->lines().isFull());
    cursorTo(0, 2);
    command("a=p,i=1,p=1,c=1,r=2,C=1");
    const int placedAt = state().placementsByKey.at({1, 1}).row;
    terminal.feed("\x1b[5;1H\n\n");
    EXPECT_EQ(state().placementsByKey.at({1, 1}).row, placedAt - 2);
    EXPECT_EQ(cells()[0].line, placedAt - 2);

    // A child follows its parent, and is moved when the two disagree.
    store(2);
    cursorTo(0, 0);
    command("a=p,i=2,p=1,P=1,Q=1,H=4,c=1,r=1");
    EXPECT_EQ(cellOf(2).line, placedAt - 2);
    state().placementsByKey.at({2, 1}).parentOffsetH = 6;
    terminal.feed("\x1b[5;1H\n");
    const auto moved = cellOf(2);
    EXPECT_EQ(moved.cell->kittyCol, 6);
    EXPECT_EQ(moved.line, placedAt - 3);
    EXPECT_EQ(state().placementsByKey.at({2, 1}).col, 6);
}

// Piles of placements, on one cell (the cursor stays) or each scrolling the
// screen (it moves on), cost a few rows and cells each and keep every record
// on its cell. A search of the buffers for each new key's old cells, a
// search of the pile from its front, or a walk of every record for each
// scroll visited about a billion (bench/hostile_stream_bench's
// BM_KittyOneCellPlacements times them).
TEST_F(KittyPlacement, ManyOneCellPlacementsCostAFewVisitsEach)
{
    store(1);
    for (const bool cursorStays : {true, false}) {
        SCOPED_TRACE(cursorStays ? "cursor stays" : "cursor moves");
        // 60,000 records in all, within the store's cap.
        const int first = cursorStays ? 1 : 100'001;
        const int count = cursorStays ? 40'000 : 20'000;
        std::string stream;
        for (int i = first; i < first + count; ++i) {
            stream += "\x1b_Ga=p,i=1,p=";
            stream += std::to_string(i);
            stream += cursorStays ? ",c=1,r=1,C=1,q=2\x1b\\" : ",c=1,r=1,q=2\x1b\\";
        }
        const uint64_t rows = kitty.rowsSearched();
        const uint64_t visited = kitty.placementsVisited();
        terminal.feed(stream);
        EXPECT_LE(kitty.rowsSearched() - rows, uint64_t(4 * count));
        EXPECT_LE(kitty.placementsVisited() - visited, uint64_t(4 * count));
    }
    // Records still follow their cells: the last one sits on the row the
    // cursor left, the first ones on the cell where the cursor stayed.
    const KittyPlacementRecord& last = state().placementsByKey.at({1, 120'000});
    const Placed lastCell = cells().back();
    EXPECT_EQ(lastCell.cell->kittyPlacementId, 120'000u);
    EXPECT_EQ(last.row, lastCell.line);
    EXPECT_EQ(last.row, terminal.buffer->yBase() + terminal.buffer->y() - 1);
    // Replacing one of the pile keeps one placement for its key.
    terminal.feed("\x1b_Ga=p,i=1,p=120000,c=1,r=1,C=1,q=2\x1b\\");
    int withKey = 0;
    for (const Placed& p : cells())
        withKey += p.cell->kittyPlacementId == 120'000u ? 1 : 0;
    EXPECT_EQ(withKey, 1);
}

// A client that gives every placement a new key while the screen scrolls
// them away cannot make what is kept about them grow without end: the keys
// of cells gone with their lines are forgotten, those of cells still shown
// are not, so a placement that reuses one still replaces its cells.
TEST_F(KittyPlacement, KeysOfCellsThatScrolledAwayAreForgotten)
{
    store(1);
    auto flood = [this](int from, int count) {
        std::string stream;
        for (int i = from; i < from + count; ++i)
            stream += "\x1b_Ga=p,i=1,p=" + std::to_string(i) + ",c=1,r=1,q=2\x1b\\";
        terminal.feed(stream);
    };
    auto cellsOfKept = [this] {
        int n = 0;
        for (const Placed& p : cells())
            n += p.cell->kittyPlacementId == 999'999u ? 1 : 0;
        return n;
    };
    const int limit = int(kKittyMaxPlacementRecords);
    flood(1, limit - 10);
    command("a=p,i=1,p=999999,c=1,r=1,C=1,q=2");
    flood(limit - 10, 20);
    EXPECT_LT(kitty.keysMaybeWithCells(), 100u) << "only those of the ring's 25 lines";
    ASSERT_EQ(cellsOfKept(), 1);
    cursorTo(4, 0);
    command("a=p,i=1,p=999999,c=1,r=1,C=1,q=2");
    EXPECT_EQ(cellsOfKept(), 1);

    flood(limit + 10, limit);
    EXPECT_LE(kitty.keysMaybeWithCells(), kKittyMaxPlacementRecords + 1);
}

// With an image on screen line feeds move its record with the ring, and
// search no rows for it. Each line feed once searched the whole scrollback
// for the image: 38 s here (bench/hostile_stream_bench's
// BM_LineFeedsWithAnImage times it).
TEST(KittyScrolling, LineFeedsWithAnImageMoveItsRecordWithoutASearch)
{
    ScreenDelegate delegate;
    TerminalOptions o;
    o.cols = 80;
    o.rows = 24;
    o.scrollback = 100'000;
    Terminal terminal(&delegate, o);
    TerminalKittyGraphics& kitty = TerminalKittyGraphics::attach(terminal);
    std::string fill;
    for (int i = 0; i < 100'000; ++i)
        fill += "some text\r\n";
    terminal.feed(fill);
    terminal.feed("\x1b_Ga=t,i=1,f=32,s=1,v=1,q=2;AAAAAA==\x1b\\\x1b_Ga=p,i=1,p=1,c=4,r=2,q=2\x1b\\");
    ASSERT_TRUE(terminal.buffer->hasAnyImages());
    // The ring row of the placement's top cell, found the slow way.
    auto cellRow = [&terminal]() {
        auto& lines = terminal.buffer->lines();
        for (int i = lines.count() - 1; i >= 0; --i) {
            const BufferLine* line = lines.peek(i);
            if (!line || !line->images())
                continue;
            for (const auto& image : *line->images()) {
                auto* cell = dynamic_cast<const KittyPlacementImage*>(image.get());
                if (cell && cell->kittyRowOffset == 0)
                    return i;
            }
        }
        return -1;
    };
    ASSERT_EQ(kitty.state().placementsByKey.at({1, 1}).row, cellRow());

    // Checked after a first thousand too: a search per line feed stops there,
    // at a hundred million rows, instead of running on for a minute.
    const uint64_t rows = kitty.rowsSearched();
    const uint64_t visited = kitty.placementsVisited();
    terminal.feed(std::string(1'000, '\n'));
    ASSERT_LE(kitty.rowsSearched() - rows, 1'000u);
    terminal.feed(std::string(49'000, '\n'));
    // The scroll is tracked: the record moved up with the ring.
    EXPECT_EQ(kitty.state().placementsByKey.at({1, 1}).row, cellRow());
    EXPECT_LT(cellRow(), 60'000);
    terminal.feed(std::string(150'000, '\n'));
    EXPECT_FALSE(terminal.buffer->hasAnyImages()) << "the image scrolled out of the ring";
    EXPECT_LE(kitty.rowsSearched() - rows, 1'000u);
    EXPECT_LE(kitty.placementsVisited() - visited, 1'000u);
}

}  // namespace
}  // namespace ravelgrid
