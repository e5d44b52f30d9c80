#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "ravelgrid/screen/Buffer.h"

using namespace ravelgrid;

namespace {

// A glyph of text by code and width; a line of them; a glyph's place (the
// line's size means just past its end).
struct Glyph {
    int32_t code;
    int width;
    friend bool operator==(const Glyph&, const Glyph&) = default;
};
using Text = std::vector<Glyph>;
struct TextPos {
    int line = -1;
    int offset = 0;
    friend bool operator==(const TextPos&, const TextPos&) = default;
};
constexpr Glyph wide{0x4E2D, 2};

Text ascii(const std::string& s)
{
    Text t;
    for (char c : s)
        t.push_back({c, 1});
    return t;
}

std::unique_ptr<Buffer> makeBuffer(int cols, int rows, std::optional<int> scrollback = 1000)
{
    auto b = std::make_unique<Buffer>(cols, rows, 8, scrollback);
    b->fillViewportRows();
    return b;
}

// Replaces the rows with the lines laid out as autowrap prints them (a wide
// character that does not fit leaves the last column empty), the screen on
// the last rows. Returns the ring row and column of glyph `target`.
std::pair<int, int> load(Buffer& b, const std::vector<Text>& lines, TextPos target = {})
{
    b.clear();
    auto row = b.getBlankLine(Attribute{}, false);
    int col = 0;
    std::pair<int, int> found{-1, -1};
    for (size_t l = 0; l < lines.size(); ++l) {
        for (size_t i = 0; i <= lines[l].size(); ++i) {
            const bool here = static_cast<int>(l) == target.line && static_cast<int>(i) == target.offset;
            if (i == lines[l].size()) {
                if (here)
                    found = {b.lines().count(), col};
                break;
            }
            const Glyph& g = lines[l][i];
            if (col + g.width > b.cols()) {
                b.lines().push(row);
                row = b.getBlankLine(Attribute{}, true);
                col = 0;
            }
            if (here)
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
        b.lines().push(row);
        row = b.getBlankLine(Attribute{}, false);
        col = 0;
    }
    while (b.lines().count() < b.rows())
        b.lines().push(b.getBlankLine(Attribute{}, false));
    b.setYBase(b.lines().count() - b.rows());
    b.setYDisp(b.yBase());
    return found;
}

// A row as the ring holds it: the cells of its text (up to the width when
// the next row continues it, one short where a wide character moved on) and
// whether it continues the row above.
struct Row {
    Text cells;
    bool wrapped = false;
    friend bool operator==(const Row&, const Row&) = default;
    friend void PrintTo(const Row& row, std::ostream* os)
    {
        *os << (row.wrapped ? "wrapped [" : "[");
        for (const Glyph& g : row.cells)
            if (g.width > 0)
                *os << ' ' << std::hex << g.code << std::dec << (g.width == 2 ? "W" : "");
        *os << " ] " << row.cells.size() << " cells";
    }
};

std::vector<Row> ringRows(Buffer& b)
{
    std::vector<Row> out;
    const int count = b.lines().count();
    const int w = b.cols();
    for (int i = 0; i < count; ++i) {
        BufferLine& line = b.lines()[i];
        int len = line.trimmedLength();
        if (i + 1 < count && b.lines()[i + 1].isWrapped())
            len = line[w - 1] == CharData::Null && b.lines()[i + 1][0].width == 2 ? w - 1 : w;
        Row row{{}, line.isWrapped()};
        for (int c = 0; c < len; ++c)
            row.cells.push_back({line[c].width ? line[c].code : -1, line[c].width});
        out.push_back(std::move(row));
    }
    return out;
}

// The logical lines of the ring (trailing empty ones dropped) read back by
// joining wrapped rows, and the cursor's place in them in cells.
std::vector<Text> logicalLines(Buffer& b, TextPos* cursor = nullptr)
{
    std::vector<Text> out;
    const std::vector<Row> rows = ringRows(b);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i == 0 || !rows[i].wrapped)
            out.emplace_back();
        Text& text = out.back();
        if (cursor && static_cast<int>(i) == b.yBase() + b.y())
            *cursor = {static_cast<int>(out.size()) - 1,
                       static_cast<int>(text.size()) + std::min(b.x(), static_cast<int>(rows[i].cells.size()))};
        text.insert(text.end(), rows[i].cells.begin(), rows[i].cells.end());
    }
    while (!out.empty() && out.back().empty() && (!cursor || cursor->line + 1 < static_cast<int>(out.size())))
        out.pop_back();
    return out;
}

