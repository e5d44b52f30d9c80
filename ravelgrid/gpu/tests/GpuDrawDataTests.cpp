#include "ravelgrid/gpu/CursorDrawData.h"
#include "ravelgrid/gpu/CustomGlyphMasks.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/ImageTextures.h"
#include "ravelgrid/gpu/RowDecorations.h"

#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/protocols/KittyGraphicsState.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace ravelgrid {
namespace {

// ---- custom glyph masks -------------------------------------------------

int maskAt(const GlyphBitmap& b, int x, int y)
{
    return b.pixels[(std::size_t(y) * b.width + x) * 4 + 3];
}

TEST(CustomGlyphMask, ShadesCarryTheirAlphaAndFullBlockIsSolid)
{
    struct Case {
        std::uint32_t cp;
        int expected;
        int tolerance;
    };
    for (const Case c : {Case{0x2588, 255, 0}, Case{0x2592, 128, 1}, Case{0x2591, 64, 1}, Case{0x2593, 191, 1}}) {
        for (const bool aa : {false, true}) {
            const auto mask = paintCustomGlyphMask(c.cp, 9, 17, 0, 1, aa);
            ASSERT_TRUE(mask) << std::hex << c.cp;
            for (int y = 0; y < mask->height; ++y)
                for (int x = 0; x < mask->width; ++x)
                    ASSERT_NEAR(maskAt(*mask, x, y), c.expected, c.tolerance)
                        << std::hex << c.cp << " at " << x << "," << y;
            // White: premultiplied colour equals the coverage.
            EXPECT_EQ(mask->pixels[0], mask->pixels[3]);
        }
    }
}

TEST(CustomGlyphMask, PowerlineTipLandsOnAWholePixelRow)
{
    for (const int h : {15, 17, 21, 16}) {
        const int w = 8;
        const auto mask = paintCustomGlyphMask(0xE0B0, w, h, 0, 1, true);
        ASSERT_TRUE(mask);
        // Coverage centroid of the tip column sits on the pixel boundary the
        // tip was snapped to, not half a pixel off at odd heights.
        double sum = 0, weighted = 0;
        for (int y = 0; y < h; ++y) {
            sum += maskAt(*mask, w - 1, y);
            weighted += maskAt(*mask, w - 1, y) * (y + 0.5);
        }
        ASSERT_GT(sum, 0);
        EXPECT_NEAR(weighted / sum, std::round(h * 0.5), 0.15) << "height " << h;
        // Flat side covered top to bottom.
        EXPECT_EQ(maskAt(*mask, 0, h / 2), 255);
        EXPECT_GT(maskAt(*mask, 0, 0), 0);
        EXPECT_GT(maskAt(*mask, 0, h - 1), 0);
    }
}

TEST(CustomGlyphMask, FamiliesAndRefusals)
{
    struct Case {
        std::uint32_t cp;
        int w, h;
        bool expected;
    };
    for (const Case c :
         {Case{0xE0B1, 8, 16, false}, Case{0xE0B3, 8, 16, false}, Case{0xE0B2, 8, 16, true}, Case{0xE0B6, 8, 16, true},
          Case{0x2500, 8, 16, true}, Case{0x41, 8, 16, false}, Case{0x2588, 0, 16, false}, Case{0x2588, 1, 1, true}}) {
        EXPECT_EQ(paintCustomGlyphMask(c.cp, c.w, c.h, 1, 1, false).has_value(), c.expected) << std::hex << c.cp;
    }
    // Left-pointing: the flat side is on the right.
    const auto left = paintCustomGlyphMask(0xE0B2, 8, 16, 0, 1, true);
    ASSERT_TRUE(left);
    EXPECT_GT(maskAt(*left, 7, 0), 100);
    EXPECT_EQ(maskAt(*left, 0, 0), 0);
}

TEST(CustomGlyphMask, JoinStripOnTheFlatSide)
{
    const PixelRect cell{10, 20, 8, 16};
    struct Case {
        std::uint32_t cp;
        std::optional<PixelRect> expected;
    };
    for (const Case& c : {Case{0xE0B0, PixelRect{9, 20, 1, 16}}, Case{0xE0B4, PixelRect{9, 20, 1, 16}},
                          Case{0xE0B2, PixelRect{18, 20, 1, 16}}, Case{0xE0B6, PixelRect{18, 20, 1, 16}},
                          Case{0xE0B1, std::nullopt}, Case{0x2588, std::nullopt}})
        EXPECT_EQ(powerlineJoinRect(c.cp, cell), c.expected) << std::hex << c.cp;
}

TEST(CustomGlyphMask, CachedPerKeyInTheGrayscaleAtlas)
{
    FakeGpuBackend backend;
    auto gray = GlyphAtlas::create(backend, 256, 1024, GlyphAtlasFormat::grayscale);
    auto color = GlyphAtlas::create(backend, 256, 1024, GlyphAtlasFormat::bgra);
    ASSERT_TRUE(gray && color);
    FreeTypeGlyphRasterizer rasterizer;
    GlyphCache cache(rasterizer, *gray, *color);
    const auto a = customGlyphEntry(cache, *gray, 1, 0x2500, 8, 16, 1, false);
    const auto again = customGlyphEntry(cache, *gray, 1, 0x2500, 8, 16, 1, false);
    const auto thicker = customGlyphEntry(cache, *gray, 1, 0x2500, 8, 16, 2, false);
    ASSERT_TRUE(a && again && thicker);
    EXPECT_EQ(*a, *again);
    EXPECT_NE(a->region, thicker->region);
    EXPECT_EQ(cache.customGlyphs().size(), 2u);
    EXPECT_FALSE(customGlyphEntry(cache, *gray, 1, 0xE0B1, 8, 16, 0, true));
}

// ---- decorations ----------------------------------------------------------

constexpr float kRed[4] = {1, 0, 0, 1};

double centreY(const ColorCell& c)
{
    return c.y + c.height * 0.5;
}

TEST(Decorations, CurlyWaveScalesWithThicknessOrScale)
{
    struct Case {
        double scale, thicknessPt, step;  // step = max(thickness px, scale)
    };
    for (const Case c : {Case{1, 1, 1}, Case{2, 1, 2}, Case{1, 2, 2}, Case{2, 0.5, 2}, Case{2, 2, 4}}) {
        std::vector<ColorCell> out;
        const DeviceRect span = decorationSpan(0, 1, 40, c.scale);
        appendUnderline(out, span, 10, c.thicknessPt, kRed, c.scale, UnderlineStyle::curly, {});
        ASSERT_GE(out.size(), 5u);
        const double y = 10 * c.scale;
        // A quarter wave per step: a full wave is 4 steps, the crest `step` high.
        EXPECT_NEAR(out[1].x, c.step, 1e-4);
        EXPECT_NEAR(centreY(out[0]), y, 1e-4);
        EXPECT_NEAR(centreY(out[1]), y + c.step, 1e-4);
        EXPECT_NEAR(centreY(out[3]), y - c.step, 1e-4);
        EXPECT_NEAR(centreY(out[4]), y, 1e-4);
        EXPECT_NEAR(out.back().x + out.back().width, span.x1, 1e-4);
    }
}

TEST(Decorations, PatternsRestartAtEachCell)
{
    for (const double scale : {1.0, 2.0}) {
        for (const UnderlineStyle style : {UnderlineStyle::dotted, UnderlineStyle::dashed, UnderlineStyle::curly}) {
            std::vector<ColorCell> first, second;
            // 7.5 pt cells: a pattern carried over would start mid-gap.
            appendUnderline(first, decorationSpan(0, 1, 7.5, scale), 5, 1, kRed, scale, style, {});
            appendUnderline(second, decorationSpan(1, 1, 7.5, scale), 5, 1, kRed, scale, style, {});
            ASSERT_FALSE(first.empty());
            ASSERT_FALSE(second.empty());
            EXPECT_FLOAT_EQ(second[0].x, float(7.5 * scale));
            ASSERT_EQ(first.size(), second.size());
            for (std::size_t i = 0; i < first.size(); ++i) {
                EXPECT_NEAR(second[i].x - first[i].x, 7.5 * scale, 1e-4);
                EXPECT_NEAR(second[i].y, first[i].y, 1e-4);
            }
        }
        // Dots t long every 3t, dashes 2 max(t, s) long every 4.
        std::vector<ColorCell> dots, dashes;
        appendUnderline(dots, decorationSpan(0, 1, 20, scale), 5, 1, kRed, scale, UnderlineStyle::dotted, {});
        appendUnderline(dashes, decorationSpan(0, 1, 20, scale), 5, 1, kRed, scale, UnderlineStyle::dashed, {});
        EXPECT_FLOAT_EQ(dots[1].x - dots[0].x, float(3 * scale));
        EXPECT_FLOAT_EQ(dots[0].width, float(scale));
        EXPECT_FLOAT_EQ(dashes[1].x - dashes[0].x, float(4 * scale));
        EXPECT_FLOAT_EQ(dashes[0].width, float(2 * scale));
    }
}

TEST(Decorations, DoubleWideAndStrikethrough)
{
    for (const double scale : {1.0, 2.0}) {
        std::vector<ColorCell> out;
        appendUnderline(out, decorationSpan(3, 1, 8, scale), 10, 1, kRed, scale, UnderlineStyle::double_, {});
        ASSERT_EQ(out.size(), 2u);
        EXPECT_NEAR(centreY(out[0]) - centreY(out[1]), (1 + 1) * scale, 1e-4);
        EXPECT_FLOAT_EQ(out[0].height, float(scale));

        // A wide cell: one piece over both columns.
        const DeviceRect wide = decorationSpan(3, 2, 8, scale);
        EXPECT_DOUBLE_EQ(wide.x0, 24 * scale);
        EXPECT_DOUBLE_EQ(wide.x1, 40 * scale);
        out.clear();
        appendUnderline(out, wide, 10, 1, kRed, scale, UnderlineStyle::single, {});
        ASSERT_EQ(out.size(), 1u);
        EXPECT_FLOAT_EQ(out[0].width, float(16 * scale));
    }
    // Half way between baseline and x-height, lifted by half the line.
    EXPECT_DOUBLE_EQ(strikethroughOffset(5, 1), 3);
    EXPECT_DOUBLE_EQ(decorationThickness(0.2, 1), 0.5);
    EXPECT_DOUBLE_EQ(decorationThickness(1.3, 2), 1.5);
}

TEST(Decorations, DoubledLinesTransformAndClip)
{
    using Mode = BufferLine::RenderLineMode;
    // Row from y 100 to 120 px; a rectangle over the lower quarter of it.
    const DeviceRect r{10, 100, 20, 105};
    struct Case {
        Mode mode;
        std::optional<DeviceRect> expected;
    };
    for (const Case& c :
         {Case{Mode::single, DeviceRect{10, 100, 20, 105}}, Case{Mode::doubleWidth, DeviceRect{20, 100, 40, 105}},
          Case{Mode::doubledTop, std::nullopt},  // doubled about the top: below the row
          Case{Mode::doubledDown, DeviceRect{20, 100, 40, 110}}}) {
        std::vector<ColorCell> out;
        const bool kept = appendColorRect(out, r, LineTransform::forRow(c.mode, 100, 120, 800), kRed);
        ASSERT_EQ(kept, c.expected.has_value()) << int(c.mode);
        if (!kept)
            continue;
        EXPECT_FLOAT_EQ(out[0].x, float(c.expected->x0));
        EXPECT_FLOAT_EQ(out[0].y, float(c.expected->y0));
        EXPECT_FLOAT_EQ(out[0].x + out[0].width, float(c.expected->x1));
        EXPECT_FLOAT_EQ(out[0].y + out[0].height, float(c.expected->y1));
    }
    // The top half keeps the upper part of what is drawn twice as tall.
    std::vector<ColorCell> top;
    ASSERT_TRUE(appendColorRect(top, {0, 100, 10, 120}, LineTransform::forRow(Mode::doubledTop, 100, 120, 800), kRed));
    EXPECT_FLOAT_EQ(top[0].y, 100);
    EXPECT_FLOAT_EQ(top[0].height, 20);
}

// ---- image textures -----------------------------------------------------

std::string base64(const QByteArray& bytes)
{
    return bytes.toBase64().toStdString();
}

std::string kittyRgba(std::uint32_t id, int w, int h, const QByteArray& rgba)
{
    return "\x1b_Ga=t,q=2,f=32,i=" + std::to_string(id) + ",s=" + std::to_string(w) + ",v=" + std::to_string(h) + ";" +
           base64(rgba) + "\x1b\\";
}

class ImageTextureTest : public ::testing::Test {
protected:
    ImageTextureTest() { TerminalKittyGraphics::attach(terminal); }
    const KittyGraphicsState* state() { return &TerminalKittyGraphics::of(terminal)->state(); }

