#include <string>

#include <gtest/gtest.h>

#include "ravelgrid/selection/SearchService.h"
#include "ravelgrid/selection/tests/SelectionTestSupport.h"

namespace ravelgrid {
namespace {

using test::TerminalHarness;

const SearchOptions plain{};
const SearchOptions caseSensitive{true, false, false};
const SearchOptions regex{false, true, false};
const SearchOptions wholeWord{false, false, true};
const SearchOptions wholeWordRegex{false, true, true};

// Where a result sits, as (col, row, size).
struct Place {
    int col;
    int row;
    int size;
    friend bool operator==(const Place&, const Place&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Place& p)
    {
        return os << "(col " << p.col << ", row " << p.row << ", size " << p.size << ")";
    }
};

std::optional<Place> place(const std::optional<SearchResult>& r)
{
    if (!r)
        return std::nullopt;
    return Place{r->col, r->row, r->size};
}

class SearchTest : public ::testing::Test {
protected:
    explicit SearchTest(int cols = 20, int rows = 5, int scrollback = 100)
        : h(cols, rows, scrollback), search(*h.terminal)
    {}

    std::optional<Place> next(std::string_view term, const SearchOptions& o = plain)
    {
        return place(search.findNext(term, o));
    }
    std::optional<Place> previous(std::string_view term, const SearchOptions& o = plain)
    {
        return place(search.findPrevious(term, o));
    }

