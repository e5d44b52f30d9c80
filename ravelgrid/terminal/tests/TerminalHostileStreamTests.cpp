// Streams and resizes that once stalled the terminal or exhausted memory.
// The memory-heavy ones run in a forked child whose address space is capped
// (so a regression fails fast instead of taking the machine) and whose peak
// resident size is read when it ends.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "ravelgrid/terminal/Terminal.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAVELGRID_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define RAVELGRID_TEST_ASAN 1
#endif

using namespace ravelgrid;

namespace {

#if defined(RAVELGRID_TEST_ASAN)
// The sanitizer reserves huge address space, quarantines freed blocks and
// runs several times slower: sizes shrink and resident sizes tell nothing.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class NullHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

TerminalOptions options(int cols, int rows, int scrollback)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    o.scrollback = scrollback;
    return o;
}

struct ChildRun {
    bool succeeded = false;
    long peakMiB = 0;
};

// Runs `work` in a child with at most `limitMiB` of address space; it
// succeeds when `work` returns true.
template <typename Work>
ChildRun inChild(long limitMiB, Work&& work)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (!kSanitized) {
            const rlim_t bytes = static_cast<rlim_t>(limitMiB) << 20;
            rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_AS, &limit);
        }
        bool ok = false;
        try {
            ok = work();
        } catch (...) {
            ok = false;
        }
        _exit(ok ? 0 : 1);
    }
    ChildRun run;
    int status = 0;
    rusage usage{};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        run.peakMiB = usage.ru_maxrss / 1024;
    }
    return run;
}

// Feeds `count` lines made by `line(i)`, in chunks.
template <typename Line>
void feedLines(Terminal& t, int count, Line&& line)
{
    std::string chunk;
    for (int i = 0; i < count; ++i) {
        chunk += line(i);
        chunk += "\r\n";
        if (chunk.size() > (64u << 10)) {
            t.feed(chunk);
            chunk.clear();
        }
    }
    t.feed(chunk);
}

// Line i of a history: one letter, the last one replaced by '!'.
std::string historyLine(int i, size_t length)
{
    std::string line(length, static_cast<char>('a' + i % 26));
    line.back() = '!';
    return line;
}

std::string rowText(Terminal& t, int ringRow)
{
    return t.normalBuffer->lines()[ringRow].toText(true);
}

// A switch to the alternate screen lays out its rows blank, one cell each
// until written, not a million cells. Where every switch rebuilt the rows
// at full width this took about twenty seconds (bench/hostile_stream_bench's
// BM_AltScreenSwitches2000x500 times it).
TEST(HostileStreams, AThousandScreenSwitchesCostRowsNotCells)
{
    NullHost host;
    Terminal t(&host, options(2000, 500, 100));
    t.feed("normal text");
    std::string stream;
    constexpr int switches = 1000;
    for (int i = 0; i < switches; ++i)
        stream += "\x1b[?1049h\x1b[?1049l";
    const uint64_t before = t.altBuffer->cellsBlanked();
    t.feed(stream);
    const uint64_t blanked = t.altBuffer->cellsBlanked() - before;
    // The first switch finds the rows made with the terminal.
    EXPECT_GE(blanked, uint64_t(switches - 1) * 500);
    EXPECT_LE(blanked, uint64_t(switches) * 500 * 2) << "a billion when each switch made its rows 2000 cells wide";

    // Still what the modes promise: a cleared alternate screen each time,
    // the normal screen as it was.
    EXPECT_EQ(t.getLine(0)->toText(true), "normal text");
    t.feed("\x1b[?1049h\x1b[Halt\x1b[?1049l\x1b[?1049h");
    EXPECT_TRUE(t.isCurrentBufferAlternate());
    EXPECT_EQ(t.getLine(0)->toText(true), "");
    EXPECT_EQ(t.buffer->lines().count(), 500);
    EXPECT_EQ(t.buffer->lines()[499].dataSize(), 2000);
    t.feed("\x1b[?1049l");
    EXPECT_EQ(t.getLine(0)->toText(true), "normal text");
}