    // Premultiplied RGBA of a texel, read back from the fake texture.
    std::array<int, 4> texel(const ImageTexture& t, int x, int yUp)
    {
        auto& fake = dynamic_cast<FakeGpuBackend::Texture&>(*t.texture);
        const auto* p = fake.texels().data() + (std::size_t(yUp) * std::size_t(fake.side()) + std::size_t(x)) * 4;
        return {p[2], p[1], p[0], p[3]};
    }

    FakeGpuBackend backend;
    ImageTextureCache cache{backend};
    Terminal terminal{nullptr};
};

TEST_F(ImageTextureTest, PremultipliedOnceAtUploadAndUpright)
{
    // Top row red at half alpha, bottom row opaque blue.
    QByteArray rgba;
    for (int i = 0; i < 2; ++i)
        rgba.append(QByteArray::fromRawData("\xff\x00\x00\x80", 4));
    for (int i = 0; i < 2; ++i)
        rgba.append(QByteArray::fromRawData("\x00\x00\xff\xff", 4));
    terminal.feed(kittyRgba(1, 2, 2, rgba));

    QImage picture(2, 2, QImage::Format_RGBA8888);
    picture.setPixelColor(0, 0, QColor(255, 0, 0, 128));
    picture.setPixelColor(1, 0, QColor(255, 0, 0, 128));
    picture.setPixelColor(0, 1, QColor(0, 0, 255));
    picture.setPixelColor(1, 1, QColor(0, 0, 255));
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&out, "PNG"));
    terminal.feed("\x1b_Ga=t,q=2,f=100,i=2;" + base64(png) + "\x1b\\");

    for (const std::uint32_t id : {1u, 2u}) {
        const auto t = cache.kittyTexture(state(), id);
        ASSERT_TRUE(t) << id;
        EXPECT_EQ(t->width, 2);
        EXPECT_EQ(t->height, 2);
        // Texture rows go up: row 0 is the picture's bottom row.
        EXPECT_EQ(texel(*t, 0, 0), (std::array<int, 4>{0, 0, 255, 255})) << id;
        EXPECT_EQ(texel(*t, 1, 1), (std::array<int, 4>{128, 0, 0, 128})) << id;
    }
}

