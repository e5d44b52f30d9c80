#include "ravelgrid/gpu/DrawingFallbackChooser.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/FreeTypeGlyphRasterizer.h"
#include "ravelgrid/gpu/GlyphAtlas.h"
#include "ravelgrid/gpu/GlyphCache.h"
#include "ravelgrid/gpu/RowDrawCache.h"
#include "ravelgrid/gpu/ShaperCache.h"
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"

#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/terminal/Terminal.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace ravelgrid {
namespace {

using test::RowRenderer;

TEST(RowDrawBackgrounds, RunsColoursSelectionAndDoubledLines)
{
    struct Case {
        const char* name;
        const char* bytes;
        double scale;
        bool selectFirstTwo;
        int expectedCount;
        double x0, width;  // in cells of the (undoubled) grid
        bool selectionColour;
    };
    const Case cases[] = {
        {"palette red over two cells", "\x1b[41mab", 1, false, 1, 0, 2, false},
        {"at 2x", "\x1b[41mab", 2, false, 1, 0, 2, false},
        {"default background", "ab", 1, false, 0, 0, 0, false},
        {"default under DECSCNM", "\x1b[?5hab", 1, false, 0, 0, 0, false},
        {"selection wins", "\x1b[41mab", 1, true, 1, 0, 2, true},
        {"DECDWL doubles columns", "\x1b#6 \x1b[41mb", 2, false, 1, 2, 2, false},
    };
    for (const Case& c : cases) {
        RowRenderer r;
        r.feed(c.bytes);
        if (c.selectFirstTwo)
            r.view.context.selectedColumns = [](int row) {
                return row == 0 ? std::optional<std::pair<int, int>>({0, 2}) : std::nullopt;
            };
        const DrawData d = r.build(c.scale, BufferingMode::perFrameAggregated);
        ASSERT_TRUE(d.frame) << c.name;
        const auto& bg = d.frame->backgroundCells;
        ASSERT_EQ(int(bg.size()), c.expectedCount) << c.name;
        if (bg.empty())
            continue;
        const double cw = r.view.cell.width() * c.scale;
        EXPECT_FLOAT_EQ(bg[0].x, float(c.x0 * cw)) << c.name;
        EXPECT_FLOAT_EQ(bg[0].width, float(c.width * cw)) << c.name;
        EXPECT_FLOAT_EQ(bg[0].height, float(r.view.cell.height() * c.scale)) << c.name;
        const QColor want = c.selectionColour ? r.view.context.selectedBackground : r.paletteColor(1);
        EXPECT_NEAR(bg[0].r, want.redF(), 1e-3) << c.name;
        EXPECT_NEAR(bg[0].g, want.greenF(), 1e-3) << c.name;
        // Row 0 is at the top: its bottom edge one row below the view's top.
        EXPECT_FLOAT_EQ(bg[0].y, float((r.view.view.height() - r.view.cell.height()) * c.scale)) << c.name;
    }
}

TEST(RowDrawText, GlyphsSnapToTheirCells)
{
    RowRenderer r;
    r.feed("aq\xcc\x81"
           "\xe4\xb8\xad"
           "\xf0\x9f\x98\x80");
    const DrawData d = r.build(1, BufferingMode::perFrameAggregated);
    ASSERT_TRUE(d.frame);
    const double cw = r.view.cell.width();
    const auto& gray = d.frame->glyphCellsGray;
    // a, q, the accent (no precomposed form to fold into) and 中 in the grayscale atlas; the emoji in colour.
    ASSERT_EQ(gray.size(), 4u);
    EXPECT_GE(gray[0].x, 0);
    EXPECT_LT(gray[0].x, cw);
    // The letter sits at its cell's left edge plus its own bearing; the mark
    // stays over the same cell.
    EXPECT_GE(gray[1].x, cw);
    EXPECT_LT(gray[1].x, 2 * cw);
    EXPECT_GE(gray[2].x, cw - 2);
    EXPECT_LT(gray[2].x + gray[2].width, 2 * cw + 2);
    // 中 is centred in its two-cell slot at columns 2 and 3.
    EXPECT_NEAR(gray[3].x + gray[3].width / 2, 3 * cw, 1.5);
    ASSERT_EQ(d.frame->glyphCellsColor.size(), 1u);
    const TextCell& emoji = d.frame->glyphCellsColor[0];
    EXPECT_EQ((std::array<float, 4>{emoji.r, emoji.g, emoji.b, emoji.a}), (std::array<float, 4>{1, 1, 1, 1}));
    EXPECT_GE(emoji.x, 4 * cw - 2);
    // Text takes the run's foreground.
    EXPECT_NEAR(gray[0].r, r.view.defaultForeground().redF(), 1e-3);
}

TEST(RowDrawText, StringIndicesPastTheMapLandInTheLastMappedCell)
{
    struct Case {
        std::vector<int> map;
        int index;
        int expected;
    };
    // With no mapped cell to fall back on, cell 0: the glyph is still drawn.
    for (const Case& c : {Case{{0, 0, 1, 2}, 1, 0}, Case{{0, 0, 1, 2}, 9, 2}, Case{{0, 0, 1, 2}, -1, 2}, Case{{}, 0, 0},
                          Case{{}, -1, 0}, Case{{4, -1}, 7, 0}, Case{{3}, 5, 3}})
        EXPECT_EQ(cellOrdinalAt(c.map, c.index), c.expected);
}

// Full-screen programs place every cell: on the alternate screen a bar and a
// number beside Hebrew stay in their cells; the normal screen reorders them.
TEST(RowDrawText, AlternateScreenRowsKeepTheirCells)
{
    const std::string row =
        "\xd7\xa9\xd7\x9c  \x1b[48;2;255;0;0m|\x1b[48;2;0;255;0m2\x1b[m |\r\n";  // Shin Lamed, bar, number
    RowRenderer r;
    r.view.context.bidi = true;
    const auto redAndGreen = [&r] {
        const DrawData d = r.build(1, BufferingMode::perFrameAggregated);
        std::pair<int, int> at{-1, -1};
        for (const ColorCell& c : d.frame->backgroundCells) {
            const int col = int(std::lround(c.x / r.view.cell.width()));
            (c.r > c.g ? at.first : at.second) = col;
        }
        return at;
    };
    r.feed("\x1b[?1049h" + row);
    EXPECT_EQ(redAndGreen(), std::make_pair(4, 5));
    r.feed("\x1b[?1049l" + row);
    const int cols = r.terminal().cols;
    EXPECT_EQ(redAndGreen(), std::make_pair(cols - 5, cols - 6));
}

TEST(RowDrawText, DoubledTopKeepsTheUpperHalf)
{
    RowRenderer single, top;
    single.feed("X");
    top.feed("\x1b#3X");
    const auto a = single.build(1, BufferingMode::perFrameAggregated).frame->glyphCellsGray;
    const auto b = top.build(1, BufferingMode::perFrameAggregated).frame->glyphCellsGray;
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    const float rowTop = float(top.view.view.height());
    EXPECT_LE(b[0].y + b[0].height, rowTop + 1e-3f);
    // Texture rows go up: the kept part ends at the glyph's top texel row.
    EXPECT_NEAR(b[0].texY + b[0].texHeight, a[0].texY + a[0].texHeight, 1e-3);
    EXPECT_LT(b[0].texHeight, a[0].texHeight);
}

TEST(RowDrawDecorations, WideCellUnderlineCoversBothColumns)
{
    for (const double scale : {1.0, 2.0}) {
        RowRenderer r;
        r.feed("\x1b[4m\xe4\xb8\xad\x1b[24m \x1b[9mx");
        const DrawData d = r.build(scale, BufferingMode::perFrameAggregated);
        const auto& deco = d.frame->decorationCells;
        ASSERT_EQ(deco.size(), 2u);
        const double cw = r.view.cell.width();
        EXPECT_FLOAT_EQ(deco[0].x, 0);
        EXPECT_FLOAT_EQ(deco[0].width, float((cw + std::ceil(cw)) * scale));
        // Strikethrough of x at column 3, (x-height + t) / 2 above the baseline.
        EXPECT_FLOAT_EQ(deco[1].x, float(3 * cw * scale));
        const RendererFontMetrics m = r.view.fontMetrics(FontFace::normal);
        const double t = decorationThickness(m.underlineThickness, scale);
        const double baseline = r.view.view.height() - r.view.cell.height() + std::ceil(m.descent + m.leading);
        EXPECT_NEAR(deco[1].y + deco[1].height / 2, (baseline + (m.xHeight + t) / 2) * scale, 1e-3);
    }
}

// The strikethrough takes its thickness and height from the run's own
// face, the underline from the normal one.
TEST(RowDrawDecorations, StrikethroughMeasuresTheRunsFace)
{
    for (const double scale : {1.0, 2.0}) {
        RowRenderer r;
        r.view.metrics[std::size_t(FontFace::bold)] = {3, 0, -4, 3, 12};
        r.feed("\x1b[9mx\x1b[1my\x1b[0;1;4mz");
        const DrawData d = r.build(scale, BufferingMode::perFrameAggregated);
        const auto& deco = d.frame->decorationCells;
        ASSERT_EQ(deco.size(), 3u);
        const double baseline = r.view.view.height() - r.view.cell.height() + 3;
        struct Case {
            std::size_t index;
            double yPt, thicknessPt;
        };
        for (const Case c : {Case{0, baseline + (7 + 1) / 2.0, 1}, Case{1, baseline + (12 + 3) / 2.0, 3},
                             Case{2, baseline - 1.5, 1}}) {
            EXPECT_NEAR(deco[c.index].y + deco[c.index].height / 2, c.yPt * scale, 1e-3) << c.index << " " << scale;
            EXPECT_NEAR(deco[c.index].height, c.thicknessPt * scale, 1e-3) << c.index << " " << scale;
        }
    }
}

TEST(RowDrawCustomGlyphs, ShapesFromMasksJoinsBesideSeparators)
{
    RowRenderer r;
    r.feed("\x1b[31m\xe2\x96\x88\xee\x82\xb0\xee\x82\xb2\xee\x82\xb1");
    const DrawData d = r.build(1, BufferingMode::perFrameAggregated);
    const double cw = r.view.cell.width();
    // Block, two solid separators; the thin one is text from the font.
    EXPECT_GE(d.frame->glyphCellsGray.size(), 3u);
    const auto& joins = d.frame->powerlineJoinCells;
    ASSERT_EQ(joins.size(), 2u);
    EXPECT_FLOAT_EQ(joins[0].x, float(1 * cw - 1));
    EXPECT_FLOAT_EQ(joins[1].x, float(3 * cw));
    EXPECT_FLOAT_EQ(joins[0].width, 1);
    EXPECT_NEAR(joins[0].r, r.paletteColor(1).redF(), 1e-3);
}

TEST(FrameRowSnapshot, HoldsTheFramesLinesAndOnlyRowsThatExist)
{
    TerminalOptions options;
    options.rows = 4;
    options.scrollback = 0;
    Terminal terminal(nullptr, options);
    terminal.feed("one\r\n\x1b#6two");
    Buffer& buffer = terminal.activeBuffer();
    struct Case {
        int start, rows;
        std::vector<int> expected;
    };
    for (const Case& c : {Case{0, 4, {0, 1, 2, 3}}, Case{2, 10, {2, 3}}, Case{-2, 3, {0}}, Case{9, 2, {}}}) {
        const FrameRowSnapshot snap = FrameRowSnapshot::take(buffer, c.start, c.rows);
        std::vector<int> got;
        for (const FrameRow& row : snap.rows())
            got.push_back(row.bufferRow);
        EXPECT_EQ(got, c.expected) << c.start << "+" << c.rows;
    }
    const FrameRowSnapshot snap = FrameRowSnapshot::take(buffer, 0, 4);
    ASSERT_TRUE(snap.row(1));
    EXPECT_EQ(snap.row(1)->mode, BufferLine::RenderLineMode::doubleWidth);
    EXPECT_FALSE(snap.row(7));
    const std::uint64_t generation = snap.row(0)->generation;
    const BufferLine* first = snap.row(0)->line.get();
    // The frame keeps its line while the screen moves on.
    terminal.feed("\r\n\r\n\r\n\r\nmore");
    EXPECT_EQ(snap.row(0)->line.get(), first);
    // The next frame tells the row changed: another object, or the same one
    // recycled by the ring under a new generation.
    const FrameRowSnapshot next = FrameRowSnapshot::take(buffer, 0, 4);
    EXPECT_TRUE(next.row(0)->line.get() != first || next.row(0)->generation != generation);
}

// ---- the row cache ---------------------------------------------------------

TEST(RowCache, RebuildsOnlyWhatChanged)
{
    for (const BufferingMode mode : {BufferingMode::perRowPersistent, BufferingMode::perFrameAggregated}) {
        RowRenderer r;
        r.feed("hello\r\nworld");
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "first build is full";
        EXPECT_EQ(r.rebuilt(mode), 0);
        r.feed("!");
        EXPECT_EQ(r.rebuilt(mode), 1) << "one character";
        r.view.dirty = std::pair{-10, -1};
        EXPECT_EQ(r.rebuilt(mode), 0) << "dirty range above the screen";
        r.view.dirty = std::pair{3, 4};
        EXPECT_EQ(r.rebuilt(mode), 2) << "dirty rows";
        r.view.dirty = std::pair{-100, 1000};
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "clamped to the screen";
        for (int i = 0; i < r.rows(); ++i)
            r.feed("\r\n");
        r.rebuilt(mode);
        r.feed("\r\nx");
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "scrolling one line";
        r.feed("\x1b_Ga=t,q=2,f=32,i=9,s=1,v=1;AAAAAA==\x1b\\");
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "a new unplaced kitty image";
        r.feed("\x1b_Ga=t,q=2,f=32,i=9,s=1,v=1;AAAA/w==\x1b\\");
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "new pixels under the same id and size";
        r.view.context.bidi = !r.view.context.bidi;
        EXPECT_EQ(r.rebuilt(mode), r.rows()) << "bidi policy";
        EXPECT_EQ(r.rebuilt(mode), 0);
    }
}

TEST(RowCache, AnEditInAWrappedRightToLeftParagraphRebuildsItsRows)
{
    struct Case {
        bool bidi;
        int expected;
    };
    for (const Case c : {Case{true, 3}, Case{false, 1}}) {
        RowRenderer r;
        r.view.context.bidi = c.bidi;
        std::string hebrew;
        for (int i = 0; i < 200; ++i)
            hebrew += "\xd7\x90";  // alef: three rows of 80 columns
        r.feed(hebrew + "\r\n\r\nafter");
        r.rebuilt(BufferingMode::perFrameAggregated);
        r.feed("\x1b[2;5H\xd7\x91");  // one letter on the paragraph's middle row
        EXPECT_EQ(r.rebuilt(BufferingMode::perFrameAggregated), c.expected) << c.bidi;
    }
}

TEST(RowCache, ALineReplacedAtItsIndexIsRebuilt)
{
    TerminalOptions options;
    options.scrollback = 0;
    RowRenderer r(options);
    for (int i = 0; i < r.rows(); ++i)
        r.feed("line\r\n");
    r.rebuilt(BufferingMode::perRowPersistent);
    ASSERT_EQ(r.terminal().activeBuffer().yDisp(), 0);
    // The ring is full: the content moves up with yDisp unchanged, every
    // index now holds another line object, and no dirty range says so.
    r.feed("\r\n");
    ASSERT_EQ(r.terminal().activeBuffer().yDisp(), 0);
    EXPECT_EQ(r.rebuilt(BufferingMode::perRowPersistent), r.rows());
}

TEST(RowCache, BufferingModeSwitch)
{
    RowRenderer r;
    r.feed("\x1b[42mgreen\x1b[m\r\nmore");
    r.rebuilt(BufferingMode::perRowPersistent);
    EXPECT_EQ(r.cache.entriesWithBuffers(), std::size_t(r.rows()));
    DrawData aggregated = r.build(1, BufferingMode::perFrameAggregated);
    EXPECT_EQ(r.cache.rowsRebuiltLastBuild(), 0);
    EXPECT_EQ(r.cache.entriesWithBuffers(), 0u) << "all per-row buffers freed at once";
    EXPECT_TRUE(aggregated.rows.empty());
    ASSERT_TRUE(aggregated.frame);
    EXPECT_EQ(aggregated.frame->backgroundCells.size(), 1u);
    const int before = r.backend.buffersMade;
    DrawData perRow = r.build(1, BufferingMode::perRowPersistent);
    EXPECT_EQ(r.cache.rowsRebuiltLastBuild(), 0) << "reused, not rebuilt";
    EXPECT_EQ(r.cache.entriesWithBuffers(), std::size_t(r.rows()));
    EXPECT_GT(r.backend.buffersMade, before);
    EXPECT_FALSE(perRow.frame);
    ASSERT_EQ(int(perRow.rows.size()), r.rows());
    EXPECT_EQ(perRow.rows[0].backgroundCount, 1);
    // A list the backend cannot hold is simply not drawn.
    r.backend.failBuffer = [](std::size_t) { return true; };
    r.view.dirty = std::pair{0, 0};
    const DrawData failed = r.build(1, BufferingMode::perRowPersistent);
    EXPECT_EQ(failed.rows[0].backgroundCount, 0);
    EXPECT_FALSE(failed.rows[0].backgroundBuffer);
}

TEST(RowCache, KittyImagesByZAndId)
{
    RowRenderer r;
    // Four 1x1 images, placed at the home position with z -1, 0, 0 and -1.
    const char* put[] = {"\x1b_Ga=T,q=2,f=32,i=4,s=1,v=1,z=-1,C=1;/wAA/w==\x1b\\",
                         "\x1b_Ga=T,q=2,f=32,i=3,s=1,v=1,z=0,C=1;AP8A/w==\x1b\\",
                         "\x1b_Ga=T,q=2,f=32,i=2,s=1,v=1,z=0,C=1;AAD//w==\x1b\\",
                         "\x1b_Ga=T,q=2,f=32,i=1,s=1,v=1,z=-1,C=1;////fw==\x1b\\"};
    for (const char* p : put)
        r.feed(p);
    const DrawData d = r.build(1, BufferingMode::perFrameAggregated);
    ASSERT_EQ(d.frame->underImageDraws.size(), 2u);
    ASSERT_EQ(d.frame->overImageDraws.size(), 2u);
    EXPECT_TRUE(d.frame->otherImageDraws.empty());
    // Equal z: lower id first.
    const auto texelOf = [](const ImageDraw& draw) {
        const auto& t = dynamic_cast<FakeGpuBackend::Texture&>(*draw.texture);
        return std::array<int, 4>{t.texels()[2], t.texels()[1], t.texels()[0], t.texels()[3]};
    };
    EXPECT_EQ(texelOf(d.frame->underImageDraws[0]), (std::array<int, 4>{127, 127, 127, 127}));  // id 1, premultiplied
    EXPECT_EQ(texelOf(d.frame->underImageDraws[1]), (std::array<int, 4>{255, 0, 0, 255}));      // id 4
    EXPECT_EQ(texelOf(d.frame->overImageDraws[0]), (std::array<int, 4>{0, 0, 255, 255}));       // id 2
    EXPECT_EQ(texelOf(d.frame->overImageDraws[1]), (std::array<int, 4>{0, 255, 0, 255}));       // id 3
    // Each quad is six vertices on the first row.
    EXPECT_EQ(d.frame->overImageDraws[0].vertices.size(), 6u);
}

TEST(RowCache, CaretComesWithTheFrame)
{
    RowRenderer r;
    r.feed("\x1b[2 qab");
    const DrawData d = r.build(1, BufferingMode::perRowPersistent);
    ASSERT_EQ(d.cursor.colorVertices.size(), 6u);
    EXPECT_FLOAT_EQ(d.cursor.colorVertices[0].x, float(2 * r.view.cell.width()));
    EXPECT_TRUE(d.cursor.glyphVerticesGray.empty()) << "nothing under the caret";
    r.view.blinkOn = false;
    r.feed("\x1b[1 q");
    EXPECT_TRUE(r.build(1, BufferingMode::perRowPersistent).cursor.empty());

    // A block over a letter redraws it in the caret's text colour; over an
    // emoji, in white from the colour atlas.
    struct Case {
        const char* bytes;
        std::size_t gray, colour;
    };
    for (const Case c : {Case{"\x1b[2 qx\x1b[1G", 6, 0}, Case{"\x1b[2 q\xf0\x9f\x98\x80\x1b[1G", 0, 6},
                         Case{"\x1b[2 q\xee\x82\xb0\x1b[1G", 6, 0}, Case{"\x1b[4 qx\x1b[1G", 0, 0}}) {
        RowRenderer one;
        one.feed(c.bytes);
        const CursorDrawData caret = one.build(1, BufferingMode::perRowPersistent).cursor;
        EXPECT_EQ(caret.glyphVerticesGray.size(), c.gray) << c.bytes;
        EXPECT_EQ(caret.glyphVerticesColor.size(), c.colour) << c.bytes;
        if (c.gray) {
            EXPECT_NEAR(caret.glyphVerticesGray[0].r, 10 / 255.0, 1e-3);
            EXPECT_GE(caret.glyphVerticesGray[0].x, 0);
            EXPECT_LE(caret.glyphVerticesGray[4].x, one.view.cell.width() + 0.5);
        }
        if (c.colour) {
            EXPECT_EQ(caret.glyphVerticesColor[0].r, 1);
        }
    }
}

}  // namespace
}  // namespace ravelgrid
