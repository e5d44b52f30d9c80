#include <gtest/gtest.h>

#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/screen/Buffer.h"

#include <atomic>
#include <thread>

using namespace ravelgrid;
namespace TB = ravelgrid::TerminalBidi;

namespace {

constexpr BidiPresentationState autoState{BidiSupportMode::implicit, true, BidiDirection::leftToRight, false};

std::unique_ptr<Buffer> makeBuffer(int cols, int rows, BidiPresentationState state = autoState)
{
    auto b = std::make_unique<Buffer>(cols, rows, 8, 100, state);
    b->fillViewportRows();
    return b;
}

bool isWide(char32_t c)
{
    return c >= 0x4E00 && c <= 0x9FFF;
}

// Writes text from column 0, wide CJK characters over two columns.
void put(Buffer& b, int row, std::u32string_view text, bool wrapped = false)
{
    BufferLine& line = b.lines()[row];
    line.fill(CharData{});
    int col = 0;
    for (char32_t c : text) {
        CharData cell;
        cell.setValue(int32_t(c), isWide(c) ? 2 : 1);
        line.set(col++, cell);
        if (isWide(c)) {
            CharData tail;
            tail.setValue(0, 0);
            line.set(col++, tail);
        }
    }
    line.setWrapped(wrapped);
}

std::vector<TB::Cell> cellsOf(std::initializer_list<std::u32string> texts)
{
    std::vector<TB::Cell> cells;
    int col = 0;
    for (const auto& t : texts)
        cells.push_back(TB::Cell{0, col++, 1, t});
    return cells;
}

// What a row shows, left to right: the display text, else the cell's own
// character, "." for blank columns.
std::u32string shown(const BidiRowLayout& layout, const Buffer& b, int row)
{
    std::u32string out;
    const BufferLine* line = b.lines().peek(row);
    for (const BidiCell& cell : layout.visualCells) {
        if (!cell.display.empty()) {
            out += cell.display;
            continue;
        }
        const int32_t code = line ? (*line)[cell.logicalCol].code : 0;
        out.push_back(code == 0 ? U'.' : char32_t(code));
    }
    return out;
}

}  // namespace

// --- Arabic joining ------------------------------------------------------------------------

TEST(ArabicShaping, CellsToDisplayTexts)
{
    struct Case {
        const char* name;
        std::vector<TB::Cell> cells;
        std::vector<std::u32string> expected;
    };
    const std::vector<Case> cases = {
        {"beh beh beh", cellsOf({U"\u0628", U"\u0628", U"\u0628"}), {U"\uFE91", U"\uFE92", U"\uFE90"}},
        {"lam alef", cellsOf({U"\u0644", U"\u0627"}), {U"\uFEFB", U" "}},
        {"beh lam alef", cellsOf({U"\u0628", U"\u0644", U"\u0627"}), {U"\uFE91", U"\uFEFC", U" "}},
        {"lam hamza-above alef after beh", cellsOf({U"\u0628", U"\u0644", U"\u0623"}), {U"\uFE91", U"\uFEF8", U" "}},
        {"beh zwnj beh", cellsOf({U"\u0628", U"\u200C", U"\u0628"}), {U"\uFE8F", U"", U"\uFE8F"}},
        {"beh beh zwnj beh",
         cellsOf({U"\u0628", U"\u0628", U"\u200C", U"\u0628"}),
         {U"\uFE91", U"\uFE90", U"", U"\uFE8F"}},
        {"beh tatweel beh", cellsOf({U"\u0628", U"\u0640", U"\u0628"}), {U"\uFE91", U"", U"\uFE90"}},
        {"fatha stays with its letter", cellsOf({U"\u0628\u064E", U"\u0628"}), {U"\uFE91\u064E", U"\uFE90"}},
        {"a mark cell between letters is transparent",
         cellsOf({U"\u0628", U"\u0651", U"\u0628"}),
         {U"\uFE91", U"", U"\uFE90"}},
        {"syriac gets none", cellsOf({U"\u0712", U"\u0712", U"\u0712"}), {U"", U"", U""}},
        {"hamza is isolated", cellsOf({U"\u0628", U"\u0621"}), {U"\uFE8F", U"\uFE80"}},
        {"right-joining reh ends a word",
         cellsOf({U"\u0628", U"\u0631", U"\u0628"}),
         {U"\uFE91", U"\uFEAE", U"\uFE8F"}},
        {"alef maksura medial from the extended block",
         cellsOf({U"\u0628", U"\u0649", U"\u0628"}),
         {U"\uFE91", U"\uFBE9", U"\uFE90"}},
        {"lam and alef apart are no ligature", cellsOf({U"\u0644", U" ", U"\u0627"}), {U"\uFEDD", U"", U"\uFE8D"}},
        {"latin between letters breaks joining", cellsOf({U"\u0628", U"x", U"\u0628"}), {U"\uFE8F", U"", U"\uFE8F"}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TB::shapeCells(c.cells), c.expected) << c.name;
    }
}