std::string rowText(Buffer& b, int ringRow)
{
    std::string s;
    const BufferLine& line = b.lines()[ringRow];
    for (int c = 0; c < line.trimmedLength(); ++c)
        if (line[c].width)
            s += line[c].code == 0 ? '.' : line[c].code == wide.code ? 'W' : static_cast<char>(line[c].code);
    return s;
}

std::string screenRow(Buffer& b, int row)
{
    return rowText(b, b.yBase() + row);
}

// What every resize leaves behind.
void expectConsistent(Buffer& b)
{
    const int count = b.lines().count();
    EXPECT_LE(count, b.lines().maxLength());
    EXPECT_EQ(count, b.yBase() + b.rows()) << "the screen ends at the ring's last row";
    EXPECT_TRUE(b.y() >= 0 && b.y() < b.rows() && b.x() >= 0 && b.x() <= b.cols());
    EXPECT_TRUE(b.yDisp() >= 0 && b.yDisp() <= b.yBase());
    EXPECT_TRUE(b.savedY >= 0 && b.savedY < b.rows());
    EXPECT_EQ(static_cast<int>(b.tabStops.size()), b.cols());
    int withImages = 0;
    for (int i = 0; i < count; ++i) {
        ASSERT_GE(b.lines()[i].dataSize(), b.cols()) << "row " << i;
        EXPECT_NE(b.lines()[i][b.cols() - 1].width, 2) << "a wide character straddles the edge of row " << i;
        withImages += b.lines()[i].hasImages() ? 1 : 0;
    }
    EXPECT_EQ(b.linesWithImagesCount(), withImages);
}

}  // namespace

TEST(BufferReflow, WideningJoinsWrappedRows)
{
    auto b = makeBuffer(10, 4);
    load(*b, {ascii("xx"), ascii("yy"), ascii("AAAAAAAAAABBBBBBBBBBCC"), ascii("$")});
    b->setX(1);
    b->setY(3);
    b->setLineImages(4, TerminalImageList{std::make_shared<TerminalImage>()});  // the last row, which goes
    b->resize(20, 4);
    EXPECT_EQ(b->lines().count(), 5);
    EXPECT_EQ(b->yBase(), 1) << "a row less pulls history down";
    EXPECT_EQ(b->yDisp(), 1);
    EXPECT_EQ(screenRow(*b, 1), "AAAAAAAAAABBBBBBBBBB");
    EXPECT_EQ(screenRow(*b, 2), "CC");
    EXPECT_TRUE(b->lines()[3].isWrapped());
    EXPECT_EQ(screenRow(*b, 3), "$");
    EXPECT_EQ(b->y(), 3);
    EXPECT_EQ(b->x(), 1);
    expectConsistent(*b);

    // A wide character that did not fit joins right after the text; one at
    // the new edge moves down whole.
    auto w = makeBuffer(5, 3);
    Text t = ascii("abcd");
    t.insert(t.end(), {wide, {'e', 1}, wide, wide, {'z', 1}});
    load(*w, {t});
    ASSERT_EQ(rowText(*w, 0), "abcd");
    w->resize(8, 3);
    EXPECT_EQ(rowText(*w, 0), "abcdWe");
    EXPECT_EQ(rowText(*w, 1), "WWz");
    EXPECT_EQ((*w).lines()[0][7], CharData::Null);
    expectConsistent(*w);
}

