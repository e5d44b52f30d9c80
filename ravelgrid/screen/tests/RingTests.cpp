#include <deque>
#include <random>

#include <gtest/gtest.h>

#include "platform/Log.h"
#include "ravelgrid/screen/CircularBufferLineList.h"
#include "ravelgrid/screen/CircularList.h"

using namespace ravelgrid;

namespace {

// Lines are told apart by the code of their first cell.
BufferLinePtr named(char name, bool withImage = false)
{
    auto line = std::make_shared<BufferLine>(4);
    CharData c;
    c.code = name;
    line->set(0, c);
    if (withImage)
        line->setImages(TerminalImageList{std::make_shared<TerminalImage>()});
    return line;
}

std::string order(CircularBufferLineList& ring)
{
    std::string out;
    for (int i = 0; i < ring.count(); ++i)
        out += static_cast<char>(ring[i][0].code);
    return out;
}

struct Dirty : RowDirtySink {
    std::vector<int> rows;
    void markSplicedRowDirty(int row) override { rows.push_back(row); }
};

struct Counters {
    int pushed = 0;
    int pushedWithImages = 0;
    int dropped = 0;
    int recycledWithImages = 0;
    void attach(CircularBufferLineList& ring)
    {
        ring.onLinePushed = [this](bool images) {
            ++pushed;
            pushedWithImages += images;
        };
        ring.onLineDropped = [this](bool images) { dropped += images; };
        ring.onLineRecycled = [this](bool images) { recycledWithImages += images; };
        ring.makeEmpty = [](int) { return named('.'); };
    }
};

}  // namespace

TEST(Ring, PushIntoAFullRingDropsTheOldest)
{
    CircularBufferLineList ring(3);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCD"))
        ring.push(named(c));
    EXPECT_EQ(order(ring), "BCD");
    EXPECT_EQ(ring.startIndex(), 1);
    EXPECT_EQ(counters.pushed, 4);
    EXPECT_TRUE(ring.isFull());
    for (char c : std::string("EFGH"))
        ring.push(named(c));
    EXPECT_EQ(order(ring), "FGH");  // wrapped around the storage more than once
}

TEST(Ring, DroppingALineWithImagesIsReported)
{
    CircularBufferLineList ring(2);
    Counters counters;
    counters.attach(ring);
    ring.push(named('A', true));
    ring.push(named('B'));
    ring.push(named('C'));
    EXPECT_EQ(counters.pushedWithImages, 1);
    EXPECT_EQ(counters.dropped, 1);
}

TEST(Ring, RecycleReusesTheOldestLineObject)
{
    CircularBufferLineList ring(3);
    Counters counters;
    counters.attach(ring);
    ring.push(named('A', true));
    ring.push(named('B'));
    ring.push(named('C'));
    const BufferLine* oldest = ring.get(0).get();
    ring[0].setWrapped(true);
    ring[0].setSemanticMark(SemanticPromptKind::initial, 1, 1);
    const auto recycleGeneration = ring[0].recycleGeneration();

    Attribute erase;
    erase.bg = Attribute::Color::ansi256(4);
    BufferLine& reused = ring.recycle(erase);
    EXPECT_EQ(&reused, oldest);
    EXPECT_EQ(ring.get(2).get(), oldest);
    EXPECT_EQ(order(ring), std::string("BC") + '\0');
    EXPECT_FALSE(reused.isWrapped());
    EXPECT_FALSE(reused.hasImages());
    EXPECT_TRUE(reused.semanticMarks().empty());
    EXPECT_EQ(reused[3].attribute, erase);
    EXPECT_EQ(reused.recycleGeneration(), recycleGeneration + 1);
    EXPECT_EQ(counters.recycledWithImages, 1);
}

TEST(Ring, RecycleOnARingThatIsNotFullStops)
{
    CircularBufferLineList ring(3);
    ring.push(named('A'));
    EXPECT_DEATH(ring.recycle(Attribute{}), "");
}

TEST(Ring, StorageGrowsLazilyAndKeepsOrder)
{
    CircularBufferLineList ring(1'000'000);
    Counters counters;
    counters.attach(ring);
    for (int i = 0; i < 300; ++i)
        ring.push(named(static_cast<char>('a' + i % 26)));
    EXPECT_EQ(ring.count(), 300);
    EXPECT_EQ(ring[0][0].code, 'a');
    EXPECT_EQ(ring[299][0].code, 'a' + 299 % 26);
}

TEST(Ring, RaisingMaxLengthOnARotatedRingKeepsOrder)
{
    CircularBufferLineList ring(3);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCD"))
        ring.push(named(c));
    ring.setMaxLength(5);
    EXPECT_EQ(order(ring), "BCD");
    ring.push(named('E'));
    ring.push(named('F'));
    EXPECT_EQ(order(ring), "BCDEF");
    EXPECT_EQ(ring.startIndex(), 0);
    ring.push(named('G'));
    EXPECT_EQ(order(ring), "CDEFG");
}

