#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ravelgrid/screen/Buffer.h"

using namespace ravelgrid;

namespace {

// One cell of text: a code and its width (1 or 2).
struct Glyph {
    int32_t code;
    int width;
    friend bool operator==(const Glyph&, const Glyph&) = default;
};
using Text = std::vector<Glyph>;

Text ascii(const std::string& s)
{
    Text t;
    for (char c : s)
        t.push_back({c, 1});
    return t;
}

constexpr Glyph wide{0x4E2D, 2};

std::unique_ptr<Buffer> makeBuffer(int cols, int rows, std::optional<int> scrollback = 1000)
{
    auto b = std::make_unique<Buffer>(cols, rows, 8, scrollback);
    b->scroll = [](bool) {};
    b->fillViewportRows();
    return b;
}

// A glyph of the text: logical line and index among its glyphs (the size
// of the line means just past its end).
struct GlyphPos {
    int line = -1;
    int glyph = 0;
};

// Lays logical lines out at the buffer's width the way printing with
// autowrap does (a wide character that does not fit in the last column
// leaves it empty and starts the next row), replacing the ring's rows; the
// screen shows the last rows. Returns the ring row and column of `target`.
std::pair<int, int> load(Buffer& b, const std::vector<Text>& lines, GlyphPos target = {})
{
    const int w = b.cols();
    b.clear();
    auto row = b.getBlankLine(Attribute{}, false);
    int col = 0;
    std::pair<int, int> found{-1, -1};
    auto flush = [&](bool nextWrapped) {
        b.lines().push(row);
        row = b.getBlankLine(Attribute{}, nextWrapped);
        col = 0;
    };
    for (size_t l = 0; l < lines.size(); ++l) {
        const Text& line = lines[l];
        for (size_t i = 0; i < line.size(); ++i) {
            const Glyph& g = line[i];
            if (col + g.width > w)
                flush(true);
            if (static_cast<int>(l) == target.line && static_cast<int>(i) == target.glyph)
                found = {b.lines().count(), col};
            CharData cell;
            cell.code = g.code;
            cell.width = static_cast<int8_t>(g.width);
            row->set(col, cell);
            if (g.width == 2) {
                CharData half;
                half.width = 0;
                row->set(col + 1, half);
            }
            col += g.width;
        }
        if (static_cast<int>(l) == target.line && target.glyph == static_cast<int>(line.size()))
            found = {b.lines().count(), col};
        flush(false);
    }
    while (b.lines().count() < b.rows())
        b.lines().push(b.getBlankLine(Attribute{}, false));
    b.setYBase(b.lines().count() - b.rows());
    b.setYDisp(b.yBase());
    return found;
}

int wrappedLength(Buffer& b, int row, bool last)
{
    BufferLine& line = b.lines()[row];
    if (last)
        return line.trimmedLength();
    const int w = b.cols();
    const CharData& edge = line[w - 1];
    const bool filler = edge.code == 0 && edge.width == 1 && edge.attribute == Attribute{};
    return filler && b.lines()[row + 1][0].width == 2 ? w - 1 : w;
}

// Where a cell lies in the text: logical line and offset in cells.
struct TextPos {
    int line = -1;
    int offset = 0;
    friend bool operator==(const TextPos&, const TextPos&) = default;
};

// The logical lines of the whole ring, trailing empty ones dropped, and the
// cursor's place in them.
std::vector<Text> logicalLines(Buffer& b, TextPos* cursor = nullptr)
{
    std::vector<Text> out;
    const int count = b.lines().count();
    const int cursorRow = b.yBase() + b.y();
    for (int r = 0; r < count;) {
        int end = r + 1;
        while (end < count && b.lines()[end].isWrapped())
            ++end;
        Text text;
        for (int i = r; i < end; ++i) {
            const int len = wrappedLength(b, i, i + 1 == end);
            if (cursor && i == cursorRow)
                *cursor = {static_cast<int>(out.size()), static_cast<int>(text.size()) + std::min(b.x(), len)};
            for (int c = 0; c < len; ++c) {
                const CharData& cell = b.lines()[i][c];
                if (cell.width != 0)
                    text.push_back({cell.code, cell.width});
                else
                    text.push_back({-1, 0});  // right half, counted so offsets stay in cells
            }
        }
        out.push_back(std::move(text));
        r = end;
    }
    while (!out.empty() && out.back().empty() && (!cursor || cursor->line < static_cast<int>(out.size()) - 1))
        out.pop_back();
    return out;
}

std::string rowText(Buffer& b, int ringRow)
{
    std::string s;
    const BufferLine& line = b.lines()[ringRow];
    for (int c = 0; c < line.trimmedLength(); ++c) {
        const CharData& cell = line[c];
        if (cell.width == 0)
            continue;
        s += cell.code == 0 ? '.' : cell.code == wide.code ? 'W' : static_cast<char>(cell.code);
    }
    return s;
}

std::string screenRow(Buffer& b, int row)
{
    return rowText(b, b.yBase() + row);
}

// What every resize must leave behind.
void expectConsistent(Buffer& b)
{
    const int count = b.lines().count();
    EXPECT_LE(count, b.lines().maxLength());
    EXPECT_GE(b.yBase(), 0);
    EXPECT_EQ(count, b.yBase() + b.rows()) << "the screen ends at the ring's last row";
    EXPECT_GE(b.y(), 0);
    EXPECT_LT(b.y(), b.rows());
    EXPECT_GE(b.x(), 0);
    EXPECT_LE(b.x(), b.cols());
    EXPECT_LE(b.yDisp(), b.yBase());
    EXPECT_GE(b.savedY, 0);
    EXPECT_LT(b.savedY, b.rows());
    EXPECT_EQ(static_cast<int>(b.tabStops.size()), b.cols());
    int withImages = 0;
    for (int i = 0; i < count; ++i) {
        BufferLine& line = b.lines()[i];
        ASSERT_GE(line.dataSize(), b.cols()) << "row " << i;
        EXPECT_NE(line[b.cols() - 1].width, 2) << "a wide character straddles the right edge of row " << i;
        withImages += line.hasImages() ? 1 : 0;
    }
    EXPECT_EQ(b.linesWithImagesCount(), withImages);
}

}  // namespace

