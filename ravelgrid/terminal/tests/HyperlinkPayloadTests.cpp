// Hyperlink payload atoms are a recyclable resource of each terminal: a
// terminal must register each link once, give atoms back when the cells
// naming them are gone, never let a recycled atom show up under an old cell,
// and never run short because another terminal holds many links.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

class Host : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
    void setTerminalTitle(Terminal&, const std::string& t) override { title = t; }
    void clipboardCopy(Terminal&, std::span<const uint8_t> content) override
    {
        copies.emplace_back(content.begin(), content.end());
    }
    std::string title;
    std::vector<std::vector<uint8_t>> copies;
};

TerminalOptions size(int cols, int rows, int scrollback)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    o.scrollback = scrollback;
    return o;
}

std::optional<std::string> linkAt(Terminal& t, int col, int row)
{
    auto m = t.linkMatch(LinkLookupLocation::buffer({col, row}), LinkLookupMode::explicitOnly);
    return m ? std::optional(m->text) : std::nullopt;
}

std::string linked(const std::string& uri, const std::string& text)
{
    return "\x1b]8;;" + uri + "\x07" + text + "\x1b]8;;\x07";
}

}  // namespace

TEST(HyperlinkPayload, OneAtomPerLinkAndNoneForALinkThatPrintsNothing)
{
    Host host;
    Terminal t(&host, size(20, 4, 10));
    t.feed("\x1b]8;id=1;https://a.example\x07"
           "ab"
           "\x1b]8;;\x07");
    EXPECT_EQ(t.payloadTable().liveCount(), 1u);
    EXPECT_EQ(t.getLine(0)->cellSpan()[0].payload, t.getLine(0)->cellSpan()[1].payload);

    t.feed("\x1b]8;;https://unused.example\x07\x1b]8;;\x07");
    EXPECT_EQ(t.payloadTable().liveCount(), 1u);

    // The same link sent again for every piece of text stays one atom.
    t.feed("\x1b]8;;https://b.example\x07x\x1b]8;;https://b.example\x07y\x1b]8;;\x07");
    EXPECT_EQ(t.payloadTable().liveCount(), 2u);
    EXPECT_EQ(linkAt(t, 3, 0), "https://b.example");
}

TEST(HyperlinkPayload, FullResetGivesEveryAtomBack)
{
    Host host;
    Terminal t(&host, size(40, 5, 100));
    for (int i = 0; i < 10; ++i)
        t.feed(linked("https://h.example/" + std::to_string(i), "x") + "\r\n");
    t.feed("\x1b]8;;https://open.example\x07y");  // still open at the reset
    EXPECT_EQ(t.payloadTable().liveCount(), 11u);
    t.feed("\x1b"
           "c");
    EXPECT_EQ(t.payloadTable().liveCount(), 0u);
    t.feed("z");
    EXPECT_EQ(linkAt(t, 0, 0), std::nullopt);
}

TEST(HyperlinkPayload, AtomsOfLinesThatLeftTheRingAreRecycled)
{
    Host host;
    Terminal t(&host, size(20, 5, 10));
    for (int i = 0; i < 5000; ++i)
        t.feed(linked("https://h.example/" + std::to_string(i), "x") + "\r\n");
    // 15 lines can hold links; the rest were released in sweeps.
    EXPECT_LE(t.payloadTable().liveCount(), 2 * 1024u + 15);
    EXPECT_EQ(linkAt(t, 0, t.activeBuffer().lines().count() - 2), "https://h.example/4999");
}

// Many distinct links through one terminal: the table never runs dry and
// every cell still on screen or in the scrollback names its own link.
TEST(HyperlinkPayload, HundredThousandDistinctLinksKeepWorking)
{
    Host host;
    Terminal t(&host, size(30, 10, 500));
    for (int i = 0; i < 100000; ++i) {
        const std::string n = std::to_string(i);
        t.feed(linked("https://h.example/" + n, n) + "\r\n");
    }
    EXPECT_LT(t.payloadTable().liveCount(), 4096u);
    auto& ring = t.activeBuffer().lines();
    int checked = 0;
    for (int row = 0; row < ring.count(); ++row) {
        const std::string text = t.translateBufferLineToString(t.activeBuffer(), row, 0, -1);
        if (text.empty())
            continue;
        ASSERT_EQ(linkAt(t, 0, row), "https://h.example/" + text) << "row " << row;
        ++checked;
    }
    EXPECT_EQ(checked, 509);
    EXPECT_EQ(t.translateBufferLineToString(t.activeBuffer(), ring.count() - 2, 0, -1), "99999");
}

// Every cell of a 100x700 screen and scrollback names a link of its own:
// more live links than one table holds.
void fillWithLiveLinks(Terminal& t, const std::string& prefix)
{
    std::string feed;
    for (int i = 0; i < 70000; ++i)
        feed += linked(prefix + std::to_string(i), "x");
    t.feed(feed);
}