TEST(ArabicShaping, TablesCoverTheirLetters)
{
    EXPECT_EQ(TB::presentationFormLetterCount(), 76u);
    const auto beh = TB::presentationForms(0x0628);
    ASSERT_TRUE(beh);
    EXPECT_EQ(beh->isolated, 0xFE8Fu);
    EXPECT_EQ(beh->final, 0xFE90u);
    EXPECT_EQ(beh->initial, 0xFE91u);
    EXPECT_EQ(beh->medial, 0xFE92u);
    const auto alef = TB::presentationForms(0x0627);
    ASSERT_TRUE(alef);
    EXPECT_EQ(alef->initial, 0u);  // right-joining: no initial or medial
    EXPECT_EQ(TB::presentationForms(0x0621)->final, 0xFE80u);
    EXPECT_EQ(TB::presentationForms(0x0677)->final, TB::presentationForms(0x0677)->isolated);
    EXPECT_FALSE(TB::presentationForms(0x063B));
    // Every dual-joining letter with forms has all four, but Noon Ghunna,
    // which shows its isolated form where it would begin a word.
    for (char32_t c = 0x0600; c < 0x0700; ++c) {
        const auto forms = TB::presentationForms(c);
        if (!forms)
            continue;
        EXPECT_NE(forms->isolated, 0u) << std::hex << uint32_t(c);
        EXPECT_NE(forms->final, 0u) << std::hex << uint32_t(c);
        if (TB::tableJoining(c) == TB::Joining::dual && c != 0x06BA) {
            EXPECT_NE(forms->initial, 0u) << std::hex << uint32_t(c);
            EXPECT_NE(forms->medial, 0u) << std::hex << uint32_t(c);
        }
    }

    struct J {
        char32_t c;
        std::optional<TB::Joining> type;
    };
    for (const J& j : std::initializer_list<J>{{0x0620, TB::Joining::dual},
                                               {0x0621, std::nullopt},
                                               {0x0625, TB::Joining::right},
                                               {0x0640, TB::Joining::causing},
                                               {0x0674, std::nullopt},
                                               {0x070F, TB::Joining::transparent},
                                               {0xA872, TB::Joining::left},
                                               {0x1E943, TB::Joining::dual},
                                               {0x1E94B, TB::Joining::transparent},
                                               {0x1E94C, std::nullopt},
                                               {U'a', std::nullopt}})
        EXPECT_EQ(TB::tableJoining(j.c), j.type) << std::hex << uint32_t(j.c);
}

// --- the pieces of the layout ---------------------------------------------------------------

