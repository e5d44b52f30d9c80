#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/GlyphAtlas.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <random>

using namespace ravelgrid;

namespace {

struct LogCapture {
    std::vector<std::pair<platform::LogLevel, std::string>> lines;
    LogCapture()
    {
        platform::setLogSink([this](platform::LogLevel level, std::string_view category, std::string_view message) {
            if (category == atlasLogCategory)
                lines.emplace_back(level, std::string(message));
        });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }
    int count(std::string_view text) const
    {
        int n = 0;
        for (const auto& [level, line] : lines)
            n += line == text;
        return n;
    }
};

GlyphBitmap bitmap(int w, int h, std::uint32_t seed)
{
    GlyphBitmap b;
    b.width = w;
    b.height = h;
    b.pixels.resize(std::size_t(w) * std::size_t(h) * 4);
    std::mt19937 rng(seed);
    for (auto& p : b.pixels)
        p = std::uint8_t(rng());
    return b;
}

const FakeGpuBackend::Texture& texels(const GlyphAtlas& atlas)
{
    return dynamic_cast<const FakeGpuBackend::Texture&>(atlas.texture());
}

// Fills shelves with 100 x 100 glyphs until the next one needs y + ph = 1100.
void fillTo1100(GlyphAtlas& atlas)
{
    // 1024 / 102 = 10 per shelf, shelves of 102: ten shelves reach y = 1020.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(atlas.allocateRegion(100, 100));
    ASSERT_EQ(atlas.nextY() + atlas.rowHeight(), 1020);
}

}  // namespace

TEST(GlyphAtlas, ShelfPackingWithBorders)
{
    FakeGpuBackend backend;
    auto atlas = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale);
    ASSERT_TRUE(atlas);
    EXPECT_EQ(atlas->allocateRegion(10, 20), (AtlasRegion{1, 1, 10, 20}));
    EXPECT_EQ(atlas->nextX(), 12);
    EXPECT_EQ(atlas->rowHeight(), 22);
    EXPECT_EQ(atlas->allocateRegion(10, 20), (AtlasRegion{13, 1, 10, 20}));
    // One that does not fit on the shelf opens the next at y = 22.
    EXPECT_EQ(atlas->allocateRegion(1010, 5), (AtlasRegion{1, 23, 1010, 5}));
    EXPECT_FALSE(atlas->allocateRegion(0, 5));
    EXPECT_FALSE(atlas->allocateRegion(5, -1));
    EXPECT_FALSE(atlas->allocateRegion(std::numeric_limits<int>::max(), 5));
}

TEST(GlyphAtlas, GrowsToTheSideItNeedsKeepingTexels)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto atlas = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale);
    fillTo1100(*atlas);
    const AtlasRegion first{1, 1, 100, 100};
    ASSERT_TRUE(atlas->upload(bitmap(100, 100, 1), first));
    const std::vector<std::uint8_t> before = atlas->data();
    const auto region = atlas->allocateRegion(100, 78);  // ph 80: 1020 + 80 = 1100
    ASSERT_TRUE(region);
    EXPECT_EQ(atlas->size(), 2048);
    EXPECT_FALSE(atlas->didReset());
    EXPECT_EQ(*region, (AtlasRegion{1, 1021, 100, 78}));
    for (int y = 0; y < 1024; ++y)
        ASSERT_TRUE(
            std::equal(before.begin() + y * 1024, before.begin() + (y + 1) * 1024, atlas->data().begin() + y * 2048));
    EXPECT_EQ(texels(*atlas).texels(), atlas->data());
    EXPECT_EQ(log.count("glyph atlas (grayscale) grow: 1024 -> 2048"), 1);
}

TEST(GlyphAtlas, AtMaxSizeItResetsLoggingOnce)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto atlas = GlyphAtlas::create(backend, 1024, 1024, GlyphAtlasFormat::grayscale);
    fillTo1100(*atlas);
    const auto region = atlas->allocateRegion(100, 100);
    EXPECT_EQ(region, (AtlasRegion{1, 1, 100, 100}));
    EXPECT_TRUE(atlas->didReset());
    EXPECT_EQ(atlas->size(), 1024);
    EXPECT_TRUE(atlas->allocateRegion(5, 5));
    EXPECT_FALSE(atlas->didReset());
    bool resetAgain = false;
    for (int i = 0; i < 200 && !resetAgain; ++i) {
        ASSERT_TRUE(atlas->allocateRegion(100, 100));
        resetAgain = atlas->didReset();
    }
    EXPECT_TRUE(resetAgain);
    EXPECT_EQ(log.count("glyph atlas (grayscale) reset at size 1024: glyph working set exceeds capacity"), 1);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, platform::LogLevel::error);
}