// ---- widening ---------------------------------------------------------------------

TEST(BufferReflow, WideningJoinsAWrappedGroupAndPullsHistoryDown)
{
    auto b = makeBuffer(10, 4);
    load(*b, {ascii("xx"), ascii("yy"), ascii("AAAAAAAAAABBBBBBBBBBCC"), ascii("$")});
    b->setX(1);
    b->setY(3);
    ASSERT_EQ(b->yBase(), 2);
    const int countBefore = b->lines().count();

    b->resize(20, 4);
    EXPECT_EQ(b->lines().count(), countBefore - 1);
    EXPECT_EQ(b->yBase(), 1);
    EXPECT_EQ(b->yDisp(), 1);
    EXPECT_EQ(screenRow(*b, 1), "AAAAAAAAAABBBBBBBBBB");
    EXPECT_EQ(screenRow(*b, 2), "CC");
    EXPECT_TRUE(b->lines()[b->yBase() + 2].isWrapped());
    EXPECT_EQ(screenRow(*b, 3), "$");
    EXPECT_EQ(b->y(), 3);
    EXPECT_EQ(b->x(), 1);
    expectConsistent(*b);
}

TEST(BufferReflow, WideningWithoutHistoryMovesTheCursorUpAndAddsBlankRows)
{
    auto b = makeBuffer(10, 5);
    load(*b, {ascii("AAAAAAAAAABBBBBBBBBBCC"), ascii("$ ")});
    b->setX(2);
    b->setY(3);
    ASSERT_EQ(b->yBase(), 0);

    b->resize(25, 5);
    EXPECT_EQ(screenRow(*b, 0), "AAAAAAAAAABBBBBBBBBBCC");
    EXPECT_EQ(screenRow(*b, 1), "$ ");
    EXPECT_EQ(b->y(), 1);
    EXPECT_EQ(b->x(), 2);
    expectConsistent(*b);
}

TEST(BufferReflow, WideningJoinsAWideCharacterThatDidNotFitRightAfterTheText)
{
    auto b = makeBuffer(5, 3);
    Text t = ascii("abcd");
    t.push_back(wide);
    t.push_back({'e', 1});
    load(*b, {t, {}});
    ASSERT_EQ(rowText(*b, 0), "abcd");  // column 4 left empty
    ASSERT_EQ(rowText(*b, 1), "We");

    b->resize(8, 3);
    EXPECT_EQ(rowText(*b, 0), "abcdWe");
    EXPECT_EQ(b->lines()[0][4].code, wide.code);
    EXPECT_FALSE(b->lines()[1].isWrapped());
    expectConsistent(*b);
}