TEST(BufferReflow, NarrowingSplitsRows)
{
    auto b = makeBuffer(20, 4);
    Text t = ascii("abcdefghi");
    t.insert(t.end(), {wide, {'z', 1}});  // the wide character at columns 9 and 10
    load(*b, {ascii("abcdefghijklmno"), t, ascii("$")});
    b->setY(2);
    b->resize(10, 4);
    EXPECT_EQ(rowText(*b, 0), "abcdefghij");
    EXPECT_EQ(rowText(*b, 1), "klmno");
    EXPECT_TRUE(b->lines()[1].isWrapped());
    EXPECT_EQ(rowText(*b, 2), "abcdefghi");
    EXPECT_EQ(b->lines()[2][9], CharData::Null);
    EXPECT_EQ(rowText(*b, 3), "Wz");
    EXPECT_EQ(screenRow(*b, b->y()), "$");
    expectConsistent(*b);

    // Blank rows below the cursor take the new rows before text leaves the screen.
    auto room = makeBuffer(10, 6);
    load(*room, {ascii("0123456789abc"), ascii("$")});
    room->setY(2);
    room->resize(5, 6);
    EXPECT_EQ(room->yBase(), 0);
    EXPECT_EQ(room->y(), 3);
    expectConsistent(*room);

    // History that cannot hold everything loses only its oldest rows.
    auto full = makeBuffer(10, 3, 4);
    load(*full, {ascii("1111111111"), ascii("2222222222"), ascii("3333333333"), ascii("4444444444"), ascii("$")});
    full->setY(2);
    full->resize(5, 3);
    EXPECT_EQ(full->lines().count(), 7);
    EXPECT_EQ(rowText(*full, 0), "22222");
    EXPECT_EQ(screenRow(*full, full->y()), "$");
    expectConsistent(*full);
}

TEST(BufferReflow, TheCursorsOwnLineIsReflowedWithTheCursorOnItsCell)
{
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
    b->resize(20, 4);
    EXPECT_EQ(screenRow(*b, b->y()), "$ make all install");
    EXPECT_EQ(b->x(), 9);

    // Just past text that fills the new width is a pending wrap.
    auto p = makeBuffer(10, 3);
    load(*p, {ascii("abcdefghij")});
    p->setY(0);
    p->setX(10);
    p->resize(5, 3);
    EXPECT_EQ(screenRow(*p, p->y()), "fghij");
    EXPECT_EQ(p->x(), 5);
    p->resize(5, 4);
    EXPECT_EQ(p->x(), 5) << "a resize of rows only keeps the wrap pending";
    p->resize(12, 4);
    EXPECT_EQ(p->x(), 10);

    // In blank space past the text the cursor stays on its row.
    auto blank = makeBuffer(10, 5, 10);
    blank->setX(9);
    blank->setY(4);
    blank->resize(4, 5);
    EXPECT_EQ(blank->x(), 3);
    EXPECT_EQ(blank->y(), 4);
}

TEST(BufferReflow, FewerRowsKeepTheEndOfTheCursorsLineThatTheNewWidthMakesRoomFor)
{
    // The cursor on the top row of a line four rows tall: one row less at
    // the old width has no room for its end, the wider one does.
    auto b = makeBuffer(2, 4);
    load(*b, {ascii("abcdefgh")});
    b->setY(0);
    b->setX(1);
    b->resize(8, 3);
    EXPECT_EQ(screenRow(*b, 0), "abcdefgh");
    EXPECT_EQ(b->y(), 0);
    EXPECT_EQ(b->x(), 1);
    expectConsistent(*b);

    // A ring too short for the rows waiting for the reflow at the old
    // width: it is trimmed after the reflow, which needs one row for them.
    auto small = makeBuffer(2, 6, 1);
    load(*small, {ascii("abcdefghijkl")});
    small->setY(0);
    small->resize(12, 2);
    EXPECT_EQ(screenRow(*small, small->y()), "abcdefghijkl");
    EXPECT_EQ(small->x(), 0);
    expectConsistent(*small);
    // Narrower again, the rows below the cursor that the screen cannot show
    // go from the bottom, never the cursor's own row from the top.
    small->resize(2, 2);
    EXPECT_EQ(screenRow(*small, 0), "ab");
    EXPECT_EQ(screenRow(*small, 1), "cd");
    EXPECT_EQ(small->y(), 0);
    EXPECT_EQ(small->lines().count(), 2);
    expectConsistent(*small);

    // Where no width makes room, the cursor keeps its cell on the top row
    // and the line what the screen shows of it, all of which a wider and
    // shorter screen still holds.
    auto tall = makeBuffer(4, 4);
    load(*tall, {ascii("abcdefghijklmnop")});
    tall->setY(0);
    tall->resize(2, 3);
    EXPECT_EQ(tall->y(), 0);
    EXPECT_EQ(screenRow(*tall, 0), "ab");
    EXPECT_EQ(screenRow(*tall, 2), "ef");
    tall->resize(4, 2);
    EXPECT_EQ(screenRow(*tall, 0), "abcd");
    EXPECT_EQ(screenRow(*tall, 1), "ef");
    expectConsistent(*tall);
}

