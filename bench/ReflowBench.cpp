// Reflow of a full scrollback: 10,000 rows of 80-column text to 120 columns
// and back.
#include <memory>

#include <benchmark/benchmark.h>

#include "ravelgrid/screen/Buffer.h"

using namespace ravelgrid;

namespace {

constexpr int kRows = 10000;
constexpr int kScreenRows = 50;

// Logical lines of 40 to 239 characters, soft-wrapped at 80 columns, every
// twentieth with a wide character, until 10,000 rows are filled.
std::unique_ptr<Buffer> makeScrollback()
{
    auto b = std::make_unique<Buffer>(80, kScreenRows, 8, kRows);
    int rows = 0;
    int length = 40;
    while (rows < kRows) {
        length = 40 + (length * 37 + 11) % 200;
        BufferLinePtr row = b->getBlankLine(Attribute{}, false);
        int col = 0;
        for (int i = 0; i < length && rows < kRows; ++i) {
            const int width = i % 20 == 19 ? 2 : 1;
            if (col + width > 80) {
                b->lines().push(row);
                ++rows;
                row = b->getBlankLine(Attribute{}, true);
                col = 0;
            }
            CharData cell;
            cell.code = width == 2 ? 0x4E2D : 'a' + i % 26;
            cell.width = static_cast<int8_t>(width);
            row->set(col, cell);
            if (width == 2) {
                CharData half;
                half.width = 0;
                row->set(col + 1, half);
            }
            col += width;
        }
        if (rows < kRows) {
            b->lines().push(row);
            ++rows;
        }
    }
    b->setYBase(b->lines().count() - kScreenRows);
    b->setYDisp(b->yBase());
    b->setY(kScreenRows - 1);
    return b;
}

void BM_Reflow80To120(benchmark::State& state)
{
    auto b = makeScrollback();
    for (auto _ : state) {
        b->resize(120, kScreenRows);
        state.PauseTiming();
        b->resize(80, kScreenRows);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Reflow80To120)->Unit(benchmark::kMillisecond);

void BM_Reflow120To80(benchmark::State& state)
{
    auto b = makeScrollback();
    for (auto _ : state) {
        state.PauseTiming();
        b->resize(120, kScreenRows);
        state.ResumeTiming();
        b->resize(80, kScreenRows);
    }
}
BENCHMARK(BM_Reflow120To80)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