TEST(TerminalBidiPieces, TypesetterUnitsAndDirection)
{
    struct U {
        std::u32string text;
        char16_t unit;
    };
    for (const U& u : std::initializer_list<U>{{U"", u' '},
                                               {U"a", u'a'},
                                               {U"\u05D0", u'\u05D0'},
                                               {U"\u0628\u064E", u'\u0621'},
                                               {U"\u06D5", u'\u0621'},
                                               {U"\u200D", u'\u0621'},
                                               {U"\u0301", u'\u00B7'},
                                               {U"\u20DD", u'\u00B7'},
                                               {U"\U00010900", u'\u200F'},
                                               {U"\U0001F600", u'\u00B7'},
                                               {U"\u2029", u' '},
                                               {U"\u0085", u' '}})
        EXPECT_EQ(uint32_t(TB::typesetterUnit(u.text)), uint32_t(u.unit))
            << std::hex << uint32_t(u.text.empty() ? 0 : u.text[0]);

    struct D {
        std::initializer_list<std::u32string> cells;
        BidiDirection fallback;
        BidiDirection expected;
    };
    const auto L = BidiDirection::leftToRight;
    const auto R = BidiDirection::rightToLeft;
    for (const D& d : std::initializer_list<D>{{{U"1", U"2", U" ", U"\u05D0"}, L, R},
                                               {{U"1", U"a", U"\u05D0"}, R, L},
                                               {{U"1", U"2"}, R, R},
                                               {{U"\u200E", U"\u05D0"}, R, L},
                                               {{U"x\u200F"}, L, L},
                                               {{U"\u200F", U"a"}, L, R},
                                               {{U"\u0628"}, L, R}})
        EXPECT_EQ(TB::detectDirection(cellsOf(d.cells), d.fallback), d.expected);

    EXPECT_EQ(TB::mirroredScalar(U'('), U')');
    EXPECT_EQ(TB::mirroredScalar(U'<'), U'>');
    EXPECT_FALSE(TB::mirroredScalar(U'a'));
    EXPECT_EQ(TB::mirroredBoxDrawing(0x250C), 0x2510u);
    EXPECT_EQ(TB::mirroredBoxDrawing(0x2510), 0x250Cu);
    EXPECT_EQ(TB::mirroredBoxDrawing(0x257A), 0x2578u);
    EXPECT_FALSE(TB::mirroredBoxDrawing(0x2500));
    int boxEntries = 0;
    for (char32_t c = 0x2500; c < 0x2580; ++c)
        boxEntries += TB::mirroredBoxDrawing(c).has_value();
    EXPECT_EQ(boxEntries, 38);
}

TEST(TerminalBidiPieces, MissingCellsGoBesideTheirNeighbours)
{
    using Dirs = std::vector<std::optional<bool>>;
    struct Case {
        const char* name;
        std::vector<int> placed;
        Dirs directions;
        int count;
        bool base;
        std::vector<int> expected;
        std::vector<bool> expectedDirections;
    };
    const std::vector<Case> cases = {
        {"complete", {2, 1, 0}, {true, true, true}, 3, false, {2, 1, 0}, {true, true, true}},
        {"duplicates kept once", {0, 0, 1}, {false, false}, 2, false, {0, 1}, {false, false}},
        {"after its left neighbour in ltr",
         {0, 2},
         {false, std::nullopt, false},
         3,
         true,
         {0, 1, 2},
         {false, false, false}},
        {"before its left neighbour in rtl",
         {2, 0},
         {true, std::nullopt, true},
         3,
         false,
         {2, 1, 0},
         {true, true, true}},
        {"left neighbour decides first", {2, 0}, {true, std::nullopt, false}, 3, false, {2, 1, 0}, {true, true, false}},
        {"before its right neighbour in ltr", {1}, {std::nullopt, false}, 2, true, {0, 1}, {false, false}},
        {"after its right neighbour in rtl", {1}, {std::nullopt, true}, 2, false, {1, 0}, {true, true}},
        {"nothing placed takes the base", {}, {}, 2, true, {1, 0}, {true, true}},
    };
    for (const Case& c : cases) {
        Dirs dirs = c.directions;
        const auto order = TB::completeVisualOrder(c.placed, dirs, c.count, c.base);
        ASSERT_TRUE(order) << c.name;
        EXPECT_EQ(*order, c.expected) << c.name;
        std::vector<bool> got;
        for (const auto& d : dirs)
            got.push_back(d.value_or(!c.base));
        EXPECT_EQ(got, c.expectedDirections) << c.name;
    }
}

// --- rows ---------------------------------------------------------------------------------------

