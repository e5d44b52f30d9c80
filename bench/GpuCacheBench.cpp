// The GPU path's per-frame caches: glyph and shaper hits must stay cheap and
// allocation-free; a cold atlas fill of the four faces' ASCII must be quick.
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/ShaperCache.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> allocationCount{0};
}

void* operator new(std::size_t size)
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
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

FaceLibrary& library()
{
    static FaceLibrary faces;
    return faces;
}

GpuFont face(bool bold, bool italic)
{
    return GpuFont(library().faceFor("JetBrains Mono", bold, italic), 26);
}

struct Atlases {
    FakeGpuBackend backend;
    std::unique_ptr<GlyphAtlas> gray = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale);
    std::unique_ptr<GlyphAtlas> colour = GlyphAtlas::create(backend, 1024, 4096, GlyphAtlasFormat::bgra);
    FreeTypeGlyphRasterizer rasterizer;
    GlyphCache cache{rasterizer, *gray, *colour};
};

std::uint16_t glyphOf(const GpuFont& font, char32_t ch)
{
    return std::uint16_t(FT_Get_Char_Index(font.face()->ftFace(), FT_ULong(ch)));
}

void allocationsPerOp(benchmark::State& state, long long before)
{
    state.counters["allocs_per_op"] =
        benchmark::Counter(double(allocationCount.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_GlyphCacheHit(benchmark::State& state)
{
    Atlases a;
    const GpuFont font = face(false, false);
    std::uint16_t glyphs[16];
    for (int i = 0; i < 16; ++i) {
        glyphs[i] = glyphOf(font, char32_t('A' + i));
        a.cache.glyphEntry(font, glyphs[i]);
    }
    const long long before = allocationCount.load();
    unsigned i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(a.cache.glyphEntry(font, glyphs[i++ & 15]));
    allocationsPerOp(state, before);
}
BENCHMARK(BM_GlyphCacheHit);

void BM_ShaperCacheHit(benchmark::State& state)
{
    ShaperCache shaper(library(), nullptr);
    const GpuFont font = face(false, false);
    const std::u16string pieces[4] = {u"user@host:~/src/quillmar$ ", u"make -j4", u"[ 42%] Building CXX object",
                                      u"ravelgrid/gpu/GlyphAtlas.cpp"};
    for (const auto& p : pieces)
        shaper.shape(p, font);
    const long long before = allocationCount.load();
    unsigned i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(shaper.shape(pieces[i++ & 3], font));
    allocationsPerOp(state, before);
}
BENCHMARK(BM_ShaperCacheHit);

// From empty atlases: rasterise, place and upload every printable ASCII
// glyph of the regular, bold, italic and bold-italic faces at 26 px.
void BM_RasteriseAsciiFourFaces(benchmark::State& state)
{
    const GpuFont faces[4] = {face(false, false), face(true, false), face(false, true), face(true, true)};
    for (auto _ : state) {
        state.PauseTiming();
        auto a = std::make_unique<Atlases>();
        state.ResumeTiming();
        int placed = 0;
        for (const GpuFont& f : faces)
            for (char32_t ch = 0x20; ch < 0x7F; ++ch)
                placed += a->cache.glyphEntry(f, glyphOf(f, ch)).has_value();
        benchmark::DoNotOptimize(placed);
        state.PauseTiming();
        a.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RasteriseAsciiFourFaces)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