TEST(GlyphAtlas, FrozenFullAtlasSkipsGlyphsAndSaysSoOnce)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto atlas = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::bgra);
    fillTo1100(*atlas);
    atlas->setFrozen(true);
    EXPECT_FALSE(atlas->allocateRegion(100, 100));
    EXPECT_FALSE(atlas->allocateRegion(100, 100));
    EXPECT_EQ(atlas->size(), 1024);
    EXPECT_FALSE(atlas->didReset());
    EXPECT_EQ(log.count("glyph atlas (bgra) frozen and full; glyphs will be skipped this frame"), 1);
    EXPECT_EQ(log.lines.size(), 1u);
    atlas->setFrozen(false);
    EXPECT_TRUE(atlas->allocateRegion(100, 100));
    EXPECT_EQ(atlas->size(), 2048);
}

TEST(GlyphAtlas, AGlyphLargerThanTheMaximumIsSkippedSilently)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto atlas = GlyphAtlas::create(backend, 1024, 4096, GlyphAtlasFormat::grayscale);
    atlas->allocateRegion(10, 10);
    EXPECT_FALSE(atlas->allocateRegion(5000, 10));
    EXPECT_FALSE(atlas->didReset());
    EXPECT_EQ(atlas->size(), 1024);
    EXPECT_EQ(atlas->nextX(), 12);
    EXPECT_TRUE(log.lines.empty());
}

TEST(GlyphAtlas, AFailedGrowthKeepsTheAtlasAndGoesOnToReset)
{
    FakeGpuBackend backend;
    LogCapture log;
    backend.failTexture = [](GpuTextureFormat, int side) { return side > 1024; };
    auto atlas = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::bgra);
    ASSERT_TRUE(atlas);
    GpuTexture* before = &atlas->texture();
    fillTo1100(*atlas);
    EXPECT_EQ(atlas->allocateRegion(100, 100), (AtlasRegion{1, 1, 100, 100}));
    EXPECT_EQ(&atlas->texture(), before);
    EXPECT_EQ(atlas->size(), 1024);
    EXPECT_TRUE(atlas->didReset());
    EXPECT_EQ(log.count("glyph atlas (bgra) grow to 2048 failed: texture allocation"), 1);
    EXPECT_EQ(log.count("glyph atlas (bgra) reset at size 1024: glyph working set exceeds capacity"), 1);
}

TEST(GlyphAtlas, AGrowthTheTextureRefusesKeepsTheOldTexture)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto atlas = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale);
    GpuTexture* before = &atlas->texture();
    fillTo1100(*atlas);
    backend.failUploads = true;
    EXPECT_EQ(atlas->allocateRegion(100, 100), (AtlasRegion{1, 1, 100, 100}));
    EXPECT_EQ(&atlas->texture(), before);
    EXPECT_EQ(atlas->size(), 1024);
    EXPECT_EQ(log.count("glyph atlas (grayscale) grow to 2048 failed: texture upload"), 1);
    EXPECT_FALSE(atlas->upload(bitmap(100, 100, 1), AtlasRegion{1, 1, 100, 100}));
}

TEST(GlyphAtlas, NeverLargerThanTheDeviceOrAQuarterGibibyteMirror)
{
    FakeGpuBackend backend;
    LogCapture log;
    auto colour = GlyphAtlas::create(backend, 1024, 16384, GlyphAtlasFormat::bgra);
    ASSERT_TRUE(colour);
    EXPECT_EQ(colour->maxSize(), 8192);
    colour->grow(16384);
    EXPECT_EQ(colour->size(), 1024);
    EXPECT_EQ(log.count("glyph atlas (bgra) grow to 16384 failed: texture allocation"), 1);
    backend.maxTextureSide = 2048;
    auto gray = GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale);
    EXPECT_EQ(gray->maxSize(), 2048);
    EXPECT_EQ(backend.texturesMade, 2);
}

