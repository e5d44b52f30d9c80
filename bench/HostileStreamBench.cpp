// Streams that used to stall the terminal or exhaust memory: screen
// switches on a huge terminal, piles of kitty placements, line feeds with an
// image on screen, scrollback of short lines on a wide terminal, and a
// reflow to a tiny width. Memory figures are the peak resident size of a
// child process that runs the scenario alone.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

namespace {

using namespace ravelgrid;

class NullHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

void feed(Terminal& t, const std::string& s)
{
    t.feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

TerminalOptions options(int cols, int rows, int scrollback)
{
    TerminalOptions o;
    o.cols = cols;
    o.rows = rows;
    o.scrollback = scrollback;
    return o;
}

// Peak resident MiB of a child that runs `work`; -1 when the child failed.
template <typename Work>
double childPeakMiB(Work&& work)
{
    const pid_t pid = fork();
    if (pid == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A 1x1 RGBA image as id 1, placed once at the cursor.
const std::string kTransmit = "\x1b_Ga=t,i=1,f=32,s=1,v=1,q=2;AAAAAA==\x1b\\";

void BM_AltScreenSwitches2000x500(benchmark::State& state)
{
    NullHost host;
    Terminal t(&host, options(2000, 500, 1000));
    std::string stream;
    for (int i = 0; i < 1000; ++i)
        stream += "\x1b[?1049h\x1b[?1049l";
    for (auto _ : state)
        feed(t, stream);
    state.counters["switches"] = 2000;
}

// Arg 1: the cursor stays (C=1); arg 0: it moves below each placement, so
// every placement scrolls the screen.
void BM_KittyOneCellPlacements(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const bool cursorStays = state.range(1) != 0;
    std::string stream;
    for (int i = 1; i <= count; ++i) {
        stream += "\x1b_Ga=p,i=1,p=";
        stream += std::to_string(i);
        stream += cursorStays ? ",c=1,r=1,C=1,q=2\x1b\\" : ",c=1,r=1,q=2\x1b\\";
    }
    for (auto _ : state) {
        state.PauseTiming();
        NullHost host;
        auto t = std::make_unique<Terminal>(&host, options(80, 24, 1000));
        TerminalKittyGraphics::attach(*t);
        feed(*t, kTransmit);
        state.ResumeTiming();
        feed(*t, stream);
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
    state.counters["stream_MB"] = static_cast<double>(stream.size()) / 1e6;
}

void BM_LineFeedsWithAnImage(benchmark::State& state)
{
    const std::string lineFeeds(200'000, '\n');
    for (auto _ : state) {
        state.PauseTiming();
        NullHost host;
        auto t = std::make_unique<Terminal>(&host, options(80, 24, 100'000));
        TerminalKittyGraphics::attach(*t);
        std::string fill;
        for (int i = 0; i < 100'000; ++i)
            fill += "some text\r\n";
        feed(*t, fill);
        feed(*t, kTransmit);
        feed(*t, "\x1b_Ga=p,i=1,p=1,c=4,r=2,q=2\x1b\\");
        state.ResumeTiming();
        feed(*t, lineFeeds);
        state.PauseTiming();
        t.reset();
        state.ResumeTiming();
    }
}

void BM_ShortLinesOn1000Columns(benchmark::State& state)
{
    double peak = 0;
    for (auto _ : state) {
        peak = childPeakMiB([] {
            NullHost host;
            Terminal t(&host, options(1000, 50, 1'000'000));
            std::string chunk;
            for (int i = 0; i < 1'000'000; ++i) {
                chunk += std::to_string(i % 1000);
                chunk += "\r\n";
                if (chunk.size() > (64 << 10)) {
                    feed(t, chunk);
                    chunk.clear();
                }
            }
            feed(t, chunk);
        });
    }
    state.counters["peak_MiB"] = peak;
}

void BM_HundredCharLinesOn120Columns(benchmark::State& state)
{
    double peak = 0;
    for (auto _ : state) {
        peak = childPeakMiB([] {
            NullHost host;
            Terminal t(&host, options(120, 40, 100'000));
            const std::string line = std::string(100, 'x') + "\r\n";
            std::string chunk;
            for (int i = 0; i < 100'000; ++i) {
                chunk += line;
                if (chunk.size() > (64 << 10)) {
                    feed(t, chunk);
                    chunk.clear();
                }
            }
            feed(t, chunk);
        });
    }
    state.counters["peak_MiB"] = peak;
}

void BM_ReflowTo2x1(benchmark::State& state)
{
    const int scrollback = static_cast<int>(state.range(0));
    double peak = 0;
    for (auto _ : state) {
        peak = childPeakMiB([scrollback] {
            NullHost host;
            Terminal t(&host, options(400, 50, scrollback));
            const std::string line = std::string(400, 'w');
            std::string chunk;
            for (int i = 0; i < scrollback + 50; ++i) {
                chunk += line;
                if (chunk.size() > (64 << 10)) {
                    feed(t, chunk);
                    chunk.clear();
                }
            }
            feed(t, chunk);
            t.resize(2, 1);
        });
    }
    state.counters["peak_MiB"] = peak;
}

}  // namespace

BENCHMARK(BM_AltScreenSwitches2000x500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KittyOneCellPlacements)
    ->Args({200'000, 1})
    ->Args({200'000, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_LineFeedsWithAnImage)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ShortLinesOn1000Columns)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_HundredCharLinesOn120Columns)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReflowTo2x1)->Arg(500)->Arg(10'000)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