TEST(BufferReflow, WideningMovesAWideCharacterAtTheNewEdgeDownWhole)
{
    auto b = makeBuffer(4, 3);
    Text t = ascii("abcd");
    t.push_back(wide);
    t.push_back(wide);
    t.push_back({'z', 1});
    load(*b, {t});

    b->resize(5, 3);
    // "abcd" + the first wide character would straddle columns 4 and 5.
    EXPECT_EQ(rowText(*b, 0), "abcd");
    EXPECT_EQ(rowText(*b, 1), "WWz");
    EXPECT_TRUE(b->lines()[1].isWrapped());
    expectConsistent(*b);
}

// ---- narrowing ------------------------------------------------------------------------

TEST(BufferReflow, NarrowingSplitsALongRowIntoAWrappedOne)
{
    auto b = makeBuffer(20, 4);
    load(*b, {ascii("abcdefghijklmno"), ascii("$")});
    b->setY(1);
    b->setX(1);

    b->resize(10, 4);
    EXPECT_EQ(screenRow(*b, 0), "abcdefghij");
    EXPECT_EQ(screenRow(*b, 1), "klmno");
    EXPECT_TRUE(b->lines()[b->yBase() + 1].isWrapped());
    EXPECT_EQ(screenRow(*b, 2), "$");
    EXPECT_EQ(b->y(), 2);
    EXPECT_EQ(b->x(), 1);
    expectConsistent(*b);
}

TEST(BufferReflow, NarrowingMovesAWideCharacterAtTheEdgeToTheNextRow)
{
    auto b = makeBuffer(20, 3);
    Text t = ascii("abcdefghi");
    t.push_back(wide);  // columns 9 and 10
    t.push_back({'z', 1});
    load(*b, {t, {}});
    b->setY(2);

    b->resize(10, 3);
    EXPECT_EQ(rowText(*b, 0), "abcdefghi");
    EXPECT_EQ(b->lines()[0][9], CharData::Null);
    EXPECT_EQ(rowText(*b, 1), "Wz");
    EXPECT_TRUE(b->lines()[1].isWrapped());
    expectConsistent(*b);
}

TEST(BufferReflow, NarrowingKeepsTheCursorLineAndCarriesTheCursor)
{
    // The line being typed is reflowed like any other: cut off at the new
    // edge it would lose what was typed.
    auto b = makeBuffer(20, 4);
    load(*b, {ascii("out"), ascii("$ make all install")});
    b->setY(1);
    b->setX(9);  // on the "a" of "all"

    b->resize(8, 4);
    EXPECT_EQ(screenRow(*b, 1), "$ make a");
    EXPECT_EQ(screenRow(*b, 2), "ll insta");
    EXPECT_EQ(screenRow(*b, 3), "ll");
    EXPECT_EQ(b->y(), 2);
    EXPECT_EQ(b->x(), 1);
    EXPECT_EQ(b->lines()[b->yBase() + b->y()][b->x()].code, 'l');

    b->resize(20, 4);
    EXPECT_EQ(screenRow(*b, b->y()), "$ make all install");
    EXPECT_EQ(b->x(), 9);
    expectConsistent(*b);
}

TEST(BufferReflow, CursorJustPastTextThatFillsTheNewWidthWaitsToWrap)
{
    auto b = makeBuffer(10, 3);
    load(*b, {ascii("abcdefghij")});
    b->setY(0);
    b->setX(10);  // pending wrap after the last column

    b->resize(5, 3);
    EXPECT_EQ(rowText(*b, b->yBase() + b->y()), "fghij");
    EXPECT_EQ(b->x(), 5) << "still pending: the next character starts a new row";

    b->resize(10, 3);
    EXPECT_EQ(rowText(*b, b->yBase() + b->y()), "abcdefghij");
    EXPECT_EQ(b->x(), 10);

    b->resize(12, 3);
    EXPECT_EQ(b->x(), 10) << "a wider row has room right after the text";
    expectConsistent(*b);
}

TEST(BufferReflow, CursorInBlankSpaceStaysOnItsRow)
{
    auto b = makeBuffer(10, 5, 10);
    b->setX(9);
    b->setY(4);
    b->resize(4, 5);
    EXPECT_EQ(b->x(), 3);
    EXPECT_EQ(b->y(), 4);
    expectConsistent(*b);
}