class TerminalBidiLayout : public ::testing::Test {
protected:
    void SetUp() override { TB::clearCaches(); }
};

TEST_F(TerminalBidiLayout, HebrewRowIsRightAlignedInReadingOrder)
{
    auto b = makeBuffer(10, 3);
    put(*b, 0, U"שלום");
    const auto p = TB::rowLayout(0, *b, 10, 500);
    ASSERT_TRUE(p);
    const BidiRowLayout* row = p->row(0);
    ASSERT_TRUE(row);
    EXPECT_TRUE(row->rightToLeft());
    EXPECT_EQ(shown(*row, *b, 0), U"......םולש");
    ASSERT_EQ(row->visualCells.size(), 10u);
    for (int v = 0; v < 6; ++v) {
        EXPECT_EQ(row->visualCells[size_t(v)].logicalCol, 9 - v);
        EXPECT_TRUE(row->visualCells[size_t(v)].display.empty());
    }
    EXPECT_EQ(row->logicalToVisualCol[0], 9);
    EXPECT_EQ(row->logicalToVisualCol[3], 6);
    EXPECT_EQ(row->logicalToVisualCol[4], 5);
    EXPECT_EQ(row->visualToLogicalCol[9], 0);
    EXPECT_EQ(row->visualToLogicalCol[0], 9);
    EXPECT_NE(row->paragraphRevision, 0u);
}

TEST_F(TerminalBidiLayout, MixedRowsKeepLatinAndNumbersLeftToRight)
{
    auto b = makeBuffer(16, 3);
    put(*b, 0, U"שלום abc 123");
    put(*b, 1, U"ab (שלום) cd");
    put(*b, 2, U"hello");
    const auto p0 = TB::rowLayout(0, *b, 16, 500);
    ASSERT_TRUE(p0 && p0->row(0));
    EXPECT_EQ(shown(*p0->row(0), *b, 0), U"....abc 123 םולש");
    // Left-to-right base: the Hebrew run is reversed in place, its brackets
    // stay outside it and are not mirrored.
    const auto p1 = TB::rowLayout(1, *b, 16, 500);
    ASSERT_TRUE(p1 && p1->row(1));
    EXPECT_FALSE(p1->row(1)->rightToLeft());
    EXPECT_EQ(shown(*p1->row(1), *b, 1), U"ab (םולש) cd....");
    const auto p2 = TB::rowLayout(2, *b, 16, 500);
    ASSERT_TRUE(p2);
    EXPECT_TRUE(p2->empty());
    EXPECT_EQ(p2->row(2), nullptr);
}

TEST_F(TerminalBidiLayout, MirroringInRightToLeftRuns)
{
    struct Case {
        const char* name;
        std::u32string text;
        bool boxMirroring;
        std::u32string expected;
    };
    const std::vector<Case> cases = {
        {"bracket", U"א(ב)", false, U"......(ב)א"},
        {"box drawing with 2500h", U"א┌─┐", true, U"......┌─┐א"},
        {"box drawing without it", U"א┌─┐", false, U"......┐─┌א"},
        {"latin run keeps its brackets", U"א x(y)", false, U"....x(y) א"},
    };
    for (const Case& c : cases) {
        TB::clearCaches();
        BidiPresentationState state = autoState;
        state.boxMirroring = c.boxMirroring;
        auto b = makeBuffer(10, 1, state);
        put(*b, 0, c.text);
        const auto p = TB::rowLayout(0, *b, 10, 500);
        ASSERT_TRUE(p && p->row(0)) << c.name;
        EXPECT_EQ(shown(*p->row(0), *b, 0), c.expected) << c.name;
    }
}

TEST_F(TerminalBidiLayout, ArabicIsShapedAndJoined)
{
    auto b = makeBuffer(10, 1);
    put(*b, 0, U"مرحبا لا");
    const auto p = TB::rowLayout(0, *b, 10, 500);
    ASSERT_TRUE(p && p->row(0));
    // Meem initial, Reh final, Hah initial, Beh medial, Alef final; Lam-Alef
    // as one ligature and a space.
    EXPECT_EQ(shown(*p->row(0), *b, 0), U".. \uFEFB \uFE8E\uFE92\uFEA3\uFEAE\uFEE3");
}