TEST_F(ImageTextureTest, EveryStoreGivesNewPixelsANewTexture)
{
    QByteArray first(16 * 16 * 4, '\x10');
    terminal.feed(kittyRgba(5, 16, 16, first));
    const auto a = cache.kittyTexture(state(), 5);
    ASSERT_TRUE(a);
    EXPECT_EQ(cache.kittyTexture(state(), 5)->texture, a->texture);  // nothing new: cached

    QByteArray second = first;
    second[200] = '\x7f';  // past the hashed head, same size and count
    terminal.feed(kittyRgba(5, 16, 16, second));
    const auto b = cache.kittyTexture(state(), 5);
    ASSERT_TRUE(b);
    EXPECT_NE(b->texture, a->texture);

    terminal.feed("\x1b_Ga=d,d=I,i=5,q=2\x1b\\");
    cache.prune(state());
    EXPECT_EQ(cache.kittyCount(), 0u);
    EXPECT_FALSE(cache.kittyTexture(state(), 5));
}

TEST(ImageTextureUpload, KittyCellsShareOneTextureAndDropEvictedPixels)
{
    FakeGpuBackend backend;
    ImageTextureCache cache(backend);
    TerminalOptions options;
    options.kittyImageCacheLimitBytes = 16 * 16 * 4 + 16;  // one image
    Terminal terminal(nullptr, options);
    TerminalKittyGraphics& kitty = TerminalKittyGraphics::attach(terminal);
    const QByteArray rgba(16 * 16 * 4, '\x40');
    auto place = [&](int id) {
        terminal.feed("\x1b[H\x1b_Ga=T,q=2,f=32,c=2,r=3,s=16,v=16,i=" + std::to_string(id) + ";" + base64(rgba) +
                      "\x1b\\");
    };
    auto textureOfLine = [&](int line) {
        const TerminalImageList* images = terminal.buffer->lines()[line].images();
        return images ? cache.imageTexture(images->back()) : std::nullopt;
    };
    place(1);
    std::shared_ptr<GpuTexture> first;
    for (int line = 0; line < 3; ++line) {
        const auto t = textureOfLine(line);
        ASSERT_TRUE(t) << line;
        if (!first)
            first = t->texture;
        EXPECT_EQ(t->texture, first) << "every line of a placement draws from one texture";
    }
    EXPECT_EQ(backend.texturesMade, 1);
    EXPECT_EQ(cache.kittyPictureCount(), 1u);

    place(2);  // evicts image 1, whose cells stay and draw nothing
    ASSERT_FALSE(kitty.state().imagesById.contains(1));
    cache.prune(&kitty.state());
    EXPECT_EQ(cache.kittyPictureCount(), 0u) << "no texture kept for evicted pixels";
    first.reset();
    const TerminalImageList* images = terminal.buffer->lines()[0].images();
    ASSERT_TRUE(images);
    EXPECT_FALSE(cache.imageTexture(images->front()));
}

