#include "ravelgrid/drawing/FallbackFonts.h"
#include "ravelgrid/gpu/DrawingFallbackChooser.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/FontSetFaces.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/ShaperCache.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QRawFont>

#include <cmath>
#include <random>
#include <set>

using namespace ravelgrid;

namespace {

// One library for the whole run: faces are opened once.
FaceLibrary& library()
{
    static FaceLibrary faces;
    return faces;
}

GpuFont mono(double size, bool bold = false, bool italic = false)
{
    auto face = library().faceFor("JetBrains Mono", bold, italic);
    EXPECT_TRUE(face);
    return GpuFont(face, size);
}

GpuFont emoji(double size)
{
    auto font = library().font("NotoColorEmoji", size);
    EXPECT_TRUE(font);
    return font.value_or(GpuFont());
}

std::uint16_t glyphOf(const GpuFont& font, char32_t ch)
{
    return std::uint16_t(FT_Get_Char_Index(font.face()->ftFace(), FT_ULong(ch)));
}

struct Renderer {
    FakeGpuBackend backend;
    std::unique_ptr<GlyphAtlas> gray, colour;
    FreeTypeGlyphRasterizer rasterizer;
    std::unique_ptr<GlyphCache> cache;
    int rowCacheCleared = 0;

    explicit Renderer(int side = 1024, int maxSide = 8192)
    {
        gray = GlyphAtlas::create(backend, side, maxSide, GlyphAtlasFormat::grayscale);
        colour = GlyphAtlas::create(backend, side, maxSide, GlyphAtlasFormat::bgra);
        cache = std::make_unique<GlyphCache>(rasterizer, *gray, *colour);
        cache->clearRowCache = [this] { ++rowCacheCleared; };
    }
    // Leaves the grayscale atlas with no room for one more 26 px glyph.
    void fillGray()
    {
        while (gray->nextY() + gray->rowHeight() + 60 <= gray->size())
            gray->allocateRegion(gray->size() - 2, 20);
        gray->allocateRegion(gray->size() - 2, gray->size() - gray->nextY() - gray->rowHeight() - 2);
    }
};

}  // namespace

TEST(FreeTypeGlyphRasterizer, LettersAreWhiteCoverageOnTheBaseline)
{
    const GpuFont font = mono(26);
    ASSERT_EQ(font.postScriptName(), "JetBrainsMono-Regular");
    FreeTypeGlyphRasterizer rasterizer;
    const auto a = rasterizer.rasterize(font, glyphOf(font, 'A'));
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->isColor);
    EXPECT_EQ(a->bearing.y, 0);
    EXPECT_GE(a->height, 17);
    EXPECT_LE(a->height, 21);
    ASSERT_EQ(a->pixels.size(), std::size_t(a->width * a->height * 4));
    bool inked = false;
    for (std::size_t i = 0; i < a->pixels.size(); i += 4) {
        ASSERT_TRUE(a->pixels[i] == a->pixels[i + 3] && a->pixels[i + 1] == a->pixels[i + 3] &&
                    a->pixels[i + 2] == a->pixels[i + 3]);
        inked |= a->pixels[i + 3] == 255;
    }
    EXPECT_TRUE(inked);
    const auto g = rasterizer.rasterize(font, glyphOf(font, 'g'));
    ASSERT_TRUE(g);
    EXPECT_LT(g->bearing.y, 0);
    EXPECT_FALSE(rasterizer.rasterize(font, glyphOf(font, ' ')));
    EXPECT_FALSE(rasterizer.rasterize(GpuFont(), 1));
}