    TerminalHarness h;
    SearchService search;
};

class NarrowSearchTest : public SearchTest {
protected:
    NarrowSearchTest() : SearchTest(10, 5, 100) {}
};

// --- wrapped rows and cell mapping -------------------------------------------------------

TEST_F(NarrowSearchTest, MatchesRunAcrossWrappedRowsAndCountCellsOnBoth)
{
    h.feed("12345678hello");
    EXPECT_EQ(next("hello"), (Place{8, 0, 5}));
    search.reset();
    auto r = search.findNext("h.*o", regex);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->term, "hello");
    EXPECT_EQ(place(r), (Place{8, 0, 5}));
    EXPECT_EQ(search.lastSelection()->end, (Position{3, 1}));
    search.reset();
    EXPECT_EQ(next("lo"), (Place{1, 1, 2}));
}

TEST_F(NarrowSearchTest, AMatchEndingAtTheRowEdgeEndsAtTheNextRowStart)
{
    h.feed("1234567abc\r\nxyz");
    EXPECT_EQ(next("abc"), (Place{7, 0, 3}));
    EXPECT_EQ(search.lastSelection()->end, (Position{0, 1}));
}

TEST_F(SearchTest, WideCharactersAndClustersCountAsOneUnit)
{
    h.feed("漢字 foo");
    EXPECT_EQ(next("foo"), (Place{5, 0, 3}));
    search.reset();
    EXPECT_EQ(next("字 f"), (Place{2, 0, 4}));

    h.feed("\r\n👩‍💻 bar");
    ASSERT_GE(h.code(0, 1), CharData::firstClusterCode);
    search.reset();
    EXPECT_EQ(next("bar"), (Place{3, 1, 3}));
    search.reset();
    EXPECT_EQ(next("💻"), std::nullopt) << "a match may not split a cluster";
    auto r = search.findNext("👩‍💻", plain);
    EXPECT_EQ(place(r), (Place{0, 1, 2}));
}

TEST_F(NarrowSearchTest, AWideCharacterPushedToTheNextRowLeavesNoBlankInTheText)
{
    h.feed("123456789漢ab");  // 漢 does not fit in the last column
    ASSERT_TRUE(h.buffer().lines()[1].isWrapped());
    EXPECT_EQ(next("9漢"), (Place{8, 0, 4}));
    search.reset();
    EXPECT_EQ(next("9 漢"), std::nullopt);
    // A match ending just before the wrapped character ends at its own cell,
    // not at the blank left behind.
    search.reset();
    EXPECT_EQ(next("89"), (Place{7, 0, 2}));
    EXPECT_EQ(search.lastSelection()->end, (Position{9, 0}));
    search.reset();
    EXPECT_EQ(next("9", regex), (Place{8, 0, 1}));
    search.reset();
    EXPECT_EQ(next("漢"), (Place{0, 1, 2}));
}

TEST_F(NarrowSearchTest, AWideCharacterEndingTheRowIsKeptBeforeAnotherOne)
{
    h.feed("12345678漢字");  // 漢 fills the last two columns, 字 wraps
    ASSERT_TRUE(h.buffer().lines()[1].isWrapped());
    ASSERT_EQ(h.code(9, 0), 0);
    EXPECT_EQ(next("8漢字"), (Place{7, 0, 5}));
}

TEST_F(NarrowSearchTest, TheRingsFirstRowBeginsALineEvenWhenWrapped)
{
    TerminalHarness small(10, 2, 1);  // three lines in the ring
    SearchService s(*small.terminal);
    small.feed("abcdefghijklmnopqrstuvwxyz0123456789AB");
    ASSERT_TRUE(small.buffer().lines()[0].isWrapped());
    EXPECT_EQ(place(s.findNext("mno", plain)), (Place{2, 0, 3}));
    EXPECT_EQ(place(s.findNext("stuv", plain)), (Place{8, 0, 4}));
}

// --- options --------------------------------------------------------------------------------

TEST_F(SearchTest, CellsHiddenPastANarrowerWidthAreNotSearched)
{
    // The alternate screen keeps a row's cells when the window narrows;
    // what no longer shows must not be found.
    h.feed("\x1b[?1049h\x1b[1;15Hsecret");
    h.terminal->resize(10, 5);
    search.invalidateCache();
    EXPECT_EQ(next("secret"), std::nullopt);
    h.terminal->resize(20, 5);
    search.invalidateCache();
    EXPECT_EQ(next("secret"), (Place{14, 0, 6}));
}

TEST_F(SearchTest, WholeWordKeepsLookingAfterARejectedCandidate)
{
    h.feed("foo_x foo\r\nfoo-x\r\néfoo foo.");
    EXPECT_EQ(next("foo", wholeWord), (Place{6, 0, 3}));
    EXPECT_EQ(next("foo", wholeWord), (Place{0, 1, 3}));
    EXPECT_EQ(next("foo", wholeWord), (Place{5, 2, 3}));
    search.reset();
    EXPECT_EQ(next("fo+", wholeWordRegex), (Place{6, 0, 3}));
    search.reset();
    EXPECT_EQ(previous("foo", wholeWord), (Place{5, 2, 3}));
    EXPECT_EQ(previous("foo", wholeWord), (Place{0, 1, 3}));
    EXPECT_EQ(previous("foo", wholeWord), (Place{6, 0, 3}));
}

TEST_F(SearchTest, CaseFoldingUnlessCaseSensitive)
{
    h.feed("Foo été\r\nfoo");
    EXPECT_EQ(next("FOO"), (Place{0, 0, 3}));
    search.reset();
    EXPECT_EQ(next("foo", caseSensitive), (Place{0, 1, 3}));
    search.reset();
    EXPECT_EQ(next("ÉTÉ"), (Place{4, 0, 3}));
    search.reset();
    EXPECT_EQ(next("ÉTÉ", caseSensitive), std::nullopt);
    search.reset();
    auto r = search.findNext("F[O]+", regex);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->term, "Foo");
}

TEST_F(SearchTest, RegularExpressionsSkipEmptyMatchesAndKeepLineAnchors)
{
    h.feed("abc xx\r\nfoo bar");
    EXPECT_EQ(next("x*", regex), (Place{4, 0, 2}));
    search.reset();
    EXPECT_EQ(next("^bar", regex), std::nullopt);
    search.reset();
    EXPECT_EQ(next("(?<=foo )bar$", regex), (Place{4, 1, 3}));
    // Continuing after a match does not make "^" match mid-line.
    EXPECT_EQ(next("^[a-z]", regex), (Place{0, 0, 1}));
    EXPECT_EQ(next("^[a-z]", regex), (Place{0, 1, 1}));
}

TEST_F(NarrowSearchTest, LineAnchorsDoNotMatchAtWrappedRowStarts)
{
    h.feed("123456789bar");
    EXPECT_EQ(next("^ar", regex), std::nullopt);
    search.reset();
    EXPECT_EQ(next("^1", regex), (Place{0, 0, 1}));
}