TEST(BufferReflow, NarrowingTakesBlankRowsBelowTheCursorBeforeScrolling)
{
    auto b = makeBuffer(10, 6);
    load(*b, {ascii("0123456789abc"), ascii("$")});
    b->setY(2);
    ASSERT_EQ(b->yBase(), 0);

    b->resize(5, 6);
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(screenRow(*b, 0), "01234");
    EXPECT_EQ(screenRow(*b, 3), "$");
    EXPECT_EQ(b->y(), 3);
    expectConsistent(*b);
}

TEST(BufferReflow, NarrowingAFullScreenSendsTheTopIntoHistory)
{
    auto b = makeBuffer(10, 3);
    load(*b, {ascii("aaaaaaaaaaaaa"), ascii("b"), ascii("c")});
    b->setY(2);

    b->resize(6, 3);
    EXPECT_EQ(b->yBase(), 2);
    EXPECT_EQ(rowText(*b, 0), "aaaaaa");
    EXPECT_EQ(screenRow(*b, 2), "c");
    EXPECT_EQ(b->y(), 2);
    expectConsistent(*b);
}

TEST(BufferReflow, HistoryFullOfLongLinesLosesOnlyItsOldestRows)
{
    auto b = makeBuffer(10, 3, 4);
    load(*b, {ascii("1111111111"), ascii("2222222222"), ascii("3333333333"), ascii("4444444444"), ascii("$")});
    b->setY(2);
    ASSERT_EQ(b->lines().count(), 5);

    b->resize(5, 3);
    EXPECT_EQ(b->lines().count(), 7);  // 3 rows of screen, 4 of history
    EXPECT_EQ(rowText(*b, 0), "22222");
    EXPECT_EQ(rowText(*b, 4), "44444");
    EXPECT_EQ(screenRow(*b, 2), "$");
    EXPECT_EQ(b->y(), 2);
    expectConsistent(*b);
}

TEST(BufferReflow, AlternateBufferKeepsCellsBeyondANarrowerWidth)
{
    auto b = makeBuffer(10, 3, std::nullopt);
    load(*b, {ascii("abcdefghij")});
    b->resize(4, 3);
    EXPECT_EQ(b->lines()[0].dataSize(), 10);
    EXPECT_FALSE(b->lines()[1].isWrapped());
    b->resize(10, 3);
    EXPECT_EQ(rowText(*b, 0), "abcdefghij");
    expectConsistent(*b);
}

TEST(BufferReflow, SavedRowFollowsItsTextThroughAReflow)
{
    auto b = makeBuffer(10, 4);
    load(*b, {ascii("aaaaaaaaaaaaaa"), ascii("saved"), ascii("$")});
    b->savedY = 2;
    b->setY(3);
    b->resize(20, 4);
    EXPECT_EQ(screenRow(*b, b->savedY), "saved");
    b->resize(7, 4);
    EXPECT_EQ(screenRow(*b, b->savedY), "saved");
}

// ---- rows ------------------------------------------------------------------------------

TEST(BufferResize, FewerRowsWithTheCursorOnTheLastRowPushTheTopIntoHistory)
{
    auto b = makeBuffer(10, 24);
    load(*b, {ascii("top"), ascii("x")});
    b->setY(23);
    const int base = b->yBase();
    b->resize(10, 20);
    EXPECT_EQ(b->yBase(), base + 4);
    EXPECT_EQ(b->yDisp(), base + 4);
    EXPECT_EQ(b->y(), 19);
    EXPECT_EQ(rowText(*b, 0), "top");
    expectConsistent(*b);
}

TEST(BufferResize, FewerRowsRemoveBlankRowsBelowTheCursor)
{
    auto b = makeBuffer(10, 24);
    load(*b, {ascii("a"), ascii("b")});
    b->setY(5);
    b->resize(10, 20);
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(b->y(), 5);
    EXPECT_EQ(b->lines().count(), 20);
    expectConsistent(*b);
}

TEST(BufferResize, FewerRowsKeepTextBelowTheCursorInHistory)
{
    auto b = makeBuffer(10, 6);
    load(*b, {ascii("a"), ascii("b"), ascii("c"), ascii("d"), ascii("e"), ascii("f")});
    b->setY(2);  // on "c"
    b->resize(10, 4);
    EXPECT_EQ(b->yBase(), 2);
    EXPECT_EQ(screenRow(*b, 3), "f");
    EXPECT_EQ(screenRow(*b, b->y()), "c");
    expectConsistent(*b);
}