// Red left and blue right, green in the bottom half.
std::shared_ptr<const TerminalImage> quartersPlacement(int w, int h)
{
    std::vector<std::uint8_t> rgba(std::size_t(w) * std::size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &rgba[(std::size_t(y) * std::size_t(w) + std::size_t(x)) * 4];
            p[0] = x < w / 2 ? 220 : 10;
            p[1] = y < h / 2 ? 0 : 200;
            p[2] = x < w / 2 ? 10 : 220;
            p[3] = 255;
        }
    return std::make_shared<KittyPlacementImage>(KittyGraphicsPayload::rgba(std::move(rgba), w, h));
}

// What the workers made, taken in as the next frame does.
bool takeWorkersPictures(ImageTextureCache& cache)
{
    if (!QThreadPool::globalInstance()->waitForDone(30000))
        return false;
    QCoreApplication::processEvents();
    return cache.prune(nullptr);
}

TEST(ImageTextureUpload, LargeKittyPictureIsMadeOnAWorkerAtItsDetail)
{
    FakeGpuBackend backend;
    int readies = 0;
    {
        ImageTextureCache cache(backend);
        cache.setPictureReadyCallback([&] { ++readies; });
        const auto image = quartersPlacement(1600, 800);
        EXPECT_FALSE(cache.imageTexture(image, QSizeF(80, 40))) << "nothing drawn while it is made";
        EXPECT_FALSE(cache.imageTexture(image, QSizeF(80, 40)));
        EXPECT_EQ(cache.pendingPictureCount(), 1u) << "one job per picture and size";
        ASSERT_TRUE(takeWorkersPictures(cache));
        EXPECT_EQ(readies, 1);
        const auto made = cache.imageTexture(image, QSizeF(80, 40));
        ASSERT_TRUE(made);
        EXPECT_EQ(made->width, 80);
        EXPECT_EQ(made->height, 40);
        EXPECT_EQ(made->shownWidth(), 1600) << "placed at the picture's own size";
        EXPECT_EQ(made->shownHeight(), 800);
        // Premultiplied BGRA, the picture's bottom row first.
        const auto& texels = dynamic_cast<FakeGpuBackend::Texture&>(*made->texture).texels();
        const std::size_t side = std::size_t(made->texture->side());
        auto texel = [&](int x, int row) {
            const std::uint8_t* t = &texels[(std::size_t(row) * side + std::size_t(x)) * 4];
            return std::vector<int>{t[0], t[1], t[2], t[3]};
        };
        EXPECT_EQ(texel(0, 0), (std::vector<int>{10, 200, 220, 255}));
        EXPECT_EQ(texel(79, 39), (std::vector<int>{220, 0, 10, 255}));

        // More detail: the older texture serves while a sharper one is made.
        const auto older = cache.imageTexture(image, QSizeF(160, 80));
        ASSERT_TRUE(older);
        EXPECT_EQ(older->texture, made->texture);
        ASSERT_TRUE(takeWorkersPictures(cache));
        const auto sharper = cache.imageTexture(image, QSizeF(160, 80));
        ASSERT_TRUE(sharper);
        EXPECT_EQ(sharper->width, 160);
        const auto again = cache.imageTexture(image, QSizeF(80, 40));
        ASSERT_TRUE(again);
        EXPECT_EQ(again->texture, sharper->texture) << "two sizes share the larger, no job back and forth";
        EXPECT_EQ(cache.pendingPictureCount(), 0u);

        // Gone with a job still running.
        EXPECT_TRUE(cache.imageTexture(image, QSizeF(400, 200)));
        EXPECT_EQ(cache.pendingPictureCount(), 1u);
    }
    EXPECT_TRUE(QThreadPool::globalInstance()->waitForDone(30000));
    QCoreApplication::processEvents();
    EXPECT_EQ(readies, 2);
}