TEST_F(SearchTest, InvalidInputFindsNothingAndReportsNothing)
{
    h.feed("a ( b");
    EXPECT_EQ(next("(", regex), std::nullopt);
    EXPECT_TRUE(search.findAllMatches("(", regex, 10).empty());
    EXPECT_EQ(search.lastSelection(), std::nullopt);
    EXPECT_EQ(next("(", plain), (Place{2, 0, 1}));
    search.reset();
    EXPECT_EQ(next("\xff\xfe", plain), std::nullopt);
}

// ICU counts the steps of a match: without the limit these would run for
// ages.
TEST(SearchLimits, CatastrophicBacktrackingIsCutOff)
{
    TerminalHarness h(60, 5, 200);
    for (int i = 0; i < 200; ++i)
        h.feed(std::string(40, 'a') + "!\r\n");
    h.feed("needle");
    SearchService search(*h.terminal);
    EXPECT_EQ(search.findNext("^(a+)+$", regex), std::nullopt);
    EXPECT_TRUE(search.findAllMatches("(a|aa)+$", regex, 10).empty());
    // The next search is not affected.
    EXPECT_EQ(place(search.findNext("needle", plain)), (Place{0, 200, 6}));
}

TEST(SearchLimits, AnOrdinaryExpressionGetsThroughAVeryLongWrappedLine)
{
    TerminalHarness h(100, 5, 2000);
    std::string text;
    for (int i = 0; i < 25000; ++i)
        text += "ab1 ";
    text += "xy 123-x";
    for (size_t at = 0; at < text.size(); at += 4096)
        h.feed(std::string_view(text).substr(at, 4096));
    ASSERT_TRUE(h.buffer().lines()[1000].isWrapped());
    SearchService search(*h.terminal);
    auto r = search.findNext("\\w+\\s+\\w+-x", regex);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->term, "xy 123-x");
    EXPECT_EQ(place(r), (Place{0, 1000, 8}));
}

// --- moving through the matches --------------------------------------------------------------

TEST_F(SearchTest, FindNextMovesOnAndWrapsAround)
{
    h.feed("foo bar foo\r\nbaz foo");
    EXPECT_EQ(next("foo"), (Place{0, 0, 3}));
    EXPECT_EQ(search.lastSelection(), (SearchSelection{{0, 0}, {3, 0}}));
    EXPECT_EQ(next("foo"), (Place{8, 0, 3}));
    EXPECT_EQ(next("foo"), (Place{4, 1, 3}));
    EXPECT_EQ(next("foo"), (Place{0, 0, 3}));
    EXPECT_EQ(next("bar"), (Place{4, 0, 3}));
    EXPECT_EQ(next("bar"), (Place{4, 0, 3}));
}

TEST_F(SearchTest, FindPreviousMovesBackAndWrapsToTheLast)
{
    h.feed("foo bar foo\r\nbaz foo");
    EXPECT_EQ(previous("foo"), (Place{4, 1, 3}));
    search.reset();
    EXPECT_EQ(next("foo"), (Place{0, 0, 3}));
    EXPECT_EQ(previous("foo"), (Place{4, 1, 3}));
    EXPECT_EQ(previous("foo"), (Place{8, 0, 3}));
    EXPECT_EQ(previous("foo"), (Place{0, 0, 3}));
}

TEST_F(SearchTest, AChangedTermRestartsAtTheCurrentMatch)
{
    h.feed("fox foo fox");
    EXPECT_EQ(next("fo"), (Place{0, 0, 2}));
    EXPECT_EQ(next("foo"), (Place{4, 0, 3}));
    EXPECT_EQ(next("fo"), (Place{4, 0, 2}));
    EXPECT_EQ(previous("fox"), (Place{8, 0, 3})) << "the refined term still matches after the current place";
}

TEST_F(NarrowSearchTest, FindPreviousWrapsOntoTheRestOfAWrappedLine)
{
    h.feed("xxxxxxxxxxfoo xxxxxxxxx foo");
    ASSERT_TRUE(h.buffer().lines()[2].isWrapped());
    EXPECT_EQ(next("foo"), (Place{0, 1, 3}));
    EXPECT_EQ(previous("foo"), (Place{4, 2, 3}));
    EXPECT_EQ(previous("foo"), (Place{0, 1, 3}));
}