TEST(BufferReflow, ShorterAndNarrowerAtOnceKeepTheCursorsLineAndTheHistory)
{
    // A prompt on the top row over a screen of full rows, 100 lines of
    // history: 100x30 to 20x10 once lost the prompt and every history line.
    std::vector<Text> lines;
    for (int i = 0; i < 100; ++i)
        lines.push_back(ascii("h" + std::to_string(i)));
    lines.push_back(ascii("prompt$"));
    for (int i = 1; i < 30; ++i)
        lines.push_back(ascii(std::string(100, static_cast<char>('a' + i))));
    auto b = makeBuffer(100, 30, 100);
    load(*b, lines);
    b->setY(0);
    b->setX(8);
    b->resize(20, 10);
    EXPECT_EQ(screenRow(*b, 0), "prompt$");
    EXPECT_EQ(b->y(), 0);
    EXPECT_EQ(b->x(), 8);
    for (int row = 1; row < 10; ++row)
        EXPECT_EQ(screenRow(*b, row), std::string(20, row <= 5 ? 'b' : 'c')) << "row " << row;
    // The rows below the screen went; the ring still holds all the history.
    EXPECT_EQ(b->yBase(), 100);
    EXPECT_EQ(rowText(*b, 0), "h0");
    EXPECT_EQ(rowText(*b, 99), "h99");
    expectConsistent(*b);

    // Ordinary sizes, 80x24 with a full history of 500 short lines to
    // 40x12: output rows under the prompt that the screen has no room for
    // go before any history does.
    for (int promptRow : {0, 5, 23}) {
        SCOPED_TRACE("prompt on row " + std::to_string(promptRow));
        std::vector<Text> text;
        for (int i = 0; i < 500; ++i)
            text.push_back(ascii("line " + std::to_string(i)));
        for (int i = 0; i < 24; ++i)
            text.push_back(i == promptRow ? ascii("$ ls") : ascii(std::string(80, static_cast<char>('a' + i))));
        auto o = makeBuffer(80, 24, 500);
        load(*o, text);
        o->setY(promptRow);
        o->setX(4);
        o->resize(40, 12);
        EXPECT_EQ(screenRow(*o, o->y()), "$ ls");
        EXPECT_EQ(o->x(), 4);
        const int kept = 500 + 2 * promptRow + 1 + std::min(2 * (23 - promptRow), 11);
        const int lost = std::max(0, kept - 512);
        EXPECT_EQ(rowText(*o, 0), "line " + std::to_string(lost));
        EXPECT_EQ(o->lines().count(), std::min(kept, 512));
        expectConsistent(*o);
    }
}

TEST(BufferReflow, AlternateBufferKeepsCellsPastANarrowerWidth)
{
    auto b = makeBuffer(10, 3, std::nullopt);
    load(*b, {ascii("abcdefghij")});
    b->resize(4, 3);
    EXPECT_EQ(b->lines()[0].dataSize(), 10);
    EXPECT_FALSE(b->lines()[1].isWrapped());
    b->resize(10, 3);
    EXPECT_EQ(rowText(*b, 0), "abcdefghij");
}