TEST(FreeTypeGlyphRasterizer, ColourEmojiIsScaledPremultipliedBgra)
{
    const GpuFont font = emoji(26);
    ASSERT_TRUE(font.valid());
    FreeTypeGlyphRasterizer rasterizer;
    const auto smile = rasterizer.rasterize(font, glyphOf(font, U'\U0001F600'));
    ASSERT_TRUE(smile);
    EXPECT_TRUE(smile->isColor);
    EXPECT_GE(smile->height, 25);
    EXPECT_LE(smile->height, 35);
    for (std::size_t i = 0; i < smile->pixels.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            ASSERT_LE(smile->pixels[i + c], smile->pixels[i + 3]);
    // Twice the size, twice the bitmap, give or take rounding.
    const auto big = rasterizer.rasterize(emoji(52), glyphOf(font, U'\U0001F600'));
    ASSERT_TRUE(big);
    EXPECT_NEAR(big->height, 2 * smile->height, 2);
}

// The painter scales a strike by the size over the strike's height, cut
// down to 64ths, and puts it on whole pixels; HarfBuzz's scale (by ppem)
// would make emoji a quarter bigger on the GPU path.
TEST(GpuFace, BitmapStrikesAreMeasuredAndDrawnAtThePaintersScale)
{
    QFont f(QStringLiteral("Noto Color Emoji"));
    f.setPixelSize(17);
    const QRawFont base = QRawFont::fromFont(f);
    const GpuFont font = emoji(17);
    ASSERT_TRUE(base.isValid() && font.valid());
    const std::uint16_t glyph = glyphOf(font, U'\U0001F600');
    ASSERT_EQ(base.glyphIndexesForString(QString::fromUtf8("\xf0\x9f\x98\x80")).value(0), glyph);
    FreeTypeGlyphRasterizer rasterizer;
    for (const double px : {10.4, 13.0, 17.333, 26.0}) {
        QRawFont raw = base;
        raw.setPixelSize(px);
        const QRectF box = raw.boundingRect(glyph);
        const auto m = font.face()->measure(px, glyph);
        ASSERT_TRUE(m) << px;
        EXPECT_DOUBLE_EQ(m->advance, raw.advancesForGlyphIndexes({glyph}).value(0).x()) << px;
        EXPECT_DOUBLE_EQ(m->left, box.left()) << px;
        EXPECT_DOUBLE_EQ(m->top, box.top()) << px;
        EXPECT_DOUBLE_EQ(m->width, box.width()) << px;
        EXPECT_DOUBLE_EQ(m->height, box.height()) << px;
        const auto bitmap = rasterizer.rasterize(font.withSize(font.face()->painterPixelSize(px)), glyph);
        ASSERT_TRUE(bitmap) << px;
        EXPECT_EQ(bitmap->width, std::lround(box.width())) << px;
        EXPECT_EQ(bitmap->height, std::lround(box.height())) << px;
        EXPECT_EQ(bitmap->bearing.y + bitmap->height, std::ceil(-box.top())) << px;
    }
}

TEST(FontSetFaces, FacesTheFamilyLacksAreSynthesisedWhereQtSynthesisesThem)
{
    FontSetFaces chosen(library());
    const FontFace faces[] = {FontFace::normal, FontFace::bold, FontFace::italic, FontFace::boldItalic};
    // Every face there: the family's own four.
    const FontSet jetBrains(QStringLiteral("JetBrains Mono"), 13);
    std::set<std::string> names;
    for (FontFace face : faces) {
        const GpuFont font = chosen.font(jetBrains, face);
        ASSERT_TRUE(font.valid());
        EXPECT_EQ(font.face()->synthesis(), FaceSynthesis{});
        EXPECT_EQ(font.face()->isBold(), face == FontFace::bold || face == FontFace::boldItalic);
        names.insert(font.postScriptName());
    }
    EXPECT_EQ(names.size(), 4u);
    // A proportional family of one face: three synthesised from it.
    const FontSet wqy(QStringLiteral("WenQuanYi Micro Hei"), 13);
    const GpuFont regular = chosen.font(wqy, FontFace::normal);
    ASSERT_TRUE(regular.valid());
    std::set<std::string> keys;
    for (FontFace face : faces) {
        const GpuFont font = chosen.font(wqy, face);
        ASSERT_TRUE(font.valid());
        EXPECT_EQ(font.postScriptName(), regular.postScriptName());
        const bool bold = face == FontFace::bold || face == FontFace::boldItalic;
        const bool italic = face == FontFace::italic || face == FontFace::boldItalic;
        EXPECT_EQ(font.face()->synthesis(), (FaceSynthesis{italic, bold}));
        keys.insert(font.key());
    }
    EXPECT_EQ(keys.size(), 4u);
    // No bold made of a fixed-pitch face, nor at 64 pixels and up.
    const auto dejaVu = library().faceFor("DejaVu Sans Mono", false, false);
    ASSERT_TRUE(dejaVu);
    EXPECT_FALSE(FontSetFaces::synthesisFor(*dejaVu, true, false, 17).embolden);
    EXPECT_FALSE(FontSetFaces::synthesisFor(*regular.face(), true, false, 64).embolden);

    // The rasterizer follows: more ink in a bold l, a wider slanted one.
    FreeTypeGlyphRasterizer rasterizer;
    const auto plain = rasterizer.rasterize(regular, glyphOf(regular, U'l'));
    const GpuFont boldFont = chosen.font(wqy, FontFace::bold), slanted = chosen.font(wqy, FontFace::italic);
    const auto bold = rasterizer.rasterize(boldFont, glyphOf(boldFont, U'l'));
    const auto oblique = rasterizer.rasterize(slanted, glyphOf(slanted, U'l'));
    ASSERT_TRUE(plain && bold && oblique);
    const auto ink = [](const GlyphBitmap& b) {
        int sum = 0;
        for (std::size_t i = 3; i < b.pixels.size(); i += 4)
            sum += b.pixels[i];
        return sum;
    };
    EXPECT_GT(ink(*bold), ink(*plain) * 5 / 4);
    EXPECT_GT(oblique->width, plain->width + 1);
}

namespace {

// Coverage values of a glyph bitmap that are neither 0 nor 255.
int partialCoverage(const GlyphBitmap& bitmap)
{
    int partial = 0;
    for (std::size_t i = 3; i < bitmap.pixels.size(); i += 4)
        partial += bitmap.pixels[i] != 0 && bitmap.pixels[i] != 255;
    return partial;
}

}  // namespace

TEST(FreeTypeGlyphRasterizer, WithoutSmoothingEveryPixelIsFullyOnOrOff)
{
    const GpuFont font = mono(17.3);
    FreeTypeGlyphRasterizer rasterizer;
    const auto smooth = rasterizer.rasterize(font, glyphOf(font, 'W'));
    ASSERT_TRUE(smooth);
    EXPECT_GT(partialCoverage(*smooth), 0);
    rasterizer.fontSmoothing = false;
    for (char32_t ch : {U'W', U'g', U'@', U'\u00e9'}) {
        const auto sharp = rasterizer.rasterize(font, glyphOf(font, ch));
        ASSERT_TRUE(sharp);
        EXPECT_FALSE(sharp->isColor);
        EXPECT_EQ(partialCoverage(*sharp), 0) << "U+" << std::hex << unsigned(ch);
        EXPECT_NEAR(sharp->height, smooth->height, ch == U'W' ? 2 : 100);
    }
    // Colour glyphs keep their colours.
    const GpuFont face = emoji(26);
    const auto smile = rasterizer.rasterize(face, glyphOf(face, U'\U0001F600'));
    ASSERT_TRUE(smile);
    EXPECT_TRUE(smile->isColor);
}

TEST(GlyphCache, ASmoothingChangeForgetsTheGlyphsAndTheRowsDrawnFromThem)
{
    Renderer r;
    const GpuFont font = mono(26);
    const auto smooth = r.cache->glyphEntry(font, glyphOf(font, 'A'));
    ASSERT_TRUE(smooth);
    r.cache->setFontSmoothing(true);
    EXPECT_EQ(r.rowCacheCleared, 0);
    EXPECT_EQ(r.cache->glyphs().size(), 1u);

    const int uploads = r.backend.uploads;
    r.cache->setFontSmoothing(false);
    EXPECT_FALSE(r.rasterizer.fontSmoothing);
    EXPECT_EQ(r.rowCacheCleared, 1);
    EXPECT_TRUE(r.cache->glyphs().empty());
    const auto sharp = r.cache->glyphEntry(font, glyphOf(font, 'A'));
    ASSERT_TRUE(sharp);
    EXPECT_NE(sharp->region, smooth->region);
    EXPECT_EQ(r.backend.uploads, uploads + 1);
}

TEST(GlyphCache, GlyphsGoToTheirAtlasOncePerFontNameAndSize)
{
    Renderer r;
    const GpuFont font = mono(26);
    const auto a = r.cache->glyphEntry(font, glyphOf(font, 'A'));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->atlasKind, GlyphAtlasKind::grayscale);
    EXPECT_EQ(a->region, (AtlasRegion{1, 1, int(a->size.width), int(a->size.height)}));
    // Another font object of the same face and size shares the entry.
    const GpuFont same = *library().font("JetBrainsMono-Regular", 26);
    const int uploads = r.backend.uploads;
    EXPECT_EQ(r.cache->glyphEntry(same, glyphOf(font, 'A')), a);
    EXPECT_EQ(r.backend.uploads, uploads);
    EXPECT_TRUE(r.cache->glyphEntry(mono(13), glyphOf(font, 'A')));
    EXPECT_EQ(r.cache->glyphs().size(), 2u);

    const GpuFont face = emoji(26);
    const auto smile = r.cache->glyphEntry(face, glyphOf(face, U'\U0001F600'));
    ASSERT_TRUE(smile);
    EXPECT_TRUE(smile->isColor);
    EXPECT_EQ(smile->atlasKind, GlyphAtlasKind::color);
    EXPECT_EQ(smile->region.x, 1);

    EXPECT_FALSE(r.cache->glyphEntry(font, glyphOf(font, ' ')));
    EXPECT_EQ(r.cache->glyphs().size(), 3u);
    EXPECT_EQ(r.rowCacheCleared, 0);
    EXPECT_FALSE(r.cache->atlasInvalidatedDuringBuild);
}

