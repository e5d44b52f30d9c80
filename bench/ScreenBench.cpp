// Memory and speed of the screen model's scrollback.
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
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
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

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

// A buffer whose ring is full; small scrollbacks stay in cache, large ones
// show the cost of touching cold lines.
Buffer& fullBuffer(int scrollback)
{
    static std::map<int, std::unique_ptr<Buffer>> buffers;
    auto& slot = buffers[scrollback];
    if (!slot) {
        slot = std::make_unique<Buffer>(cols, rows, 8, scrollback);
        slot->fillViewportRows();
        while (!slot->lines().isFull())
            slot->lines().push(slot->getBlankLine(Attribute{}));
    }
    return *slot;
}

// What the scroll core does on a full scrollback: reuse the oldest line.
void BM_RecycleIntoFullRing(benchmark::State& state)
{
    Buffer& buffer = fullBuffer(static_cast<int>(state.range(0)));
    const Attribute erase;
    const long long before = allocationCount.load();
    for (auto _ : state)
        benchmark::DoNotOptimize(&buffer.lines().recycle(erase));
    state.counters["allocs_per_op"] =
        benchmark::Counter(static_cast<double>(allocationCount.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RecycleIntoFullRing)->Arg(100)->Arg(10000);

// push() of an existing line into a full ring: rotates, never allocates.
void BM_PushIntoFullRing(benchmark::State& state)
{
    Buffer& buffer = fullBuffer(static_cast<int>(state.range(0)));
    auto line = buffer.getBlankLine(Attribute{});
    const long long before = allocationCount.load();
    for (auto _ : state)
        buffer.lines().push(line);
    state.counters["allocs_per_op"] =
        benchmark::Counter(static_cast<double>(allocationCount.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PushIntoFullRing)->Arg(100)->Arg(10000);

// A full screen line of text written into a recycled line.
void BM_ScrollAndWriteLine(benchmark::State& state)
{
    Buffer& buffer = fullBuffer(static_cast<int>(state.range(0)));
    const Attribute erase;
    for (auto _ : state)
        writeText(buffer.lines().recycle(erase));
    state.SetItemsProcessed(state.iterations() * cols);
}
BENCHMARK(BM_ScrollAndWriteLine)->Arg(100)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
