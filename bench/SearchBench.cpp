// Find in 100,000 lines of scrollback: a plain term and a regular expression
// that occur nowhere, so every line is searched. "First" is a new service's
// first find, "cold" the first find after new output (the cache rebuilt in
// its old storage), "warm" a repeated find.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>

#include "ravelgrid/selection/SearchService.h"
#include "ravelgrid/terminal/Terminal.h"

namespace {

using namespace ravelgrid;

constexpr int kLines = 100000;

class NullHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

// Log-like lines of 40 to 120 printable characters, some wrapping.
struct Scrollback {
    Scrollback()
    {
        TerminalOptions o;
        o.cols = 100;
        o.rows = 40;
        o.scrollback = kLines;
        terminal = std::make_unique<Terminal>(&host, o);
        std::mt19937 rng(7);
        static const char* words[] = {"error", "warning", "connected", "to",           "host",
                                      "build", "step",    "0x1f3a",    "user@example", "path/to/file.cpp:120",
                                      "done",  "retry",   "[ok]",      "timeout"};
        std::string text;
        for (int i = 0; i < kLines; ++i) {
            std::string line = std::to_string(i) + ":";
            const size_t target = 40 + rng() % 81;
            while (line.size() < target) {
                line += ' ';
                line += words[rng() % std::size(words)];
            }
            text += line;
            text += "\r\n";
        }
        terminal->feed(text);
    }

    NullHost host;
    std::unique_ptr<Terminal> terminal;
};

Scrollback& scrollback()
{
    static Scrollback s;
    return s;
}

void run(benchmark::State& state, const char* term, const SearchOptions& options, bool cold)
{
    Scrollback& s = scrollback();
    SearchService search(*s.terminal);
    search.findNext(term, options);
    for (auto _ : state) {
        if (cold)
            search.invalidateCache();
        auto r = search.findNext(term, options);
        if (r)
            state.SkipWithError("the term was found");
        benchmark::DoNotOptimize(r);
    }
    state.counters["lines"] = s.terminal->activeBuffer().lines().count();
}

void BM_PlainAbsentCold(benchmark::State& state)
{
    run(state, "segfault", SearchOptions{}, true);
}
void BM_PlainAbsentWarm(benchmark::State& state)
{
    run(state, "segfault", SearchOptions{}, false);
}
void BM_PlainAbsentCaseSensitiveWarm(benchmark::State& state)
{
    run(state, "segfault", SearchOptions{true, false, false}, false);
}
void BM_RegexAbsentCold(benchmark::State& state)
{
    run(state, "err(or|no)\\s+\\d{3,}", SearchOptions{false, true, false}, true);
}
void BM_RegexAbsentWarm(benchmark::State& state)
{
    run(state, "err(or|no)\\s+\\d{3,}", SearchOptions{false, true, false}, false);
}

void BM_PlainAbsentFirst(benchmark::State& state)
{
    Scrollback& s = scrollback();
    for (auto _ : state) {
        auto search = std::make_unique<SearchService>(*s.terminal);
        benchmark::DoNotOptimize(search->findNext("segfault", SearchOptions{}));
        // Tearing the cache down is not part of a search.
        state.PauseTiming();
        search.reset();
        state.ResumeTiming();
    }
}

void BM_FindAll(benchmark::State& state)
{
    Scrollback& s = scrollback();
    SearchService search(*s.terminal);
    for (auto _ : state)
        benchmark::DoNotOptimize(search.findAllMatches("timeout", SearchOptions{}, 1000));
}

}  // namespace

BENCHMARK(BM_PlainAbsentFirst)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainAbsentCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainAbsentWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainAbsentCaseSensitiveWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegexAbsentCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegexAbsentWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindAll)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