TEST(BufferResize, Rows)
{
    std::vector<Text> lines;
    for (int i = 0; i < 30; ++i)
        lines.push_back(ascii(std::to_string(i)));

    // Cursor on the last row: the top goes into history.
    auto b = makeBuffer(10, 24);
    load(*b, lines);
    b->setY(23);
    b->resize(10, 20);
    EXPECT_EQ(b->yBase(), 10);
    EXPECT_EQ(screenRow(*b, 19), "29");
    EXPECT_EQ(b->y(), 19);
    // More rows pull it back, the cursor staying on its text.
    b->resize(10, 24);
    EXPECT_EQ(b->yBase(), 6);
    EXPECT_EQ(b->y(), 23);
    expectConsistent(*b);

    // Blank rows below the cursor are removed; rows with text below it are kept.
    auto blank = makeBuffer(10, 24);
    blank->setY(5);
    blank->resize(10, 20);
    EXPECT_EQ(blank->lines().count(), 20);
    EXPECT_EQ(blank->y(), 5);
    blank->resize(10, 22);
    EXPECT_EQ(blank->lines().count(), 22) << "no history: blank rows are added";
    auto text = makeBuffer(10, 6);
    load(*text, {lines.begin(), lines.begin() + 6});
    text->setY(2);
    text->resize(10, 4);
    EXPECT_EQ(screenRow(*text, 3), "5");
    EXPECT_EQ(screenRow(*text, text->y()), "2");
    expectConsistent(*text);

    // Without history the top rows go; the saved row is a screen row and
    // is not moved by dropping them.
    auto alt = makeBuffer(10, 6, std::nullopt);
    load(*alt, {lines.begin(), lines.begin() + 6});
    alt->setY(5);
    alt->savedY = 3;
    alt->resize(10, 4);
    EXPECT_EQ(screenRow(*alt, 0), "2");
    EXPECT_EQ(screenRow(*alt, alt->y()), "5");
    EXPECT_EQ(alt->savedY, 3);
    expectConsistent(*alt);

    // Likewise when a full history is trimmed.
    auto full = makeBuffer(10, 6, 2);
    load(*full, {lines.begin(), lines.begin() + 8});
    full->setY(5);
    full->savedY = 2;
    full->resize(10, 4);
    EXPECT_EQ(full->lines().count(), 6);
    EXPECT_EQ(full->savedY, 2);

    // An empty ring only takes the new size.
    Buffer empty(10, 4, 8, 100);
    empty.setX(7);
    empty.setScrollTop(2);
    empty.resize(5, 2);
    EXPECT_EQ(empty.cols(), 5);
    EXPECT_EQ(empty.scrollBottom(), 1);
    EXPECT_EQ(empty.tabStops.size(), 5u);
    EXPECT_EQ(empty.x(), 7);
    EXPECT_EQ(empty.scrollTop(), 2);
}

// ---- random text ---------------------------------------------------------------------

namespace {

// Lines of distinct glyphs (a cell is known by its code), a fifth wide; the
// cursor on a glyph of the last `cursorLines` lines or just past the last,
// where a shell leaves it. Returns the cursor's place in cells, or nothing
// when it is not on the screen.
std::optional<TextPos> loadRandom(Buffer& b, std::mt19937& rng, int cursorLines)
{
    const int lines = std::uniform_int_distribution<int>(1, 40)(rng);
    std::vector<Text> text;
    int32_t next = 0x100;
    for (int i = 0; i < lines; ++i) {
        Text t(static_cast<size_t>(std::uniform_int_distribution<int>(0, b.cols() * 5 / 2)(rng)));
        for (Glyph& g : t)
            g = std::uniform_int_distribution<int>(0, 4)(rng) == 0 ? Glyph{0x20000 + next++, 2} : Glyph{next++, 1};
        text.push_back(std::move(t));
    }
    const int line = std::max(0, lines - 1 - std::uniform_int_distribution<int>(0, cursorLines - 1)(rng));
    const int glyph =
        std::uniform_int_distribution<int>(0, static_cast<int>(text[static_cast<size_t>(line)].size()))(rng);
    const auto [row, col] = load(b, text, {line, glyph});
    if (row < b.yBase())
        return std::nullopt;
    b.setY(row - b.yBase());
    b.setX(col);
    int offset = 0;
    for (int i = 0; i < glyph; ++i)
        offset += text[static_cast<size_t>(line)][static_cast<size_t>(i)].width;
    return TextPos{line, offset};
}

int32_t cursorCode(Buffer& b)
{
    const BufferLine& line = b.lines()[b.yBase() + b.y()];
    return b.x() < line.trimmedLength() ? line[b.x()].code : -1;
}

// The cells of `line` that `rows` screen rows of `width` hold from the row
// of cell `from` on; all of them when the rest of the line fits.
size_t cellsThatFit(const Text& line, int from, int width, int rows)
{
    std::vector<int> starts{0};  // each row's first cell, laid out as autowrap does
    int col = 0;
    int cell = 0;
    for (const Glyph& g : line) {
        if (col + g.width > width) {
            starts.push_back(cell);
            col = 0;
        }
        col += g.width;
        cell += g.width;
    }
    const auto row = std::upper_bound(starts.begin(), starts.end(), from) - starts.begin() - 1;
    const auto end = static_cast<size_t>(row + rows);
    return end < starts.size() ? static_cast<size_t>(starts[end]) : line.size();
}

}  // namespace