TEST_F(SearchTest, AnEmptyTermClearsTheState)
{
    h.feed("foo foo");
    next("foo");
    EXPECT_EQ(next("foo"), (Place{4, 0, 3}));
    EXPECT_EQ(next(""), std::nullopt);
    EXPECT_EQ(search.lastSelection(), std::nullopt);
    EXPECT_EQ(search.state().cachedSearchTerm, std::nullopt);
    EXPECT_EQ(search.state().lastSearchOptions, std::nullopt);
    EXPECT_EQ(next("foo"), (Place{0, 0, 3}));
}

TEST_F(SearchTest, FindAllMatchesListsInBufferOrderUpToTheLimit)
{
    h.feed("ab ab ab\r\nab ab");
    auto two = search.findAllMatches("ab", plain, 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(place(two[0]), (Place{0, 0, 2}));
    EXPECT_EQ(place(two[1]), (Place{3, 0, 2}));
    auto all = search.findAllMatches("ab", plain, 100);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(place(all[4]), (Place{3, 1, 2}));
    EXPECT_TRUE(search.findAllMatches("ab", plain, 0).empty());
    EXPECT_TRUE(search.findAllMatches("", plain, 10).empty());
    EXPECT_EQ(search.lastSelection(), std::nullopt);
    EXPECT_EQ(search.state().cachedSearchTerm, std::nullopt);

    auto words = search.findAllMatches("[a-z]+", regex, 100);
    EXPECT_EQ(words.size(), 5u);
}

// --- the cache ------------------------------------------------------------------------------

TEST(SearchCache, OutputThatRotatesTheRingIsSeenWithoutInvalidation)
{
    TerminalHarness h(10, 3, 2);  // five lines in the ring
    SearchService search(*h.terminal);
    h.feed("l0\r\nl1\r\nl2\r\nl3\r\nl4");
    EXPECT_EQ(place(search.findNext("l4", plain)), (Place{0, 4, 2}));
    h.feed("\r\nl5\r\nl6");
    ASSERT_EQ(h.buffer().lines().count(), 5);
    search.reset();
    EXPECT_EQ(place(search.findNext("l6", plain)), (Place{0, 4, 2}));
    auto all = search.findAllMatches("l", plain, 10);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].row, 0);
    EXPECT_EQ(place(search.findNext("l2", plain)), (Place{0, 0, 2}));
}

TEST_F(SearchTest, TheAlternateScreenIsSearchedWhileActive)
{
    h.feed("normal");
    EXPECT_EQ(next("normal"), (Place{0, 0, 6}));
    h.feed("\x1b[?1049halt text");
    EXPECT_EQ(next("normal"), std::nullopt);
    EXPECT_EQ(next("alt"), (Place{6, 0, 3}));  // the cursor keeps its column
    h.feed("\x1b[?1049l");
    EXPECT_EQ(next("normal"), (Place{0, 0, 6}));
}

TEST(SearchCache, ALineWrappedOverManyRowsIsSearchedOnce)
{
    TerminalHarness h(20, 5, 5000);
    std::string text(20 * 4000, 'a');
    text += "end";
    h.feed(text);
    SearchService search(*h.terminal);
    EXPECT_EQ(search.findNext("zzz", plain), std::nullopt);
    // Every row read once, not once for each row of the line.
    const uint64_t rows = search.lineCache().rowsRead();
    EXPECT_LE(rows, uint64_t(h.terminal->activeBuffer().lines().count()));
    EXPECT_EQ(search.findPrevious("zzz", plain), std::nullopt);
    EXPECT_EQ(place(search.findNext("end", plain)), (Place{0, 4000, 3}));
    auto many = search.findAllMatches("aaaa", plain, 20000);
    EXPECT_EQ(many.size(), 20000u);
    EXPECT_EQ(place(many.back()), (Place{16, 3999, 4}));
    EXPECT_EQ(search.lineCache().rowsRead(), rows) << "the later searches found the line in the cache";
}

}  // namespace
}  // namespace ravelgrid