TEST(GlyphCache, GrowthEmptiesOnlyTheRowCacheAndResetTheGlyphCachesToo)
{
    const GpuFont font = mono(26);
    {
        Renderer r(256, 1024);
        ASSERT_TRUE(r.cache->glyphEntry(font, glyphOf(font, 'A')));
        r.cache->customGlyphs()[CustomGlyphKey{0x2500, 10, 20, 1, 1, true}] = CustomGlyphEntry{};
        r.fillGray();
        ASSERT_TRUE(r.cache->glyphEntry(font, glyphOf(font, 'B')));
        EXPECT_EQ(r.gray->size(), 512);
        EXPECT_EQ(r.rowCacheCleared, 1);
        EXPECT_TRUE(r.cache->atlasInvalidatedDuringBuild);
        EXPECT_EQ(r.cache->glyphs().size(), 2u);
        EXPECT_EQ(r.cache->customGlyphs().size(), 1u);
    }
    {
        platform::setLogSink([](platform::LogLevel, std::string_view, std::string_view) {});
        Renderer r(256, 256);
        ASSERT_TRUE(r.cache->glyphEntry(font, glyphOf(font, 'A')));
        r.cache->customGlyphs()[CustomGlyphKey{0x2500, 10, 20, 1, 1, true}] = CustomGlyphEntry{};
        r.fillGray();
        const auto b = r.cache->glyphEntry(font, glyphOf(font, 'B'));
        ASSERT_TRUE(b);
        EXPECT_EQ(b->region.x, 1);
        EXPECT_EQ(b->region.y, 1);
        EXPECT_EQ(r.rowCacheCleared, 1);
        EXPECT_TRUE(r.cache->atlasInvalidatedDuringBuild);
        ASSERT_EQ(r.cache->glyphs().size(), 1u);  // only the glyph placed after the reset
        EXPECT_TRUE(r.cache->customGlyphs().empty());
        platform::setLogSink(nullptr);
    }
    {
        Renderer r(256, 256);  // frozen: nothing placed, nothing cached, nothing dropped
        platform::setLogSink([](platform::LogLevel, std::string_view, std::string_view) {});
        ASSERT_TRUE(r.cache->glyphEntry(font, glyphOf(font, 'A')));
        r.fillGray();
        r.gray->setFrozen(true);
        EXPECT_FALSE(r.cache->glyphEntry(font, glyphOf(font, 'B')));
        EXPECT_EQ(r.cache->glyphs().size(), 1u);
        EXPECT_EQ(r.rowCacheCleared, 0);
        platform::setLogSink(nullptr);
    }
}