TEST(BufferReflow, RandomTextSurvivesWideningAndNarrowingBack)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        auto b = makeBuffer(std::uniform_int_distribution<int>(4, 30)(rng), 16, 2000);
        const int cols = b->cols();
        const auto start = loadRandom(*b, rng, 2);
        if (!start)
            continue;
        TextPos cursor;
        const std::vector<Text> original = logicalLines(*b, &cursor);
        ASSERT_EQ(cursor, *start);
        const int32_t code = cursorCode(*b);
        const int wider = cols + std::uniform_int_distribution<int>(1, cols + 5)(rng);
        const int narrower = std::max(2, cols - std::uniform_int_distribution<int>(1, cols / 2)(rng));
        for (int width : {wider, cols, narrower, cols, narrower, wider, cols}) {
            SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(cols) + " to " +
                         std::to_string(width));
            b->resize(width, 16);
            EXPECT_EQ(logicalLines(*b, &cursor), original) << "text changed";
            EXPECT_EQ(cursor, *start) << "the cursor left its cell";
            EXPECT_EQ(cursorCode(*b), code);
            expectConsistent(*b);
            if (testing::Test::HasFailure())
                return;
        }
    }
}

// Random text through random changes of both sizes; `packed`: as a large
// scrollback holds them, every row packed before each change and the rows
// left in the scrollback packed after it.
static void changeBothSizesRandomly(unsigned seed, int rounds, bool packed)
{
    std::mt19937 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        auto b = makeBuffer(std::uniform_int_distribution<int>(4, 30)(rng), 10, 5000);
        if (packed)
            b->unpackedScrollbackBudget = 0;
        const int cols = b->cols();
        const auto start = loadRandom(*b, rng, 1);
        if (!start)
            continue;
        TextPos cursor;
        const std::vector<Text> original = logicalLines(*b, &cursor);
        for (int step = 0; step < 6; ++step) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round) + " step " +
                         std::to_string(step));
            for (int i = 0; packed && i < b->lines().count(); ++i)
                b->lines()[i].compact();
            // Drawn in this order whatever the compiler, so a seed names one run.
            const int height = std::uniform_int_distribution<int>(4, 20)(rng);
            const int width = std::uniform_int_distribution<int>(std::max(2, cols / 2), cols * 2)(rng);
            b->resize(width, height);
            std::vector<Text> expected = original;
            Text& own = expected[static_cast<size_t>(start->line)];
            // The cursor's line below the screen is the one thing that goes,
            // and only when the rest of it from the cursor is taller than that.
            own.resize(cellsThatFit(own, start->offset, width, height));
            const bool cut = expected != original;
            EXPECT_EQ(logicalLines(*b, &cursor), expected);
            EXPECT_EQ(cursor, *start);
            EXPECT_TRUE(!cut || b->y() == 0) << "text went with the cursor below the top row";
            expectConsistent(*b);
            for (int i = 0; packed && i < b->yBase(); ++i)
                EXPECT_LE(b->lines()[i].unpackedBytes(), b->lines()[i].storedSize() * sizeof(CharData))
                    << "scrollback row " << i << " holds more than its cells";
            if (testing::Test::HasFailure())
                return;
            if (cut)
                break;  // what follows no longer starts from the original text
        }
    }
}

TEST(BufferReflow, RandomTextSurvivesChangesOfBothSizes)
{
    for (unsigned seed : {77u, 78u, 79u, 80u})
        changeBothSizesRandomly(seed, 300, false);
}

TEST(BufferReflow, PackedRowsReflowAndComeBackToTheScreen)
{
    // Widths join and split packed rows; heights bring rows back from the
    // scrollback onto the screen and send them away again.
    for (unsigned seed : {515u, 516u, 517u})
        changeBothSizesRandomly(seed, 200, true);
}

// ---- against a plain model -----------------------------------------------------------

namespace {

// The model: every line laid out at width w as autowrap prints it, with no
// bound on the rows; `cursorRow` and `cursorCol` are where the cursor lands.
std::vector<Row> layOut(const std::vector<Text>& lines, int w, TextPos cursor, int& cursorRow, int& cursorCol)
{
    std::vector<Row> rows;
    for (size_t l = 0; l < lines.size(); ++l) {
        const Text& line = lines[l];
        rows.push_back({});
        int col = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            if (static_cast<int>(l) == cursor.line && static_cast<int>(i) == cursor.offset) {
                cursorRow = static_cast<int>(rows.size()) - 1;
                cursorCol = col;
                if (col + line[i].width > w) {  // a wide character that moves down
                    ++cursorRow;
                    cursorCol = 0;
                }
            }
            if (col + line[i].width > w) {
                rows.push_back({{}, true});
                col = 0;
            }
            rows.back().cells.push_back(line[i]);
            col += line[i].width;
        }
        if (static_cast<int>(l) == cursor.line && cursor.offset >= static_cast<int>(line.size())) {
            cursorRow = static_cast<int>(rows.size()) - 1;
            cursorCol = col;
        }
    }
    return rows;
}

}  // namespace