TEST(BufferResize, FewerRowsWithoutHistory)
{
    auto b = makeBuffer(10, 6, std::nullopt);
    load(*b, {ascii("a"), ascii("b"), ascii("c"), ascii("d"), ascii("e"), ascii("f")});
    b->setY(5);
    b->savedY = 3;
    b->resize(10, 4);
    EXPECT_EQ(b->yBase(), 0);
    EXPECT_EQ(screenRow(*b, 0), "c");
    EXPECT_EQ(screenRow(*b, b->y()), "f");
    EXPECT_EQ(b->savedY, 3) << "a screen row: dropping rows from the top does not shift it";

    b->setY(1);
    b->resize(10, 2);
    EXPECT_EQ(screenRow(*b, 0), "c");
    EXPECT_EQ(screenRow(*b, 1), "d");
    EXPECT_EQ(b->savedY, 1);
    expectConsistent(*b);
}

TEST(BufferResize, TrimmingHistoryLeavesTheSavedRow)
{
    auto b = makeBuffer(10, 6, 2);
    load(*b, {ascii("1"), ascii("2"), ascii("3"), ascii("4"), ascii("5"), ascii("6"), ascii("7"), ascii("8")});
    ASSERT_TRUE(b->lines().isFull());
    b->setY(5);
    b->savedY = 4;
    b->resize(10, 4);
    EXPECT_EQ(b->lines().count(), 6);
    EXPECT_EQ(b->savedY, 4 - 1) << "clamped to the screen, not moved by the two dropped rows";
    EXPECT_EQ(screenRow(*b, b->y()), "8");
    expectConsistent(*b);
}

TEST(BufferResize, MoreRowsPullHistoryDownOrAddBlankRows)
{
    auto b = makeBuffer(10, 20, 200);
    std::vector<Text> lines;
    for (int i = 0; i < 120; ++i)
        lines.push_back(ascii(std::to_string(i)));
    load(*b, lines);
    b->setY(19);
    const int base = b->yBase();
    b->resize(10, 24);
    EXPECT_EQ(b->yBase(), base - 4);
    EXPECT_EQ(b->y(), 23);
    EXPECT_EQ(screenRow(*b, 23), "119");
    expectConsistent(*b);

    auto fresh = makeBuffer(10, 20);
    fresh->setY(3);
    fresh->resize(10, 24);
    EXPECT_EQ(fresh->yBase(), 0);
    EXPECT_EQ(fresh->lines().count(), 24);
    EXPECT_EQ(fresh->y(), 3);
    expectConsistent(*fresh);
}

TEST(BufferResize, PendingWrapSurvivesAResizeOfRowsOnly)
{
    auto b = makeBuffer(10, 4);
    load(*b, {ascii("abcdefghij")});
    b->setX(10);
    b->resize(10, 6);
    EXPECT_EQ(b->x(), 10);
}

TEST(BufferResize, AnEmptyRingOnlyTakesTheNewSize)
{
    Buffer b(10, 4, 8, 100);
    b.setX(7);
    b.setY(3);
    b.savedX = 9;
    b.setScrollTop(2);
    b.setMarginRight(9);
    b.resize(5, 2);
    EXPECT_EQ(b.cols(), 5);
    EXPECT_EQ(b.rows(), 2);
    EXPECT_EQ(b.marginRight(), 4);
    EXPECT_EQ(b.scrollBottom(), 1);
    EXPECT_EQ(b.tabStops.size(), 5u);
    EXPECT_EQ(b.x(), 7);
    EXPECT_EQ(b.y(), 3);
    EXPECT_EQ(b.savedX, 9);
    EXPECT_EQ(b.scrollTop(), 2);
}

TEST(BufferReflow, ImageCountFollowsRowsThatGoAway)
{
    auto b = makeBuffer(5, 2, 100);
    load(*b, {ascii("aaaaaaaaa"), ascii("$")});
    b->setY(1);
    TerminalImageList images{std::make_shared<TerminalImage>()};
    b->setLineImages(1, images);  // the wrapped half, merged away when widening
    ASSERT_EQ(b->linesWithImagesCount(), 1);
    b->resize(10, 2);
    EXPECT_EQ(b->linesWithImagesCount(), 0);
    expectConsistent(*b);
}

// ---- random content ---------------------------------------------------------------------

