// The GPU path's draw data for the coloured 200 x 60 screen of DrawBench
// (five-letter words, a palette colour each, every fourth bold), over the
// fake backend with glyph and shaper caches warm: a full rebuild (what a
// scroll costs) and one changed row with the rest cached, in each buffering
// mode.
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"
#include "ravelgrid/screen/Buffer.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

std::unique_ptr<test::RowRenderer> makeRenderer()
{
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    auto r = std::make_unique<test::RowRenderer>(options);
    r->view.colors.setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, 255 - i, (i * 7) % 256); });
    Buffer& buffer = r->terminal().activeBuffer();
    for (int row = 0; row < rows; ++row) {
        BufferLine& line = buffer.screenLine(row);
        for (int c = 0; c < cols; ++c) {
            CharData cell;
            const int word = c / 6;
            cell.code = (c % 6 == 5) ? ' ' : int32_t('a' + (row * 7 + c) % 26);
            cell.attribute.fg = Attribute::Color::ansi256(uint8_t(16 + (row * 31 + word * 17) % 216));
            if (word % 4 == 0)
                cell.attribute.style = CharacterStyle::bold;
            line.set(c, cell);
        }
    }
    return r;
}

void fullRebuild(benchmark::State& state, BufferingMode mode)
{
    auto r = makeRenderer();
    r->build(1, mode);  // warms the glyph and shaper caches
    const QSizeF view = r->view.view;
    bool wider = false;
    for (auto _ : state) {
        // A new cache signature empties the row cache, as a scroll does.
        wider = !wider;
        r->view.view = QSizeF(view.width() + (wider ? 1 : 0), view.height());
        DrawData d = r->build(1, mode);
        benchmark::DoNotOptimize(d);
    }
    state.counters["rows"] = r->cache.rowsRebuiltLastBuild();
}

void oneChangedRow(benchmark::State& state, BufferingMode mode)
{
    auto r = makeRenderer();
    r->build(1, mode);
    Buffer& buffer = r->terminal().activeBuffer();
    int row = 0;
    for (auto _ : state) {
        buffer.screenLine(row).bumpGeneration();
        row = (row + 1) % rows;
        DrawData d = r->build(1, mode);
        benchmark::DoNotOptimize(d);
    }
    state.counters["rows"] = r->cache.rowsRebuiltLastBuild();
}

void BM_FullRebuildPerRow(benchmark::State& s)
{
    fullRebuild(s, BufferingMode::perRowPersistent);
}
void BM_FullRebuildAggregated(benchmark::State& s)
{
    fullRebuild(s, BufferingMode::perFrameAggregated);
}
void BM_OneRowPerRow(benchmark::State& s)
{
    oneChangedRow(s, BufferingMode::perRowPersistent);
}
void BM_OneRowAggregated(benchmark::State& s)
{
    oneChangedRow(s, BufferingMode::perFrameAggregated);
}

}  // namespace

BENCHMARK(BM_FullRebuildPerRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRebuildAggregated)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneRowPerRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneRowAggregated)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