TEST(GlyphAtlas, CreationFailsWithoutATexture)
{
    FakeGpuBackend backend;
    backend.failTexture = [](GpuTextureFormat, int) { return true; };
    EXPECT_FALSE(GlyphAtlas::create(backend, 1024, 8192, GlyphAtlasFormat::grayscale));
    backend.failTexture = nullptr;
    auto small = GlyphAtlas::create(backend, 10, 100, GlyphAtlasFormat::grayscale);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->size(), 256);
    EXPECT_EQ(small->maxSize(), 256);
}

TEST(GlyphAtlas, TextureTexelsAlwaysEqualTheMirror)
{
    for (GlyphAtlasFormat format : {GlyphAtlasFormat::grayscale, GlyphAtlasFormat::bgra}) {
        FakeGpuBackend backend;
        auto atlas = GlyphAtlas::create(backend, 256, 1024, format);
        std::mt19937 rng(7);
        for (int i = 0; i < 300; ++i) {
            const int w = 1 + int(rng() % 40), h = 1 + int(rng() % 40);
            const auto region = atlas->allocateRegion(w, h);
            ASSERT_TRUE(region);
            ASSERT_TRUE(atlas->upload(bitmap(w, h, std::uint32_t(i)), *region));
            ASSERT_EQ(texels(*atlas).texels(), atlas->data()) << i;
        }
        EXPECT_GT(atlas->size(), 256);
    }
}

TEST(GlyphAtlas, UploadFlipsRowsAndRepeatsTheEdges)
{
    FakeGpuBackend backend;
    auto atlas = GlyphAtlas::create(backend, 256, 256, GlyphAtlasFormat::grayscale);
    // 2 x 3 glyph, alpha = 10 * row + column, top row first.
    GlyphBitmap b;
    b.width = 2;
    b.height = 3;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 2; ++c)
            b.pixels.insert(b.pixels.end(), {255, 255, 255, std::uint8_t(10 * r + c + 1)});
    const auto region = atlas->allocateRegion(2, 3);
    ASSERT_EQ(region, (AtlasRegion{1, 1, 2, 3}));
    ASSERT_TRUE(atlas->upload(b, *region));
    const auto at = [&](int x, int y) { return int(texels(*atlas).texels()[std::size_t(y) * 256 + std::size_t(x)]); };
    // Mirror row 1 is the glyph's bottom row (21, 22); row 3 its top (1, 2).
    const int expected[5][4] = {
        {21, 21, 22, 22}, {21, 21, 22, 22}, {11, 11, 12, 12}, {1, 1, 2, 2}, {1, 1, 2, 2},
    };
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(at(x, y), expected[y][x]) << x << "," << y;
    EXPECT_FALSE(atlas->upload(b, AtlasRegion{10, 10, 3, 3}));
    EXPECT_EQ(at(10, 10), 0);
}

TEST(GlyphAtlas, MaximumSideFromTheEnvironment)
{
    FakeGpuBackend big;    // allows 16384
    FakeGpuBackend small;  // allows 8192
    small.maxTextureSide = 8192;
    using F = GlyphAtlasFormat;
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, "100"), 256);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, "-5"), 256);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, "+20000"), 16384);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(small, F::grayscale, "+20000"), 8192);
    // A 16384 BGRA mirror would take 1 GiB.
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::bgra, "+20000"), 8192);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, "2048"), 2048);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, "99999999999999999999"), 8192);
    for (const char* bad : std::initializer_list<const char*>{"5 ", "12a", "", " 5", "+", "0x100", nullptr}) {
        EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::grayscale, bad), 8192) << (bad ? bad : "unset");
        EXPECT_EQ(GlyphAtlas::resolveMaxSize(big, F::bgra, bad), 4096);
    }
    FakeGpuBackend tiny;
    tiny.maxTextureSide = 2048;
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(tiny, F::grayscale, nullptr), 2048);
    EXPECT_EQ(GlyphAtlas::resolveMaxSize(tiny, F::bgra, "+20000"), 2048);
}
