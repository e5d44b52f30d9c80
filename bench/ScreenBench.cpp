// Memory and speed of the screen model's scrollback.
#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include "ravelgrid/screen/Buffer.h"

namespace {

std::atomic<long long> allocationCount{0};
std::atomic<long long> allocatedBytes{0};

}  // namespace

void* operator new(std::size_t size)
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    allocatedBytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace ravelgrid;

namespace {

constexpr int cols = 120;
constexpr int rows = 40;

void writeText(BufferLine& line)
{
    CharData cell;
    for (int i = 0; i < cols; ++i) {
        cell.code = 'a' + i % 26;
        line.set(i, cell);
    }
}

// Heap bytes held per scrollback line of 120 columns of plain text, ring
// slot and line object included.
void BM_MemoryPerScrollbackLine(benchmark::State& state)
{
    const int scrollback = static_cast<int>(state.range(0));
    double perLine = 0;
    for (auto _ : state) {
        const long long before = allocatedBytes.load();
        Buffer buffer(cols, rows, 8, scrollback);
        buffer.scroll = [](bool) {};
        buffer.fillViewportRows();
        for (int i = 0; i < scrollback; ++i) {
            auto line = buffer.getBlankLine(Attribute{});
            writeText(*line);
            buffer.lines().push(std::move(line));
        }
        perLine = static_cast<double>(allocatedBytes.load() - before) / (scrollback + rows);
        benchmark::DoNotOptimize(buffer.lines().count());
    }
    state.counters["bytes_per_line"] = perLine;
    state.counters["cell_bytes"] = static_cast<double>(sizeof(CharData));
}
BENCHMARK(BM_MemoryPerScrollbackLine)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

Buffer& fullBuffer()
{
    static Buffer* buffer = [] {
        auto* b = new Buffer(cols, rows, 8, 10000);
        b->scroll = [](bool) {};
        b->fillViewportRows();
        while (!b->lines().isFull())
            b->lines().push(b->getBlankLine(Attribute{}));
        return b;
    }();
    return *buffer;
}

// What the scroll core does on a full scrollback: reuse the oldest line.
void BM_RecycleIntoFullRing(benchmark::State& state)
{
    Buffer& buffer = fullBuffer();
    const Attribute erase;
    const long long before = allocationCount.load();
    for (auto _ : state)
        benchmark::DoNotOptimize(&buffer.lines().recycle(erase));
    state.counters["allocs_per_op"] =
        benchmark::Counter(static_cast<double>(allocationCount.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RecycleIntoFullRing);

// push() of an existing line into a full ring: rotates, never allocates.
void BM_PushIntoFullRing(benchmark::State& state)
{
    Buffer& buffer = fullBuffer();
    auto line = buffer.getBlankLine(Attribute{});
    const long long before = allocationCount.load();
    for (auto _ : state)
        buffer.lines().push(line);
    state.counters["allocs_per_op"] =
        benchmark::Counter(static_cast<double>(allocationCount.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PushIntoFullRing);

// A full screen line of text written into a recycled line.
void BM_ScrollAndWriteLine(benchmark::State& state)
{
    Buffer& buffer = fullBuffer();
    const Attribute erase;
    for (auto _ : state)
        writeText(buffer.lines().recycle(erase));
    state.SetItemsProcessed(state.iterations() * cols);
}
BENCHMARK(BM_ScrollAndWriteLine);

}  // namespace

BENCHMARK_MAIN();