TEST(Ring, LoweringMaxLengthKeepsTheFirstLines)
{
    CircularBufferLineList ring(5);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCDEFG"))
        ring.push(named(c));
    ring.setMaxLength(2);
    EXPECT_EQ(ring.count(), 2);
    EXPECT_EQ(order(ring), "CD");
}

TEST(Ring, ShiftElementsRejectsBadArguments)
{
    std::vector<std::string> messages;
    platform::setLogSink([&](platform::LogLevel, std::string_view, std::string_view m) { messages.emplace_back(m); });
    CircularBufferLineList ring(4);
    ring.push(named('A'));
    ring.push(named('B'));
    EXPECT_FALSE(ring.shiftElements(1, 1, -2));
    EXPECT_FALSE(ring.shiftElements(0, -1, 1));
    EXPECT_FALSE(ring.shiftElements(2, 1, 1));
    EXPECT_FALSE(ring.shiftElements(-1, 1, 1));
    platform::setLogSink(nullptr);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "Assertion at start=1 count=1 offset=-2: start+offset <= 0");
    EXPECT_EQ(messages[1], "Assertion at start=0 count=-1 offset=1: count < 0");
    EXPECT_EQ(messages[2], "Assertion at start=2 count=1 offset=1: start >= self.count");
    EXPECT_EQ(messages[3], "Assertion at start=-1 count=1 offset=1: ");
    EXPECT_EQ(order(ring), "AB");
}

TEST(Ring, ShiftElementsOntoRowZeroIsRefused)
{
    std::vector<std::string> messages;
    platform::setLogSink([&](platform::LogLevel, std::string_view, std::string_view m) { messages.emplace_back(m); });
    CircularBufferLineList ring(3);
    for (char c : std::string("ABC"))
        ring.push(named(c));
    EXPECT_FALSE(ring.shiftElements(1, 2, -1));
    EXPECT_FALSE(ring.shiftElements(0, 2, 0));
    EXPECT_TRUE(ring.shiftElements(2, 1, -1));  // onto row 1 is fine
    platform::setLogSink(nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "Assertion at start=1 count=2 offset=-1: start+offset <= 0");
    EXPECT_EQ(messages[1], "Assertion at start=0 count=2 offset=0: start+offset <= 0");
    EXPECT_EQ(order(ring), "ACC");
}

TEST(Ring, ShiftElementsMovesLines)
{
    CircularBufferLineList ring(6);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCDE"))
        ring.push(named(c));
    EXPECT_TRUE(ring.shiftElements(1, 2, 2));  // B C to rows 3 4; rows 1 2 keep their old lines
    EXPECT_EQ(order(ring), "ABCBC");
    EXPECT_TRUE(ring.shiftElements(3, 2, -2));
    EXPECT_EQ(order(ring), "ABCBC");
    EXPECT_TRUE(ring.shiftElements(4, 1, 1));  // grows the count
    EXPECT_EQ(order(ring), "ABCBCC");
}

TEST(Ring, ShiftElementsPastAFullRingDropsTheOldest)
{
    CircularBufferLineList ring(3);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABC"))
        ring.push(named(c));
    EXPECT_TRUE(ring.shiftElements(1, 1, 2));
    EXPECT_EQ(ring.count(), 3);
    EXPECT_EQ(order(ring), "BCB");

    CircularBufferLineList big(4);
    counters.attach(big);
    for (char c : std::string("ABCD"))
        big.push(named(c));
    EXPECT_TRUE(big.shiftElements(1, 3, 3));  // far past the end: only the moved lines survive
    EXPECT_EQ(order(big), "DBCD");
}

TEST(Ring, SpliceReplacesLinesAndReportsDirtyRows)
{
    CircularBufferLineList ring(5);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCD"))
        ring.push(named(c));
    Dirty dirty;
    const BufferLinePtr items[] = {named('x')};
    ring.splice(1, 1, items, &dirty);
    EXPECT_EQ(order(ring), "AxCD");
    EXPECT_EQ(ring.count(), 4);
    EXPECT_FALSE(dirty.rows.empty());
    for (int row : dirty.rows)
        EXPECT_TRUE(row >= 1 && row <= 3) << row;

    ring.splice(2, 0, items, nullptr);
    EXPECT_EQ(order(ring), "AxxCD");
    ring.splice(0, 3, {}, nullptr);
    EXPECT_EQ(order(ring), "CD");
}

TEST(Ring, SpliceIntoAFullRingDropsTheOldestAndKeepsOrder)
{
    // The scroll core inserts below a short scroll region on a full ring.
    CircularBufferLineList ring(5);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCDEFG"))  // rotated: CDEFG
        ring.push(named(c));
    const BufferLinePtr items[] = {named('x')};
    ring.splice(3, 0, items, nullptr);
    EXPECT_EQ(order(ring), "DExFG");
    EXPECT_EQ(ring.count(), 5);

    const BufferLinePtr many[] = {named('1'), named('2'), named('3')};
    ring.splice(1, 0, many, nullptr);  // more falls out than lies before the insertion point
    EXPECT_EQ(order(ring), "3ExFG");

    ring.splice(4, 1, many, nullptr);
    EXPECT_EQ(order(ring), "xF123");
}