// Random text through random changes of both sizes with rings smaller than
// the wrapped text, the cursor anywhere on the screen, compared with the
// model: all text laid out at the new width, rows below the cursor that the
// screen cannot show dropped first, then the oldest rows that the ring
// cannot hold. Blank rows at the bottom may come or go; nothing else.
TEST(BufferReflow, RandomResizesOfSmallRingsDropRowsBelowTheScreenFirstThenTheOldest)
{
    std::mt19937 rng(4242);
    for (int round = 0; round < 600; ++round) {
        const int cols = std::uniform_int_distribution<int>(4, 30)(rng);
        const int height = std::uniform_int_distribution<int>(2, 16)(rng);
        auto b = makeBuffer(cols, height, std::uniform_int_distribution<int>(1, 30)(rng));
        const bool packed = round % 2 == 1;  // rows as a large scrollback holds them
        if (packed)
            b->unpackedScrollbackBudget = 0;
        loadRandom(*b, rng, height);
        // The cursor on any cell of the screen that holds text, or just
        // past the text of a line's last row.
        const int y = std::uniform_int_distribution<int>(0, height - 1)(rng);
        b->setY(y);
        const std::vector<Row> before = ringRows(*b);
        const Row& onRow = before[static_cast<size_t>(b->yBase() + y)];
        const bool lineEnds = b->yBase() + y + 1 == static_cast<int>(before.size()) ||
                              !before[static_cast<size_t>(b->yBase() + y + 1)].wrapped;
        const int room = static_cast<int>(onRow.cells.size()) - (lineEnds ? 0 : 1);
        int x = std::uniform_int_distribution<int>(0, std::max(room, 0))(rng);
        while (x > 0 && x < static_cast<int>(onRow.cells.size()) && onRow.cells[static_cast<size_t>(x)].width == 0)
            --x;  // not on the second half of a wide character
        b->setX(x);

        TextPos cursor;
        std::vector<Text> text = logicalLines(*b, &cursor);
        for (int step = 0; step < 6; ++step) {
            SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
            const int newCols = std::uniform_int_distribution<int>(2, cols * 2)(rng);
            const int newRows = std::uniform_int_distribution<int>(1, 16)(rng);
            int cursorRow = -1;
            int cursorCol = 0;
            std::vector<Row> model = layOut(text, newCols, cursor, cursorRow, cursorCol);
            ASSERT_GE(cursorRow, 0);
            model.resize(std::min(model.size(), static_cast<size_t>(cursorRow + newRows)));

            if (packed)
                for (int i = 0; i < b->lines().count(); ++i)
                    b->lines()[i].compact();
            b->resize(newCols, newRows);
            expectConsistent(*b);
            const std::vector<Row> rows = ringRows(*b);
            const int at = b->yBase() + b->y();
            const int dropped = cursorRow - at;
            ASSERT_GE(dropped, 0) << "rows appeared above the cursor";
            EXPECT_EQ(b->x(), cursorCol) << "the cursor left its cell";
            for (size_t i = 0; i < rows.size(); ++i) {
                const size_t m = static_cast<size_t>(dropped) + i;
                Row expected = m < model.size() ? model[m] : Row{};
                if (i == 0)
                    expected.wrapped = rows[0].wrapped;  // the first row may continue a dropped one
                EXPECT_EQ(rows[i], expected) << "ring row " << i << " of " << rows.size();
            }
            for (size_t m = static_cast<size_t>(dropped) + rows.size(); m < model.size(); ++m)
                EXPECT_TRUE(model[m].cells.empty()) << "a row with text went from below the cursor";
            if (dropped > 0) {
                EXPECT_EQ(b->lines().count(), b->lines().maxLength()) << "rows dropped from a ring with room";
            }
            if (testing::Test::HasFailure())
                return;
            text = logicalLines(*b, &cursor);
        }
    }
}