TEST(ImageTextureUpload, ShortOrOversizeGivesNoTexture)
{
    FakeGpuBackend backend;
    backend.maxTextureSide = 64;
    const std::vector<std::uint8_t> bytes(4 * 4 * 4 - 1, 0xff);
    struct Case {
        std::size_t size;
        std::int64_t w, h;
        bool expected;
    };
    for (const Case c : {Case{64, 4, 4, true}, Case{63, 4, 4, false}, Case{0, 0, 0, false}, Case{64, -4, -4, false},
                         Case{65 * 4, 65, 1, false}, Case{64 * 4, 64, 1, true}}) {
        std::vector<std::uint8_t> payload(c.size, 0xff);
        auto texels = premultipliedTexels(payload, c.w, c.h);
        const bool made = texels && uploadImageTexture(backend, *texels, int(c.w), int(c.h)).has_value();
        EXPECT_EQ(made, c.expected) << c.size << " " << c.w << "x" << c.h;
    }
    EXPECT_FALSE(premultipliedTexels(bytes, 4, 4));
    backend.maxTextureSide.reset();
    const std::vector<std::uint8_t> ok(16, 0);
    EXPECT_FALSE(uploadImageTexture(backend, ok, 2, 2));
}

TEST(ImageTextureUpload, LineImagesAreHeldWeakly)
{
    FakeGpuBackend backend;
    ImageTextureCache cache(backend);
    auto image = std::make_shared<PlatformImage>();
    auto picture = std::make_shared<QImage>(3, 2, QImage::Format_ARGB32_Premultiplied);
    picture->fill(QColor(0, 255, 0, 128));
    image->picture = picture;
    const auto t = cache.imageTexture(image);
    ASSERT_TRUE(t);
    EXPECT_EQ(cache.imageTexture(image)->texture, t->texture);
    EXPECT_EQ(backend.texturesMade, 1);
    image.reset();
    cache.prune(nullptr);
    EXPECT_EQ(cache.lineImageCount(), 0u);
}