TEST_F(TerminalBidiLayout, DirectionSettings)
{
    // Fallback right to left without autodetection: right-aligned even for Latin.
    BidiPresentationState rtl{BidiSupportMode::implicit, false, BidiDirection::rightToLeft, false};
    auto b = makeBuffer(8, 1, rtl);
    put(*b, 0, U"abc");
    auto p = TB::rowLayout(0, *b, 8, 500);
    ASSERT_TRUE(p && p->row(0));
    EXPECT_EQ(shown(*p->row(0), *b, 0), U".....abc");
    EXPECT_EQ(p->row(0)->visualToLogicalCol[5], 0);

    // With autodetection the first Latin letter makes it left to right again.
    rtl.autodetectDirection = true;
    auto c = makeBuffer(8, 1, rtl);
    put(*c, 0, U"abc");
    p = TB::rowLayout(0, *c, 8, 500);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->empty());
    EXPECT_EQ(p->baseDirection, BidiDirection::leftToRight);
}

// The alternate screen until the program asks: cells stay where the program
// put them, Arabic letters still join, and a buffer that reorders the same
// text is never answered from the other's cache.
TEST_F(TerminalBidiLayout, ABufferThatDoesNotReorderKeepsTheStoredOrder)
{
    const BidiPresentationState fixed{BidiSupportMode::implicit, false, BidiDirection::leftToRight, false};
    auto alt = makeBuffer(10, 3, fixed);
    alt->detectsDirection = alt->reordersRows = false;
    put(*alt, 0, U"של  |2 |");
    put(*alt, 1, U"مرحبا (א)");
    put(*alt, 2, U"ab", true);
    auto p = TB::rowLayout(0, *alt, 10, 500);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->row(0), nullptr);
    p = TB::rowLayout(1, *alt, 10, 500);
    ASSERT_TRUE(p && p->row(1));
    EXPECT_FALSE(p->row(1)->rightToLeft());
    EXPECT_EQ(shown(*p->row(1), *alt, 1), U"\uFEE3\uFEAE\uFEA3\uFE92\uFE8E (א).");
    EXPECT_EQ(p->row(1)->visualToLogicalCol, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(p->row(2), nullptr);  // nothing joined on the wrapped row

    // The same state and text on a buffer that reorders (BDSM set).
    auto asked = makeBuffer(10, 3, fixed);
    asked->detectsDirection = false;
    put(*asked, 0, U"של  |2 |");
    p = TB::rowLayout(0, *asked, 10, 500);
    ASSERT_TRUE(p && p->row(0));
    EXPECT_EQ(shown(*p->row(0), *asked, 0), U"2|  לש |..");
    // Turning it on for the first buffer lays its row out too.
    alt->reordersRows = true;
    p = TB::rowLayout(0, *alt, 10, 500);
    ASSERT_TRUE(p && p->row(0));
    EXPECT_EQ(shown(*p->row(0), *alt, 0), U"2|  לש |..");

    // A right-to-left fallback does not right-align it either.
    auto rtl = makeBuffer(8, 1, {BidiSupportMode::implicit, false, BidiDirection::rightToLeft, false});
    rtl->detectsDirection = rtl->reordersRows = false;
    put(*rtl, 0, U"abc");
    p = TB::rowLayout(0, *rtl, 8, 500);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->empty());
}