TEST(GlyphCache, AGlyphTheTextureRefusedIsNotCached)
{
    Renderer r;
    const GpuFont font = mono(26);
    r.backend.failUploads = true;
    EXPECT_FALSE(r.cache->glyphEntry(font, glyphOf(font, 'A')));
    EXPECT_TRUE(r.cache->glyphs().empty());
    r.backend.failUploads = false;
    EXPECT_TRUE(r.cache->glyphEntry(font, glyphOf(font, 'A')));
}

TEST(GlyphCache, ScaledFontsAreKeyedByTheirScaledSize)
{
    Renderer r;
    const GpuFont font = mono(13);
    const GpuFont scaled = r.cache->scaledFont(font, 2);
    EXPECT_EQ(scaled.size(), 26);
    EXPECT_EQ(scaled.face(), font.face());
    EXPECT_TRUE(r.cache->scaledFonts().contains(GlyphKeyView{"JetBrainsMono-Regular", 26, 0}));
    r.cache->scaledFont(mono(26), 1);
    EXPECT_EQ(r.cache->scaledFonts().size(), 1u);
}

TEST(ShaperCache, FallbackRunsFollowThePaintersChoice)
{
    DrawingFallbackChooser chooser;
    ShaperCache shaper(library(), &chooser);
    const GpuFont font = mono(26);
    const ShaperRun* run = shaper.shape(u"a\u4E2D\U0001F600", font);
    ASSERT_TRUE(run);
    ASSERT_EQ(run->glyphRuns.size(), 3u);
    EXPECT_EQ(run->glyphRuns[0].font.postScriptName(), "JetBrainsMono-Regular");
    const GpuFont& cjk = run->glyphRuns[1].font;
    EXPECT_NE(cjk.postScriptName(), "JetBrainsMono-Regular");
    EXPECT_TRUE(cjk.face()->hasGlyphFor(0x4E2D)) << cjk.postScriptName();
    EXPECT_EQ(run->glyphRuns[2].font.postScriptName(), "NotoColorEmoji");
    EXPECT_EQ(run->stringIndices, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(run->glyphCount, 3);
    for (const auto& r : run->glyphRuns) {
        ASSERT_EQ(r.glyphs.size(), 1u);
        EXPECT_NE(r.glyphs[0], 0) << r.font.postScriptName();
        EXPECT_EQ(r.font.size(), 26);
    }
    EXPECT_LT(run->positions[0].x, run->positions[1].x);
    EXPECT_LT(run->positions[1].x, run->positions[2].x);
}

TEST(ShaperCache, MarksStayWithTheirBaseAndLoneSurrogatesAreShaped)
{
    DrawingFallbackChooser chooser;
    ShaperCache shaper(library(), &chooser);
    const ShaperRun* run = shaper.shape(u"e\u0301x", mono(26));
    ASSERT_TRUE(run);
    EXPECT_EQ(run->glyphRuns.size(), 1u);
    const std::u16string lone = {u'a', char16_t(0xD800), u'b'};
    run = shaper.shape(lone, mono(26));
    ASSERT_TRUE(run);
    EXPECT_EQ(run->stringIndices.front(), 0);
    EXPECT_EQ(run->stringIndices.back(), 2);
}

TEST(ShaperCache, KeysAndFirstInFirstOutEviction)
{
    ShaperCache shaper(library(), nullptr);
    const GpuFont font = mono(26);
    EXPECT_FALSE(shaper.shape(u"", font));
    ASSERT_TRUE(shaper.shape(u"first", font));
    ASSERT_TRUE(shaper.shape(u"first", mono(13)));
    ASSERT_TRUE(shaper.shape(u"first", mono(26, true)));
    EXPECT_EQ(shaper.size(), 3u);
    EXPECT_EQ(shaper.shapedCount(), 3u);
    for (int i = 1; i < 2046; ++i)
        ASSERT_TRUE(shaper.shape(u"piece " + std::u16string(1, char16_t(0x100 + i)) + u"!", font));
    EXPECT_EQ(shaper.size(), 2048u);
    const std::size_t shaped = shaper.shapedCount();
    ASSERT_TRUE(shaper.shape(u"first", font));  // a hit does not refresh it
    EXPECT_EQ(shaper.shapedCount(), shaped);
    ASSERT_TRUE(shaper.shape(u"the 2049th", font));
    EXPECT_EQ(shaper.size(), 2048u);
    EXPECT_FALSE(shaper.contains("JetBrainsMono-Regular", 26, u"first"));
    EXPECT_TRUE(shaper.contains("JetBrainsMono-Regular", 13, u"first"));
    ASSERT_TRUE(shaper.shape(u"first", font));
    EXPECT_EQ(shaper.shapedCount(), shaped + 2);
}

// The painter's fallback cache is process-wide and keyed by base identity:
// two adapters (two views) must not hand it the same identity for
// different bases, or one reads the other's fallbacks.
TEST(DrawingFallbackChooser, TwoAdaptersKeepTheirBasesApart)
{
    const GpuFont wqy = GpuFont(library().faceFor("WenQuanYi Micro Hei", false, false), 17);
    ASSERT_TRUE(wqy.valid());
    const FontSet painted(QStringLiteral("WenQuanYi Micro Hei"), 13);
    QRawFont base = painted.rawNormal();
    base.setPixelSize(17);
    for (const char32_t ch : {U'\u263A', U'\u2603', U'\u2654'}) {
        DrawingFallbackChooser first, second;
        (void)first.fallbackFace(mono(17), ch, false);
        const std::string name = second.fallbackFace(wqy, ch, false);
        const QRawFont expected = FallbackFonts::fallbackFont(ch, base, painted.faceId(FontFace::normal));
        auto face = library().face(name);
        ASSERT_TRUE(face) << name;
        EXPECT_EQ(face->familyName(), expected.familyName().toStdString()) << std::hex << unsigned(ch);
    }
}

TEST(DrawingFallbackChooser, NameTablesAreReadWithinTheirBounds)
{
    // format 0, one record: platform 3, name 6, length 4, offset 0: "Ab".
    const std::string table("\0\0\0\1\0\x12\0\3\0\1\x04\x09\0\6\0\4\0\0\0A\0b", 22);
    EXPECT_EQ(DrawingFallbackChooser::postScriptNameFromNameTable(table), "Ab");
    for (std::size_t n = 0; n < table.size(); ++n)
        EXPECT_EQ(DrawingFallbackChooser::postScriptNameFromNameTable(table.substr(0, n)), "");
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        std::string junk(rng() % 64, '\0');
        for (char& c : junk)
            c = char(rng());
        (void)DrawingFallbackChooser::postScriptNameFromNameTable(junk);
    }
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