// ---- caret ---------------------------------------------------------------

struct Rect {
    float x0, y0, x1, y1;
};

std::vector<Rect> rects(const CursorDrawData& d)
{
    std::vector<Rect> out;
    for (std::size_t i = 0; i + 5 < d.colorVertices.size(); i += 6)
        out.push_back({d.colorVertices[i].x, d.colorVertices[i].y, d.colorVertices[i + 4].x, d.colorVertices[i + 4].y});
    return out;
}

class CaretTest : public ::testing::Test {
protected:
    CursorFrameInput input(double scale = 1)
    {
        CursorFrameInput in;
        in.scale = scale;
        in.cellWidth = 10;
        in.cellHeight = 20;
        in.viewHeight = 24 * 20;
        in.topLine = terminal.activeBuffer().yDisp();
        in.firstLine = in.topLine;
        in.lastLine = in.topLine + 23;
        return in;
    }
    Terminal terminal{nullptr};
};

TEST_F(CaretTest, ShapesAndWidths)
{
    struct Case {
        const char* bytes;
        double scale;
        Rect expected;  // the first rectangle
    };
    const Case cases[] = {
        {"\x1b[2 q", 1, {0, 460, 10, 480}},                     // steady block at home
        {"\x1b[6 q", 1, {0, 460, 2, 480}},                      // bar 2 px at 1x
        {"\x1b[4 q", 2, {0, 920, 20, 924}},                     // underline max(2s, 1)
        {"\x1b[2 q\xe4\xb8\xad\x1b[1G", 1, {0, 460, 20, 480}},  // on a wide character: two cells
        {"\x1b[2 q\xe4\xb8\xad", 1, {20, 460, 30, 480}},        // after it: one
        {"\x1b[2 q\x1b#6"
         "a",
         1,
         {20, 460, 40, 480}},                            // DECDWL doubles
        {"\x1b[2 q\x1b[80Gx", 1, {790, 460, 800, 480}},  // waiting to wrap: the last column
    };
    for (const Case& c : cases) {
        Terminal t{nullptr};
        t.feed(c.bytes);
        CursorFrameInput in = input(c.scale);
        const auto got = rects(buildCursorDrawData(t, in));
        ASSERT_FALSE(got.empty()) << c.bytes;
        EXPECT_FLOAT_EQ(got[0].x0, c.expected.x0) << c.bytes;
        EXPECT_FLOAT_EQ(got[0].y0, c.expected.y0) << c.bytes;
        EXPECT_FLOAT_EQ(got[0].x1, c.expected.x1) << c.bytes;
        EXPECT_FLOAT_EQ(got[0].y1, c.expected.y1) << c.bytes;
    }
}