TEST(HyperlinkPayload, AFullTableLeavesTextUnlinkedAndRecovers)
{
    Host host;
    Terminal t(&host, size(100, 10, 690));
    fillWithLiveLinks(t, "https://a.example/");
    EXPECT_EQ(t.payloadTable().liveCount(), size_t{PayloadTable::maxCode});
    EXPECT_TRUE(t.payloadTable().full());
    // The screen's rows hold the links that found no code; write over one.
    const int top = t.activeBuffer().lines().count() - t.rows;
    t.feed("\x1b[H" + linked("https://late.example", "z"));
    EXPECT_EQ(linkAt(t, 0, top), std::nullopt) << "no code left: plain text";
    EXPECT_EQ(t.activeBuffer().lines()[top][0].code, 'z');

    // Once the linked cells are gone, later links find codes again.
    t.feed("\x1b[3J\x1b[2J\x1b[H");
    for (int i = 0; i < 5000; ++i)
        t.feed(linked("https://again.example/" + std::to_string(i), "y") + "\r");
    EXPECT_EQ(linkAt(t, 0, t.activeBuffer().lines().count() - t.rows), "https://again.example/4999");
}

// Each terminal has its own table: one that fills it leaves the others
// linking as before.
TEST(HyperlinkPayload, ATerminalThatFillsItsTableDoesNotStarveAnother)
{
    Host floodHost, quietHost;
    Terminal flood(&floodHost, size(100, 10, 690));
    Terminal quiet(&quietHost, size(20, 4, 10));
    quiet.feed(linked("https://before.example", "a"));
    fillWithLiveLinks(flood, "https://flood.example/");
    EXPECT_TRUE(flood.payloadTable().full());
    quiet.feed(linked("https://after.example", "b"));
    EXPECT_EQ(linkAt(quiet, 0, 0), "https://before.example");
    EXPECT_EQ(linkAt(quiet, 1, 0), "https://after.example");
    EXPECT_EQ(quiet.payloadTable().liveCount(), 2u);
    // The flooding terminal goes on working, unlinked.
    const int top = flood.activeBuffer().lines().count() - flood.rows;
    flood.feed("\x1b[Hplain" + linked("https://more.example", "text"));
    EXPECT_EQ(flood.translateBufferLineToString(flood.activeBuffer(), top, 0, 9), "plaintext");
    EXPECT_EQ(linkAt(flood, 6, top), std::nullopt);
}

// A full table sweeps its screens only now and then: a link into a full
// table costs a few cell visits, however many cells the screens hold.
TEST(HyperlinkPayload, LinksIntoAFullTableCostAFewCellVisitsEach)
{
    Host host;
    Terminal full(&host, size(100, 10, 10000));
    fillWithLiveLinks(full, "https://a.example/");
    // Then 9,000 lines of text: a million cells for every sweep to visit.
    std::string text;
    for (int i = 0; i < 9000; ++i)
        text += "\r\n" + std::string(100, 'y');
    full.feed(text);
    // Keep every code live: new links overwrite the first row of the screen.
    full.feed("\x1b[?7l\x1b[H");
    ASSERT_TRUE(full.payloadTable().full());
    std::size_t oneSweep = 0;
    for (Buffer* b : {full.normalBuffer.get(), full.altBuffer.get()})
        for (int r = 0; r < b->lines().count(); ++r)
            oneSweep += b->lines()[r].storedCells().size();
    ASSERT_GT(oneSweep, 900'000u);

    constexpr std::size_t links = 200000;
    std::string feed;
    for (std::size_t i = 0; i < links; ++i)
        feed += linked("https://b.example/" + std::to_string(i), "x");
    const std::size_t before = full.payloadCellsSwept();
    full.feed(feed);
    const std::size_t swept = full.payloadCellsSwept() - before;
    // Sweeping every few hundred links visited a million cells each time:
    // hundreds of millions here.
    EXPECT_LE(swept, oneSweep + 20 * links) << swept << " cells for " << links << " links";
}

TEST(HyperlinkPayload, AnOverlongLinkIsNotStarted)
{
    Host host;
    Terminal t(&host, size(20, 4, 10));
    t.feed(linked("https://a.example/" + std::string(Terminal::kMaxHyperlinkBytes, 'x'), "a"));
    t.feed(linked("https://a.example/" + std::string(Terminal::kMaxHyperlinkBytes - 40, 'x'), "b"));
    EXPECT_EQ(linkAt(t, 0, 0), std::nullopt);
    EXPECT_TRUE(linkAt(t, 1, 0).has_value());
}

TEST(OscLimits, LongTitlesAreCutOnACharacterBoundary)
{
    Host host;
    Terminal t(&host, size(20, 4, 10));
    std::string text = "a";
    for (int i = 0; i < 3000; ++i)
        text += "\xc3\xa9";
    t.feed("\x1b]2;" + text + "\x07");
    EXPECT_EQ(host.title.size(), Terminal::kMaxTitleBytes - 1);
    EXPECT_EQ(host.title, text.substr(0, Terminal::kMaxTitleBytes - 1));
}

TEST(OscLimits, ClipboardWritesAreCapped)
{
    Host host;
    Terminal t(&host, size(20, 4, 10));
    auto base64Of = [](size_t bytes) {
        // "AAAA" is three zero bytes.
        std::string s(bytes / 3 * 4, 'A');
        if (bytes % 3 == 1)
            s += "AA==";
        else if (bytes % 3 == 2)
            s += "AAA=";
        return s;
    };
    t.feed("\x1b]52;c;" + base64Of(Terminal::kMaxClipboardWriteBytes) + "\x07");
    ASSERT_EQ(host.copies.size(), 1u);
    EXPECT_EQ(host.copies[0].size(), Terminal::kMaxClipboardWriteBytes);
    t.feed("\x1b]52;c;" + base64Of(Terminal::kMaxClipboardWriteBytes + 3) + "\x07");
    EXPECT_EQ(host.copies.size(), 1u);
}
