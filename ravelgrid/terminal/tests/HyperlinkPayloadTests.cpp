// Hyperlink payload atoms are a process-wide, recyclable resource: a terminal
// must register each link once, give atoms back when the cells naming them
// are gone, and never let a recycled atom show up under an old cell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"
#include "tools/TerminalDump.h"

using namespace ravelgrid;

namespace {

class Host : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
    void setTerminalTitle(Terminal&, const std::string& t) override { title = t; }
    void clipboardCopy(Terminal&, std::span<const uint8_t> content) override { copies.emplace_back(content.begin(), content.end()); }
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
    const size_t before = TinyAtom::liveCount();
    {
        Terminal t(&host, size(20, 4, 10));
        t.feed("\x1b]8;id=1;https://a.example\x07" "ab" "\x1b]8;;\x07");
        EXPECT_EQ(TinyAtom::liveCount(), before + 1);
        EXPECT_EQ(t.getLine(0)->cellSpan()[0].payload, t.getLine(0)->cellSpan()[1].payload);
        EXPECT_EQ(t.payloadCodes.size(), 1u);

        t.feed("\x1b]8;;https://unused.example\x07\x1b]8;;\x07");
        EXPECT_EQ(TinyAtom::liveCount(), before + 1);

        // The same link sent again for every piece of text stays one atom.
        t.feed("\x1b]8;;https://b.example\x07x\x1b]8;;https://b.example\x07y\x1b]8;;\x07");
        EXPECT_EQ(TinyAtom::liveCount(), before + 2);
        EXPECT_EQ(linkAt(t, 3, 0), "https://b.example");
    }
    EXPECT_EQ(TinyAtom::liveCount(), before);
}

TEST(HyperlinkPayload, FullResetGivesEveryAtomBack)
{
    Host host;
    const size_t before = TinyAtom::liveCount();
    Terminal t(&host, size(40, 5, 100));
    for (int i = 0; i < 10; ++i)
        t.feed(linked("https://h.example/" + std::to_string(i), "x") + "\r\n");
    t.feed("\x1b]8;;https://open.example\x07y");  // still open at the reset
    EXPECT_EQ(TinyAtom::liveCount(), before + 11);
    t.feed("\x1b" "c");
    EXPECT_EQ(TinyAtom::liveCount(), before);
    EXPECT_TRUE(t.payloadCodes.empty());
    t.feed("z");
    EXPECT_EQ(linkAt(t, 0, 0), std::nullopt);
}

TEST(HyperlinkPayload, AtomsOfLinesThatLeftTheRingAreRecycled)
{
    Host host;
    const size_t before = TinyAtom::liveCount();
    Terminal t(&host, size(20, 5, 10));
    for (int i = 0; i < 5000; ++i)
        t.feed(linked("https://h.example/" + std::to_string(i), "x") + "\r\n");
    // 15 lines can hold links; the rest were released in sweeps.
    EXPECT_LE(TinyAtom::liveCount() - before, 2 * 1024u + 15);
    EXPECT_EQ(linkAt(t, 0, t.activeBuffer().lines().count() - 2), "https://h.example/4999");
}

// Many distinct links through one terminal: the table never runs dry and
// every cell still on screen or in the scrollback names its own link.
TEST(HyperlinkPayload, HundredThousandDistinctLinksKeepWorking)
{
    Host host;
    const size_t before = TinyAtom::liveCount();
    Terminal t(&host, size(30, 10, 500));
    for (int i = 0; i < 100000; ++i) {
        const std::string n = std::to_string(i);
        t.feed(linked("https://h.example/" + n, n) + "\r\n");
    }
    EXPECT_LT(TinyAtom::liveCount() - before, 4096u);
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

TEST(HyperlinkPayload, AFullTableLeavesTextUnlinkedAndRecovers)
{
    Host host;
    Terminal t(&host, size(20, 4, 10));
    std::vector<uint16_t> filler;
    while (auto atom = TinyAtom::lookup("filler"))
        filler.push_back(atom->code);
    t.feed(linked("https://a.example", "a"));
    EXPECT_EQ(linkAt(t, 0, 0), std::nullopt);
    EXPECT_TRUE(t.payloadCodes.empty());
    TinyAtom::releaseAtoms(filler);
    t.feed(linked("https://a.example", "b"));
    EXPECT_EQ(linkAt(t, 1, 0), "https://a.example");
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