TEST_F(CaretTest, TrailingHalfOfAWideCharacterIsOneCell)
{
    terminal.feed("\x1b[2 q\xe4\xb8\xad\x1b[2G");
    const auto got = rects(buildCursorDrawData(terminal, input()));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FLOAT_EQ(got[0].x0, 10);
    EXPECT_FLOAT_EQ(got[0].x1, 20);
}

TEST_F(CaretTest, BlinkFocusAndHidden)
{
    struct Case {
        const char* bytes;
        bool focused, blinkOn;
        std::size_t rectangles;
    };
    for (const Case c :
         {Case{"\x1b[1 q", true, false, 0}, Case{"\x1b[1 q", true, true, 1}, Case{"\x1b[2 q", true, false, 1},
          Case{"\x1b[5 q", false, false, 4}, Case{"\x1b[3 q", false, true, 4}, Case{"\x1b[?25l", true, true, 0}}) {
        Terminal t{nullptr};
        t.feed(c.bytes);
        CursorFrameInput in = input(2);
        in.focused = c.focused;
        in.blinkOn = c.blinkOn;
        const auto got = rects(buildCursorDrawData(t, in));
        EXPECT_EQ(got.size(), c.rectangles) << c.bytes;
        if (got.size() == 4) {
            // Hollow box: sides max(1.5 s, 1) wide that never overlap.
            EXPECT_FLOAT_EQ(got[0].y1 - got[0].y0, 3);
            EXPECT_FLOAT_EQ(got[2].x1 - got[2].x0, 3);
            EXPECT_FLOAT_EQ(got[2].y0, got[0].y1);
            EXPECT_FLOAT_EQ(got[2].y1, got[1].y0);
            EXPECT_FLOAT_EQ(got[3].y0, got[0].y1);
        }
    }
}

TEST_F(CaretTest, BlinkingTextUnderABlockLosesItsGlyphInTheOffPhase)
{
    terminal.feed("\x1b[2 q\x1b[5mA\x1b[m\x1b[1G");
    CursorFrameInput in = input();
    EXPECT_TRUE(buildCursorDrawData(terminal, in).glyph);
    in.textBlinkVisible = false;
    const auto off = buildCursorDrawData(terminal, in);
    EXPECT_EQ(rects(off).size(), 1u);
    EXPECT_FALSE(off.glyph);
}

}  // namespace
}  // namespace ravelgrid

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