namespace {

struct Scenario {
    std::vector<Text> lines;
    int cols = 0;
    GlyphPos cursor;
};

// Lines of distinct glyphs (a cell is known by its code), a fifth of them
// wide; the cursor on a glyph of the last `cursorLines` lines or just past
// the last one, where a shell leaves it.
Scenario randomScenario(std::mt19937& rng, int cursorLines)
{
    Scenario s;
    s.cols = std::uniform_int_distribution<int>(4, 30)(rng);
    const int lines = std::uniform_int_distribution<int>(1, 40)(rng);
    int32_t next = 0x100;
    for (int i = 0; i < lines; ++i) {
        const int len = std::uniform_int_distribution<int>(0, s.cols * 5 / 2)(rng);
        Text t;
        for (int c = 0; c < len; ++c) {
            if (std::uniform_int_distribution<int>(0, 4)(rng) == 0)
                t.push_back({0x20000 + next++, 2});
            else
                t.push_back({next++, 1});
        }
        s.lines.push_back(std::move(t));
    }
    const int line = std::max(0, lines - 1 - std::uniform_int_distribution<int>(0, cursorLines - 1)(rng));
    const int size = static_cast<int>(s.lines[static_cast<size_t>(line)].size());
    s.cursor = {line, std::uniform_int_distribution<int>(0, size)(rng)};
    return s;
}

// Loads the scenario with the cursor on its glyph; false when that glyph is
// not on the screen.
bool loadScenario(Buffer& b, const Scenario& s)
{
    const auto [row, col] = load(b, s.lines, s.cursor);
    if (row < b.yBase())
        return false;
    b.setY(row - b.yBase());
    b.setX(col);
    return true;
}

TextPos cellPos(const Scenario& s)
{
    int offset = 0;
    const Text& line = s.lines[static_cast<size_t>(s.cursor.line)];
    for (int i = 0; i < s.cursor.glyph; ++i)
        offset += line[static_cast<size_t>(i)].width;
    return {s.cursor.line, offset};
}

int32_t cursorCode(Buffer& b)
{
    const BufferLine& line = b.lines()[b.yBase() + b.y()];
    return b.x() < line.trimmedLength() ? line[b.x()].code : -1;
}

}  // namespace

TEST(BufferReflow, RandomTextSurvivesWideningAndNarrowing)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        const Scenario s = randomScenario(rng, 2);
        const int rows = 16;
        auto b = makeBuffer(s.cols, rows, 2000);
        if (!loadScenario(*b, s))
            continue;
        TextPos cursor;
        const std::vector<Text> original = logicalLines(*b, &cursor);
        ASSERT_EQ(cursor, cellPos(s));
        const int32_t code = cursorCode(*b);

        const int wider = s.cols + std::uniform_int_distribution<int>(1, s.cols + 5)(rng);
        const int narrower = std::max(2, s.cols - std::uniform_int_distribution<int>(1, s.cols / 2)(rng));
        for (int width : {wider, s.cols, narrower, s.cols, narrower, wider, s.cols}) {
            SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(s.cols) + " columns to " +
                         std::to_string(width));
            b->resize(width, rows);
            TextPos now;
            EXPECT_EQ(logicalLines(*b, &now), original) << "text changed";
            EXPECT_EQ(now, cursor) << "cursor left its cell";
            EXPECT_EQ(cursorCode(*b), code);
            expectConsistent(*b);
            if (testing::Test::HasFailure())
                return;
        }
    }
}

TEST(BufferReflow, RandomTextSurvivesChangesOfBothSizes)
{
    std::mt19937 rng(77);
    for (int round = 0; round < 300; ++round) {
        const Scenario s = randomScenario(rng, 1);
        auto b = makeBuffer(s.cols, 10, 5000);
        if (!loadScenario(*b, s))
            continue;
        TextPos cursor;
        const std::vector<Text> original = logicalLines(*b, &cursor);
        for (int step = 0; step < 6; ++step) {
            const int cols = std::uniform_int_distribution<int>(std::max(2, s.cols / 2), s.cols * 2)(rng);
            const int rows = std::uniform_int_distribution<int>(8, 16)(rng);
            SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
            b->resize(cols, rows);
            TextPos now;
            EXPECT_EQ(logicalLines(*b, &now), original);
            EXPECT_EQ(now, cursor);
            expectConsistent(*b);
            if (testing::Test::HasFailure())
                return;
        }
    }
}