TEST_F(TerminalBidiLayout, WideCellsKeepBothColumns)
{
    auto b = makeBuffer(8, 1);
    put(*b, 0, U"א中ב");
    const auto p = TB::rowLayout(0, *b, 8, 500);
    ASSERT_TRUE(p && p->row(0));
    const BidiRowLayout& row = *p->row(0);
    // Columns: א 0, 中 1-2, ב 3; shown right to left at the right edge.
    EXPECT_EQ(row.logicalToVisualCol[3], 4);
    EXPECT_EQ(row.logicalToVisualCol[1], 5);
    EXPECT_EQ(row.logicalToVisualCol[2], 6);
    EXPECT_EQ(row.logicalToVisualCol[0], 7);
    EXPECT_EQ(row.visualToLogicalCol[5], 1);
    EXPECT_EQ(row.visualToLogicalCol[6], 1);
    ASSERT_EQ(row.visualCells.size(), 7u);
    EXPECT_EQ(row.visualCells[5].width, 2);
    EXPECT_EQ(row.visualCells[5].logicalCol, 1);

    // Laid out two columns wide, the wide cell is cut by the edge: one column,
    // and the Alef keeps its place.
    const auto narrow = TB::rowLayout(0, *b, 2, 500);
    ASSERT_TRUE(narrow && narrow->row(0));
    EXPECT_EQ(narrow->row(0)->logicalToVisualCol, (std::vector<int>{1, 0}));
    EXPECT_EQ(narrow->row(0)->visualToLogicalCol, (std::vector<int>{1, 0}));
}

