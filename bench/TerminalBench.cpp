// Throughput of a 120x40 terminal with 10,000 lines of scrollback, fed
// 16 MiB streams in 64 KiB chunks, and the allocations it makes doing so.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t n)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

using namespace ravelgrid;

constexpr size_t kStreamBytes = 16u << 20;
constexpr size_t kChunk = 64u << 10;

class NullHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

std::string makeAscii()
{
    std::mt19937 rng(1);
    std::string s;
    s.reserve(kStreamBytes + 256);
    while (s.size() < kStreamBytes) {
        const int len = 20 + static_cast<int>(rng() % 100);
        for (int i = 0; i < len; ++i)
            s += static_cast<char>(0x20 + rng() % 95);
        s += "\r\n";
    }
    return s;
}

std::string makeSgr()
{
    std::mt19937 rng(2);
    std::string s;
    s.reserve(kStreamBytes + 256);
    while (s.size() < kStreamBytes) {
        for (int word = 0; word < 12; ++word) {
            if (rng() % 2)
                s += "\x1b[38;5;" + std::to_string(rng() % 256) + "m";
            else
                s += "\x1b[38;2;" + std::to_string(rng() % 256) + ";" + std::to_string(rng() % 256) + ";" +
                     std::to_string(rng() % 256) + "m";
            if (rng() % 3 == 0)
                s += "\x1b[48;5;" + std::to_string(rng() % 256) + ";1m";
            for (int i = 0; i < 6; ++i)
                s += static_cast<char>('a' + rng() % 26);
            s += "\x1b[0m ";
        }
        s += "\r\n";
    }
    return s;
}

std::string makeUnicode()
{
    std::mt19937 rng(3);
    const char* pieces[] = {"\xe4\xb8\xad",
                            "\xe6\x96\x87",
                            "\xe5\xad\x97",
                            "\xe3\x81\x82",
                            "\xed\x95\x9c",  // CJK, kana, hangul
                            "\xf0\x9f\x98\x80",
                            "\xf0\x9f\x9a\x80",
                            "\xe2\x9d\xa4\xef\xb8\x8f",          // emoji, VS16
                            "\xf0\x9f\x91\x8b\xf0\x9f\x8f\xbd",  // skin tone
                            "e\xcc\x81",
                            "a\xcc\x88",
                            "o\xcc\x83\xcc\x84",
                            " ",
                            "x"};
    std::string s;
    s.reserve(kStreamBytes + 256);
    while (s.size() < kStreamBytes) {
        for (int i = 0; i < 50; ++i)
            s += pieces[rng() % std::size(pieces)];
        s += "\r\n";
    }
    return s;
}

std::string makeRedraw()
{
    std::mt19937 rng(4);
    std::string s;
    s.reserve(kStreamBytes + 4096);
    while (s.size() < kStreamBytes) {
        s += "\x1b[H";
        for (int row = 1; row <= 40; ++row) {
            s += "\x1b[" + std::to_string(row) + ";1H\x1b[K";
            for (int col = 0; col < 110; col += 10) {
                s += "\x1b[3" + std::to_string(rng() % 8) + "m";
                for (int i = 0; i < 10; ++i)
                    s += static_cast<char>(0x21 + rng() % 94);
            }
            s += "\x1b[m";
        }
    }
    return s;
}

// Editing inside a 10-row scroll region in the middle of the screen, as a
// pager or an editor with a status area does: insert and delete lines, and
// line feeds at the region's bottom, each followed by a line of text.
std::string makeRegionEdits()
{
    std::mt19937 rng(5);
    std::string s;
    s.reserve(kStreamBytes + 4096);
    auto text = [&] {
        for (int i = 0; i < 100; ++i)
            s += static_cast<char>(0x20 + rng() % 95);
    };
    while (s.size() < kStreamBytes) {
        // Appended piece by piece: GCC 12 warns wrongly about std::string operator+ here.
        s += "\x1b[11;20r\x1b[";
        s += std::to_string(11 + rng() % 10);
        s += ";1H\x1b[L";
        text();
        s += "\x1b[";
        s += std::to_string(11 + rng() % 10);
        s += ";1H\x1b[M";
        text();
        s += "\x1b[20;1H\r\n";
        text();
    }
    return s;
}

// Plain text scrolling in a region that starts at the top and leaves a
// status line below it: the region still feeds the scrollback.
std::string makeStatusLineScrolling()
{
    return "\x1b[1;39r\x1b[39;1H" + makeAscii();
}

void feedStream(benchmark::State& state, const std::string& stream)
{
    NullHost host;
    TerminalOptions o;
    o.cols = 120;
    o.rows = 40;
    o.scrollback = 10000;
    Terminal terminal(&host, o);
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    // Warm up: fill the scrollback so the ring recycles lines from now on.
    terminal.feed(std::span<const uint8_t>(bytes, std::min(stream.size(), size_t{4} << 20)));
    long allocBefore = 0;
    long allocTotal = 0;
    for (auto _ : state) {
        allocBefore = allocations.load();
        for (size_t i = 0; i < stream.size(); i += kChunk)
            terminal.feed(std::span<const uint8_t>(bytes + i, std::min(kChunk, stream.size() - i)));
        allocTotal += allocations.load() - allocBefore;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
    state.counters["allocs_per_MiB"] =
        static_cast<double>(allocTotal) /
        (static_cast<double>(state.iterations()) * static_cast<double>(stream.size()) / (1 << 20));
}

void BM_AsciiScrolling(benchmark::State& state)
{
    static const std::string stream = makeAscii();
    feedStream(state, stream);
}

void BM_SgrColours(benchmark::State& state)
{
    static const std::string stream = makeSgr();
    feedStream(state, stream);
}

void BM_UnicodeText(benchmark::State& state)
{
    static const std::string stream = makeUnicode();
    feedStream(state, stream);
}

void BM_CursorAddressedRedraw(benchmark::State& state)
{
    static const std::string stream = makeRedraw();
    feedStream(state, stream);
}

void BM_StatusLineScrolling(benchmark::State& state)
{
    static const std::string stream = makeStatusLineScrolling();
    feedStream(state, stream);
}

void BM_RegionInsertDeleteLines(benchmark::State& state)
{
    static const std::string stream = makeRegionEdits();
    feedStream(state, stream);
}

// One 8 MiB line without a break on 80 columns: each row scans only its room.
void BM_LongUnbrokenLine(benchmark::State& state)
{
    static const std::string line(size_t{8} << 20, 'x');
    for (auto _ : state) {
        NullHost host;
        TerminalOptions o;
        o.cols = 80;
        o.rows = 24;
        Terminal terminal(&host, o);
        terminal.feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}

}  // namespace

BENCHMARK(BM_AsciiScrolling)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SgrColours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnicodeText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CursorAddressedRedraw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusLineScrolling)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegionInsertDeleteLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongUnbrokenLine)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