TEST(HostileStreams, ScrollbackOfShortLinesFollowsContentNotWidth)
{
    // A million short lines on 1000 columns were 23 GB of cells.
    const int count = kSanitized ? 100'000 : 1'000'000;
    const ChildRun run = inChild(1024, [=] {
        NullHost host;
        Terminal t(&host, options(1000, 50, 1'000'000));
        feedLines(t, count, [](int i) { return std::to_string(i % 1000); });
        // Lines deep in the scrollback still read back, and widen when edited.
        // The cursor stands on the row after the last line.
        const int last = t.normalBuffer->lines().count() - 2;
        const bool readBack = rowText(t, last) == std::to_string((count - 1) % 1000) && rowText(t, 0) == "0" &&
                              t.normalBuffer->lines()[0].dataSize() == 1000;
        t.normalBuffer->lines()[1].set(999, t.normalBuffer->lines()[1][0]);
        return readBack && t.normalBuffer->lines()[1].trimmedLength() == 1000;
    });
    EXPECT_TRUE(run.succeeded);
    if (!kSanitized) {
        EXPECT_LT(run.peakMiB, 300);
    }
}

TEST(HostileStreams, ScrollbackOfFullerLinesFollowsContent)
{
    const int count = kSanitized ? 20'000 : 100'000;
    const ChildRun run = inChild(1024, [=] {
        NullHost host;
        Terminal t(&host, options(120, 40, 100'000));
        const std::string line(100, 'x');
        feedLines(t, count, [&](int) { return line; });
        return rowText(t, 0) == line;
    });
    EXPECT_TRUE(run.succeeded);
    if (!kSanitized) {
        EXPECT_LT(run.peakMiB, 100);
    }
}

TEST(HostileStreams, ReflowToTheSmallestSizeIsBoundedByItsResult)
{
    // 400 columns with 10,000 lines of history, resized to 2x1, built every
    // wrapped row at the old width first: 7.7 GB, then an abort.
    const int scrollback = kSanitized ? 2'000 : 10'000;
    const ChildRun run = inChild(1024, [=] {
        NullHost host;
        Terminal t(&host, options(400, 50, scrollback));
        feedLines(t, scrollback + 50, [](int i) { return historyLine(i, 400); });
        t.feed("end");
        t.resize(2, 1);
        Buffer& b = *t.normalBuffer;
        const int n = b.lines().count();
        // The ring is full of two-column rows and ends with the latest text.
        bool ok = n == scrollback + 1 && b.cols() == 2 && b.rows() == 1;
        for (int i = 0; i < n && ok; ++i)
            ok = b.lines()[i].dataSize() == 2;
        return ok && rowText(t, n - 1) == "d" && rowText(t, n - 2) == "en" && rowText(t, n - 3).back() == '!' &&
               t.buffer->y() == 0;
    });
    EXPECT_TRUE(run.succeeded);
    if (!kSanitized) {
        EXPECT_LT(run.peakMiB, 300);
    }
}

TEST(HostileStreams, ReflowWithTheCursorOnTheTopRowIsBoundedByItsResult)
{
    // A full 2000x1000 screen under a prompt on its top row, resized to 2x1:
    // the million two-column rows below the prompt have no place on the new
    // screen and are not built; the history above fills the ring.
    const ChildRun run = inChild(1024, [] {
        NullHost host;
        Terminal t(&host, options(2000, 1000, 100));
        feedLines(t, 1100, [](int i) { return historyLine(i, 2000); });
        t.feed("\x1b[H\x1b[2K$ ");
        t.resize(2, 1);
        Buffer& b = *t.normalBuffer;
        const int n = b.lines().count();
        bool ok = n == 101 && b.yBase() == 100 && b.y() == 0 && rowText(t, n - 1) == "$ ";
        for (int i = 0; i < n - 1 && ok; ++i)
            ok = b.lines()[i].dataSize() == 2 && !rowText(t, i).empty();
        return ok;
    });
    EXPECT_TRUE(run.succeeded);
    if (!kSanitized) {
        EXPECT_LT(run.peakMiB, 150);
    }
}

TEST(HostileStreams, WideningAfterTheSmallestSizeIsBoundedByItsResult)
{
    // 400x100 with 100,000 lines of history, resized to 2x1 and then to
    // 4096 columns, made every two-column row 4096 cells wide before
    // joining them: 9.4 GB.
    const int scrollback = kSanitized ? 2'000 : 100'000;
    const ChildRun run = inChild(1024, [=] {
        NullHost host;
        Terminal t(&host, options(400, 100, scrollback));
        auto length = [](int i) { return static_cast<size_t>(1 + i * 37 % 400); };
        feedLines(t, scrollback + 100, [&](int i) { return historyLine(i, length(i)); });
        t.feed("end");
        t.resize(2, 1);
        t.resize(4096, 100);
        Buffer& b = *t.normalBuffer;
        const int last = b.yBase() + b.y();
        // Whole lines again, the cursor after the latest text.
        const int i = scrollback + 99;
        return rowText(t, last) == "end" && b.x() == 3 && rowText(t, last - 1) == historyLine(i, length(i)) &&
               !b.lines()[last].isWrapped() && !b.lines()[last - 1].isWrapped() && b.lines()[last].dataSize() == 4096;
    });
    EXPECT_TRUE(run.succeeded);
    if (!kSanitized) {
        EXPECT_LT(run.peakMiB, 300);
    }
}

// Rows that left the screen read, search and reflow the same whether they
// were packed or not.
TEST(HostileStreams, PackedScrollbackReadsAndReflowsAsWritten)
{
    NullHost host;
    Terminal packed(&host, options(80, 6, 400));
    Terminal plain(&host, options(80, 6, 400));
    packed.normalBuffer->unpackedScrollbackBudget = 0;
    plain.normalBuffer->unpackedScrollbackBudget = SIZE_MAX;
    std::string stream;
    for (int i = 0; i < 120; ++i) {
        stream += "\x1b[3" + std::to_string(i % 8) + "mline " + std::to_string(i) + "\x1b[m ";
        if (i % 3 == 0)
            stream += "\xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x91\x8b\xf0\x9f\x8f\xbd";  // wide text, an emoji cluster
        if (i % 4 == 0)
            stream += "\x1b[44m\x1b[K\x1b[m";  // a blue blank tail
        if (i % 5 == 0)
            stream += std::string(150, static_cast<char>('a' + i % 26));  // soft-wrapped
        stream += "\r\n";
    }
    packed.feed(stream);
    plain.feed(stream);

    // The number of packed rows, or -1 at the first difference.
    auto compare = [&](const char* when) -> int {
        auto& a = packed.normalBuffer->lines();
        auto& b = plain.normalBuffer->lines();
        if (a.count() != b.count()) {
            ADD_FAILURE() << when << ": " << a.count() << " rows against " << b.count();
            return -1;
        }
        int packedRows = 0;
        for (int i = 0; i < a.count(); ++i) {
            packedRows += a[i].isPacked() ? 1 : 0;
            if (a[i].isWrapped() != b[i].isWrapped() || a[i].trimmedLength() != b[i].trimmedLength() ||
                a[i].cells() != b[i].cells()) {
                ADD_FAILURE() << when << ": row " << i << " differs: " << a[i].toText(true) << " | "
                              << b[i].toText(true);
                return -1;
            }
        }
        return packedRows;
    };
    EXPECT_GT(compare("after output"), 100);
    packed.resize(37, 6);
    plain.resize(37, 6);
    EXPECT_GE(compare("narrower"), 0);
    packed.resize(151, 9);
    plain.resize(151, 9);
    EXPECT_GE(compare("wider"), 0);
}

}  // namespace