TEST_F(TerminalBidiLayout, WrappedParagraphsAndTheirLimit)
{
    auto b = makeBuffer(6, 5);
    put(*b, 0, U"abc");
    put(*b, 1, U"אבגדהו");
    put(*b, 2, U"", true);  // a blank row inside the paragraph
    put(*b, 3, U"זח", true);
    put(*b, 4, U"xyz");
    const auto p = TB::rowLayout(3, *b, 6, 500);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->firstRow, 1);
    ASSERT_EQ(p->rowsByOffset.size(), 3u);
    EXPECT_EQ(TB::rowLayout(1, *b, 6, 500), p);  // one layout for the whole paragraph
    ASSERT_TRUE(p->row(2));
    EXPECT_EQ(p->row(2)->visualToLogicalCol, (std::vector<int>{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(shown(*p->row(3), *b, 3), U"....חז");
    EXPECT_EQ(shown(*p->row(1), *b, 1), U"והדגבא");

    EXPECT_EQ(TB::paragraphBounds(2, *b, 3), std::make_pair(1, 3));
    EXPECT_FALSE(TB::paragraphBounds(2, *b, 2));
    EXPECT_FALSE(TB::rowLayout(2, *b, 6, 2));  // over-long: no layout at all
    EXPECT_EQ(TB::cachedRowLayout(2, *b, 2), 0u);
    // A maximum of 0 or less acts as 1.
    EXPECT_FALSE(TB::rowLayout(3, *b, 6, 0));
    put(*b, 0, U"אב");
    EXPECT_TRUE(TB::rowLayout(0, *b, 6, 0));
    EXPECT_TRUE(TB::rowLayout(0, *b, 6, -3));
    EXPECT_FALSE(TB::rowLayout(-1, *b, 6, 500));
    EXPECT_FALSE(TB::rowLayout(5, *b, 6, 500));
}

TEST_F(TerminalBidiLayout, ExplicitRowsAreMirroredWholeAndUnshaped)
{
    BidiPresentationState state{BidiSupportMode::explicit_, false, BidiDirection::rightToLeft, true};
    auto b = makeBuffer(8, 1, state);
    put(*b, 0, U"ab(┌بب");
    EXPECT_FALSE(TB::rowLayout(0, *b, 8, 500));
    const auto row = TB::layoutParagraph(0, *b, 8);
    ASSERT_TRUE(row);
    EXPECT_TRUE(row->rightToLeft());
    EXPECT_EQ(shown(*row, *b, 0), U"..\u0628\u0628┐)ba");
    EXPECT_EQ(row->logicalToVisualCol[0], 7);

    const auto shownRow = TB::displayedRow(0, *b, 8, 500);
    ASSERT_TRUE(shownRow.layout());
    EXPECT_EQ(shownRow.layout()->visualToLogicalCol, row->visualToLogicalCol);
    EXPECT_EQ(TB::cachedRowLayout(0, *b, 500), 0u);

    state.fallbackDirection = BidiDirection::leftToRight;
    b->lines()[0].setBidiState(state);
    EXPECT_EQ(TB::displayedRow(0, *b, 8, 500).layout(), nullptr);
}

TEST_F(TerminalBidiLayout, RevisionsAndParagraphWidening)
{
    auto b = makeBuffer(6, 6);
    put(*b, 1, U"אבגדהו");
    put(*b, 2, U"זח", true);
    put(*b, 3, U"טי", true);
    put(*b, 5, U"abc");
    b->lines()[4].setBidiState({BidiSupportMode::explicit_, false, BidiDirection::leftToRight, false});

    struct W {
        int first, last, max;
        std::pair<int, int> expected;
    };
    for (const W& w : std::initializer_list<W>{{2, 2, 500, {1, 3}},
                                               {0, 2, 500, {0, 3}},
                                               {-4, 99, 500, {0, 5}},
                                               {2, 2, 2, {2, 2}},  // over-long: not widened
                                               {4, 4, 500, {4, 4}},
                                               {3, 1, 500, {1, 3}}})
        EXPECT_EQ(TB::expandToParagraphs(w.first, w.last, *b, w.max), w.expected) << w.first << " " << w.last;
    Buffer empty(6, 2, 8, 0);
    EXPECT_EQ(TB::expandToParagraphs(3, 7, empty, 500), std::make_pair(3, 7));

    const uint64_t before = TB::cachedRowLayout(1, *b, 500);
    EXPECT_NE(before, 0u);
    EXPECT_EQ(TB::cachedRowLayout(3, *b, 500), before);
    EXPECT_EQ(TB::rowLayout(2, *b, 6, 500)->row(2)->paragraphRevision, before);
    put(*b, 3, U"יט", true);  // another row of the paragraph changes
    const uint64_t after = TB::cachedRowLayout(1, *b, 500);
    EXPECT_NE(after, before);
    EXPECT_EQ(TB::rowLayout(1, *b, 6, 500)->row(1)->paragraphRevision, after);
    EXPECT_EQ(TB::cachedRowLayout(4, *b, 500), 0u);
    EXPECT_EQ(TB::cachedRowLayout(6, *b, 500), 0u);
}

// --- caches -----------------------------------------------------------------------------------

TEST_F(TerminalBidiLayout, MovedTextComesFromTheContentCache)
{
    auto b = makeBuffer(10, 4);
    put(*b, 2, U"שלום (1)");
    const auto first = TB::rowLayout(2, *b, 10, 500);
    ASSERT_TRUE(first && first->row(2));
    const auto passes = TB::cacheStatistics().layoutPasses;
    EXPECT_EQ(TB::rowLayout(2, *b, 10, 500), first);  // the paragraph cache answers by key

    // An application redraws the text one row higher: other lines, same text.
    put(*b, 1, U"שלום (1)");
    put(*b, 2, U"");
    const auto moved = TB::rowLayout(1, *b, 10, 500);
    ASSERT_TRUE(moved && moved->row(1));
    EXPECT_EQ(TB::cacheStatistics().layoutPasses, passes);  // no second pass of the algorithm
    EXPECT_EQ(moved->firstRow, 1);
    EXPECT_EQ(moved->row(1)->visualCells, first->row(2)->visualCells);
    EXPECT_NE(moved->row(1)->paragraphRevision, first->row(2)->paragraphRevision);
    EXPECT_EQ(moved->row(1)->paragraphRevision, TB::cachedRowLayout(1, *b, 500));

    // The ring moves the same line down a row: the content cache answers
    // for the new place.
    const BufferLinePtr blank = b->getBlankLine(Attribute{});
    b->lines().splice(0, 0, std::span(&blank, 1), nullptr);
    const auto shifted = TB::rowLayout(2, *b, 10, 500);
    ASSERT_TRUE(shifted && shifted->row(2));
    EXPECT_EQ(shifted->firstRow, 2);
    EXPECT_EQ(TB::cacheStatistics().layoutPasses, passes);
    EXPECT_EQ(shifted->row(2)->visualCells, first->row(2)->visualCells);
    put(*b, 3, U"");

    // Other text of the same shape is laid out afresh.
    put(*b, 3, U"שלום (2)");
    const auto other = TB::rowLayout(3, *b, 10, 500);
    EXPECT_EQ(TB::cacheStatistics().layoutPasses, passes + 1);
    EXPECT_EQ(shown(*other->row(3), *b, 3), U"..(2) םולש");
}

TEST_F(TerminalBidiLayout, TheCachesAreEmptiedWholeWhenFull)
{
    auto b = makeBuffer(12, TB::cacheCapacity + 1);
    for (size_t r = 0; r <= TB::cacheCapacity; ++r) {
        std::u32string text = U"א ";
        for (char c : std::to_string(r))
            text.push_back(char32_t(c));
        put(*b, int(r), text);
    }
    for (size_t r = 0; r < TB::cacheCapacity; ++r)
        ASSERT_TRUE(TB::rowLayout(int(r), *b, 12, 500));
    auto stats = TB::cacheStatistics();
    EXPECT_EQ(stats.paragraphEntries, TB::cacheCapacity);
    EXPECT_EQ(stats.contentEntries, TB::cacheCapacity);
    const auto layout = TB::rowLayout(int(TB::cacheCapacity), *b, 12, 500);
    ASSERT_TRUE(layout && layout->row(int(TB::cacheCapacity)));
    stats = TB::cacheStatistics();
    EXPECT_EQ(stats.paragraphEntries, 1u);
    EXPECT_EQ(stats.contentEntries, 1u);
}

TEST_F(TerminalBidiLayout, ABufferAtAFreedOnesAddressLaysOutAfresh)
{
    std::optional<Buffer> slot;
    auto prepare = [&](std::u32string_view text) {
        slot.emplace(10, 2, 8, 0, autoState);
        slot->fillViewportRows();
        put(*slot, 0, text);
    };
    prepare(U"שלום");
    const Buffer* firstAddress = &*slot;
    const uint64_t firstId = slot->id();
    const uint64_t firstLine = slot->lines()[0].id();
    const auto before = TB::rowLayout(0, *slot, 10, 500);
    ASSERT_TRUE(before && before->row(0));

    // Same address, same row, same number of edits: only the ids differ.
    prepare(U"אב cd");
    ASSERT_EQ(&*slot, firstAddress);
    EXPECT_NE(slot->id(), firstId);
    EXPECT_NE(slot->lines()[0].id(), firstLine);
    const auto after = TB::rowLayout(0, *slot, 10, 500);
    ASSERT_TRUE(after && after->row(0));
    EXPECT_EQ(shown(*after->row(0), *slot, 0), U".....cd בא");

    // A recycled line with new text is a new paragraph too.
    BufferLine& line = slot->lines()[1];
    put(*slot, 1, U"שלום");
    const auto once = TB::rowLayout(1, *slot, 10, 500);
    line.resetForReuse(Attribute{});
    put(*slot, 1, U"שלוםם");
    const auto again = TB::rowLayout(1, *slot, 10, 500);
    ASSERT_TRUE(once && again && again->row(1));
    EXPECT_NE(once, again);
    EXPECT_EQ(shown(*again->row(1), *slot, 1), U".....םםולש");
}

TEST_F(TerminalBidiLayout, ConcurrentLayoutsShareTheCaches)
{
    std::vector<std::unique_ptr<Buffer>> buffers;
    for (int i = 0; i < 4; ++i) {
        buffers.push_back(makeBuffer(20, 40));
        for (int r = 0; r < 40; ++r)
            put(*buffers.back(), r, r % 2 ? U"שלום עולם 12" : U"hello مرحبا");
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int pass = 0; pass < 20; ++pass)
                for (int r = 0; r < 40; ++r) {
                    const auto p = TB::rowLayout(r, *buffers[size_t(i)], 20, 500);
                    if (!p || !p->row(r) || p->row(r)->visualCells.size() != 20)
                        failures.fetch_add(1);
                }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(TB::cacheStatistics().paragraphEntries, TB::cacheCapacity);
}