TEST(Ring, SpliceDroppingLinesWithImagesIsReported)
{
    CircularBufferLineList ring(3);
    Counters counters;
    counters.attach(ring);
    ring.push(named('A', true));
    ring.push(named('B', true));
    ring.push(named('C'));
    const BufferLinePtr items[] = {named('x')};
    ring.splice(1, 1, items, nullptr);  // B deleted
    ring.splice(3, 0, items, nullptr);  // A falls out
    EXPECT_EQ(counters.dropped, 2);
}

TEST(Ring, TrimStartReleasesTheOldestLines)
{
    CircularBufferLineList ring(4);
    Counters counters;
    counters.attach(ring);
    for (char c : std::string("ABCDEF"))
        ring.push(named(c));
    std::weak_ptr<BufferLine> oldest = ring.get(0);
    ring.trimStart(2);
    EXPECT_EQ(order(ring), "EF");
    EXPECT_TRUE(oldest.expired());
    ring.push(named('G'));
    EXPECT_EQ(order(ring), "EFG");
}

TEST(Ring, EmptySlotsAreMaterialisedOnAccess)
{
    CircularBufferLineList ring(4);
    ring.makeEmpty = [](int) { return named('.'); };
    ring.setCount(3);
    EXPECT_EQ(order(ring), "...");
    EXPECT_EQ(ring.peek(1), ring.get(1).get());
    EXPECT_DEATH(ring.setCount(5), "");
}

TEST(Ring, RandomOperationsMatchASimpleModel)
{
    // The ring against a deque that does the same thing the slow way.
    std::mt19937 rng(1234);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 40; ++round) {
        int maxLength = pick(1, 12);
        CircularBufferLineList ring(maxLength);
        ring.makeEmpty = [](int) { return named('.'); };
        std::deque<BufferLinePtr> model;
        auto trim = [&] {
            while (static_cast<int>(model.size()) > maxLength)
                model.pop_front();
        };
        for (int step = 0; step < 400; ++step) {
            const int size = static_cast<int>(model.size());
            switch (pick(0, 6)) {
            case 0:
            case 1: {
                auto line = named('n');
                ring.push(line);
                model.push_back(line);
                trim();
                break;
            }
            case 2:
                if (size == maxLength) {
                    ring.recycle(Attribute{});
                    model.push_back(model.front());
                    model.pop_front();
                }
                break;
            case 3: {
                const int start = pick(0, size);
                const int del = pick(0, size - start);
                std::vector<BufferLinePtr> items;
                for (int i = pick(0, 3); i > 0; --i)
                    items.push_back(named('s'));
                ring.splice(start, del, items, nullptr);
                model.erase(model.begin() + start, model.begin() + start + del);
                model.insert(model.begin() + start, items.begin(), items.end());
                // Overflow drops the oldest lines of the result.
                trim();
                break;
            }
            case 4: {
                const int n = pick(0, size);
                ring.trimStart(n);
                model.erase(model.begin(), model.begin() + n);
                break;
            }
            case 5: {
                maxLength = pick(1, 12);
                ring.setMaxLength(maxLength);
                if (static_cast<int>(model.size()) > maxLength)
                    model.resize(static_cast<size_t>(maxLength));
                break;
            }
            case 6: {
                if (size < 2)
                    break;
                // Moves within the lines in use, as insert and delete line
                // do, never onto row 0.
                const int start = pick(0, size - 1);
                const int offset = pick(1 - start, size - 1 - start);
                const int count = pick(0, size - start - std::max(offset, 0));
                ASSERT_TRUE(ring.shiftElements(start, count, offset));
                std::vector<BufferLinePtr> v(model.begin(), model.end());
                if (offset > 0) {
                    for (int i = count - 1; i >= 0; --i)
                        v[static_cast<size_t>(start + i + offset)] = v[static_cast<size_t>(start + i)];
                } else {
                    for (int i = 0; i < count; ++i)
                        v[static_cast<size_t>(start + i + offset)] = v[static_cast<size_t>(start + i)];
                }
                model.assign(v.begin(), v.end());
                break;
            }
            }
            ASSERT_EQ(ring.count(), static_cast<int>(model.size())) << "round " << round << " step " << step;
            ASSERT_LE(ring.count(), ring.maxLength());
            for (int i = 0; i < ring.count(); ++i)
                ASSERT_EQ(ring.get(i).get(), model[static_cast<size_t>(i)].get())
                    << "round " << round << " step " << step << " row " << i;
        }
    }
}

TEST(CircularList, PushWrapsAndIndexesFromTheOldest)
{
    CircularList<int> list(3);
    for (int v : {1, 2, 3, 4, 5})
        list.push(v);
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(list[0], 3);
    EXPECT_EQ(list[2], 5);
    list.set(1, 40);
    EXPECT_EQ(list[1], 40);

    CircularList<int> lazy(4);
    lazy.makeEmpty = [](int slot) { return 100 + slot; };
    lazy.setCount(2);
    EXPECT_EQ(lazy[1], 101);
    EXPECT_DEATH(lazy.setCount(5), "");
}
