// Laying out a 200 x 60 screen of mixed right-to-left and left-to-right text:
// every row as a renderer asks for it in one frame, with the caches warm (an
// unchanged screen redrawn) and cold (a screen full of new text).
#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/screen/Buffer.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

// Rows of Hebrew and Arabic words mixed with Latin words and numbers, a few
// paragraphs wrapped over two rows.
std::unique_ptr<Buffer> makeScreen()
{
    auto buffer = std::make_unique<Buffer>(
        cols, rows, 8, 0, BidiPresentationState{BidiSupportMode::implicit, true, BidiDirection::leftToRight, false});
    buffer->fillViewportRows();
    const std::u32string words[] = {U"שלום",  U"עולם",  U"مرحبا", U"بالعالم", U"hello",
                                    U"world", U"(123)", U"4.5%",  U"لا"};
    for (int r = 0; r < rows; ++r) {
        BufferLine& line = buffer->screenLine(r);
        int col = 0;
        for (int w = r; col < cols - 1; ++w) {
            for (char32_t c : words[size_t(w * 7 + r) % std::size(words)]) {
                if (col >= cols)
                    break;
                CharData cell;
                cell.code = int32_t(c);
                line.set(col++, cell);
            }
            if (col < cols) {
                CharData space;
                space.code = ' ';
                line.set(col++, space);
            }
        }
        line.setWrapped(r % 10 == 5);
    }
    return buffer;
}

void layoutScreen(const Buffer& buffer)
{
    for (int r = 0; r < rows; ++r) {
        auto p = TerminalBidi::rowLayout(r, buffer, cols, 500);
        benchmark::DoNotOptimize(p);
    }
}

void BM_BidiScreenWarm(benchmark::State& state)
{
    auto buffer = makeScreen();
    TerminalBidi::clearCaches();
    layoutScreen(*buffer);
    for (auto _ : state)
        layoutScreen(*buffer);
}
BENCHMARK(BM_BidiScreenWarm)->Unit(benchmark::kMillisecond);

void BM_BidiScreenCold(benchmark::State& state)
{
    auto buffer = makeScreen();
    for (auto _ : state) {
        TerminalBidi::clearCaches();
        layoutScreen(*buffer);
    }
}
BENCHMARK(BM_BidiScreenCold)->Unit(benchmark::kMillisecond);

// The same text on other lines (scrolled, or printed again): the content
// cache answers without the bidi algorithm.
void BM_BidiScreenMovedText(benchmark::State& state)
{
    auto first = makeScreen();
    TerminalBidi::clearCaches();
    layoutScreen(*first);
    for (auto _ : state) {
        state.PauseTiming();
        auto fresh = makeScreen();  // new line ids: only the text can match
        state.ResumeTiming();
        layoutScreen(*fresh);
    }
}
BENCHMARK(BM_BidiScreenMovedText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
