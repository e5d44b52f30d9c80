// Whole frames through the OpenGL path (llvmpipe under xvfb-run) held
// against the QPainter path and against what a screen must show; pixels
// are read in cell interiors only.
#include "platform/FakeScheduler.h"
#include "platform/Log.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FontSetFaces.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/gpu/tests/GlTestContext.h"
#include "ravelgrid/gpu/tests/GpuRowDrawSupport.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QOpenGLFramebufferObject>
#include <QPainter>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

using namespace ravelgrid;

namespace {

// A view read from a FramePainter's own fonts, colours and cell size, the
// way the widget's GPU host reads them from its view: both paths then draw
// from the same inputs.
class PainterBackedView final : public RendererView {
public:
    PainterBackedView(Terminal& terminal, FramePainter& painter) : terminal_(terminal), painter_(painter)
    {
        context.clusterText = [&terminal](int32_t code) { return QString::fromStdString(terminal.character(code)); };
    }

    Terminal* terminal() override { return &terminal_; }
    QSizeF cellSize() const override { return painter_.cellSize(); }
    QSizeF viewSize() const override { return view; }
    // The widget's own choice of faces.
    GpuFont font(FontFace face) const override
    {
        static FontSetFaces chosen(test::sharedFaces());
        return chosen.font(painter_.fontSet(), face);
    }
    RendererFontMetrics fontMetrics(FontFace face) const override
    {
        const QRawFont& raw = painter_.fontSet().raw(face);
        return {raw.descent(), raw.leading(), -raw.underlinePosition(), std::max(raw.lineThickness(), 1.0),
                raw.xHeight()};
    }
    double windowScale() const override { return window; }
    CellAttributes& attributes() override { return painter_.attributes(); }
    QColor defaultBackground() const override { return painter_.colors().effectiveBackground(context.reverseColors); }
    QColor defaultForeground() const override { return painter_.colors().effectiveForeground(context.reverseColors); }
    const RowContext& rowContext() const override { return context; }
    bool antiAliasCustomBlockGlyphs() const override { return painter_.antiAliasCustomBlockGlyphs(); }
    bool hasFocus() const override { return true; }
    bool caretTracksFocus() const override { return true; }
    bool cursorBlinkOn() const override { return true; }
    // Far from the gray foreground, so a glyph in the wrong colour shows.
    QColor caretColor() const override { return QColor(240, 200, 40); }
    QColor caretTextColor() const override { return QColor(20, 40, 220); }
    bool fontSmoothing() const override { return painter_.fontSmoothing(); }
    BufferingMode bufferingMode() const override { return mode; }
    std::optional<std::pair<int, int>> takeDirtyRange() override { return std::nullopt; }

    RowContext context;
    QSizeF view;
    BufferingMode mode = BufferingMode::perFrameAggregated;
    double window = 1;

private:
    Terminal& terminal_;
    FramePainter& painter_;
};

struct Gl {
    test::GlTestContext context;
    std::shared_ptr<OpenGlContext> handle = context.handle;
    platform::FakeScheduler scheduler;
    std::unique_ptr<GpuTerminalRenderer> renderer;

    Gl()
    {
        if (!handle)
            return;
        auto made = GpuTerminalRenderer::create(
            handle, {}, test::sharedFaces(), scheduler,
            {.isRetryEligible = [] { return true; }, .requestDraw = {}, .requestRecovery = {}, .becameIdle = {}});
        if (auto* ok = std::get_if<std::unique_ptr<GpuTerminalRenderer>>(&made))
            renderer = std::move(*ok);
    }
    ~Gl() { renderer.reset(); }

    // One frame, waited for until its fence signals, read back top row
    // first; null when the frame was not drawn or never completed.
    QImage frame(RendererView& view, double scale = 1)
    {
        const int w = int(std::lround(view.viewSize().width() * scale));
        const int h = int(std::lround(view.viewSize().height() * scale));
        QOpenGLFramebufferObject fbo(w, h);
        const auto completed = renderer->frames().framesCompleted();
        if (renderer->drawFrame(view, fbo.handle(), w, h, scale) != OpenGlFrameRenderer::Outcome::drawn)
            return {};
        for (int i = 0; i < 400 && renderer->coordinator().hasActiveFrame(); ++i) {
            handle->gl().glFinish();
            scheduler.advance(1'000'000);
        }
        if (renderer->frames().framesCompleted() != completed + 1)
            return {};
        return fbo.toImage().convertToFormat(QImage::Format_RGB32);
    }
};

// One terminal and the painter whose fonts, colours and cell size both
// paths share.
struct Screen {
    std::unique_ptr<Terminal> terminal;
    FramePainter painter;
    std::unique_ptr<PainterBackedView> view;
    int cols, rows;

    // A line spacing below 1 makes cells shorter than the font's glyphs.
    // Without a family, the desktop's monospace one.
    Screen(int columns, int lines, qreal lineSpacing = 1.0, const QString& family = {}) : cols(columns), rows(lines)
    {
        TerminalOptions options;
        options.cols = cols;
        options.rows = rows;
        terminal = std::make_unique<Terminal>(nullptr, options);
        TerminalKittyGraphics::attach(*terminal);
        // The widget's colours: the terminal's palette, light gray on black.
        Terminal* t = terminal.get();
        painter.colors().setPaletteLookup([t](uint8_t index) {
            return index < t->ansiColors.size() ? t->ansiColors[index] : Color::defaultForeground();
        });
        painter.colors().setNativeForeground(QColor(138, 138, 138));
        painter.colors().setNativeBackground(QColor(0, 0, 0));
        painter.setFontSet(family.isEmpty() ? FontSet::defaultSet() : FontSet(family, FontSet::defaultSize));
        painter.setCellSize(computeCellDimension(painter.fontSet().rawNormal(), lineSpacing, 1.0));
        view = std::make_unique<PainterBackedView>(*terminal, painter);
        view->view = QSizeF(cols * cell().width(), rows * cell().height());
    }
    QSizeF cell() const { return painter.cellSize(); }

    // At a device pixel ratio of `scale`, the window's.
    QImage painted(double scale = 1)
    {
        // A colour no cell uses: anything left of it was never painted.
        QImage image((view->view * scale).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(QColor(255, 0, 255));
        FrameInput input;
        input.buffer = &terminal->activeBuffer();
        input.columns = cols;
        input.rows = rows;
        input.viewSize = view->view;
        input.dirty = QRectF(QPointF(0, 0), view->view);
        input.row = view->context;
        if (TerminalKittyGraphics* kitty = TerminalKittyGraphics::of(*terminal))
            input.kitty = &kitty->state();
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
        p.end();
        image.setDevicePixelRatio(1);
        return image.convertToFormat(QImage::Format_RGB32);
    }
    // What the view's caret shows over a cell: its block, and the cell's
    // character in the caret's text colour and the cell's own face.
    void paintCaret(QImage& image, int col, int row)
    {
        const CharData& cell = terminal->activeBuffer().screenLine(row)[col];
        const int width = std::max(1, int(cell.width));
        const GridGeometry geometry = painter.geometry(view->view);
        QPainter p(&image);
        p.fillRect(geometry.cellRect(col, row, width), view->caretColor());
        const CellStyle style = painter.attributes().attributesForCell(cell.attribute, false, false);
        painter.drawCellGlyph(p, RowCell{col, width, cell.code, false}, style.face, view->caretTextColor(),
                              geometry.baselineY(row), view->context);
    }
    // Whole pixels inside a cell, with a margin of `inset` on every side.
    QRect cellRect(int col, int row, int span = 1, int inset = 0) const
    {
        const QSizeF c = cell();
        const int x0 = int(std::ceil(col * c.width())) + inset;
        const int x1 = int(std::floor((col + span) * c.width())) - inset;
        const int y0 = int(std::ceil(row * c.height())) + inset;
        const int y1 = int(std::floor((row + 1) * c.height())) - inset;
        return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
    }
    QPoint centre(int col, int row) const { return cellRect(col, row).center(); }
};

int channelDistance(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

std::string describe(QRgb c)
{
    return std::to_string(qRed(c)) + "," + std::to_string(qGreen(c)) + "," + std::to_string(qBlue(c));
}

// Cell fonts named, not left to the desktop: one with every face, one
// without italics (as fontconfig's monospace often is), and a proportional
// one with neither bold nor italic, whose faces Qt synthesises all but the
// first. Those not installed are left out; the first must be there.
std::vector<QString> cellFamilies()
{
    const QStringList installed = QFontDatabase::families();
    std::vector<QString> families;
    for (const char* family : {"DejaVu Sans Mono", "Noto Sans Mono", "WenQuanYi Micro Hei"})
        if (installed.contains(QString::fromLatin1(family)))
            families.emplace_back(QString::fromLatin1(family));
    EXPECT_TRUE(!families.empty() && families.front() == "DejaVu Sans Mono") << "run scripts/install-deps.sh";
    return families;
}

int summedDistance(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

// Ink over a rectangle: summed channel distance from a ground colour, and
// the point its weight centres on.
struct Ink {
    double total = 0, x = 0, y = 0;
};

Ink inkOf(const QImage& image, const QRect& rect, QRgb ground)
{
    Ink ink;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const double w = summedDistance(image.pixel(x, y), ground);
            ink.total += w;
            ink.x += w * x;
            ink.y += w * y;
        }
    if (ink.total > 0) {
        ink.x /= ink.total;
        ink.y /= ink.total;
    }
    return ink;
}

// Pixels of a rectangle with colour in them, not a shade of gray.
int saturatedPixels(const QImage& image, const QRect& rect)
{
    int saturated = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            saturated += std::max({qRed(p), qGreen(p), qBlue(p)}) - std::min({qRed(p), qGreen(p), qBlue(p)}) > 80;
        }
    return saturated;
}

// Mean over a rectangle of each pixel's summed channel distance from `ground`.
double meanInk(const QImage& image, const QRect& rect, QRgb ground)
{
    return inkOf(image, rect, ground).total / double(rect.width() * rect.height());
}

// The 200 x 60 screen: words of many letters in palette colours on
// palette backgrounds, every third word bold, full blocks between words;
// each word's attributes run through the blank after it, so that blank
// shows the word's background.
struct Cell {
    enum Kind { blank, block, text } kind;
    int col, row;
};

std::vector<Cell> fillVariedScreen(Terminal& terminal, int cols, int rows)
{
    // Foreground and background palette pairs far apart in every case.
    static constexpr std::pair<int, int> schemes[] = {{15, 0},   {11, 4},   {14, 1},   {0, 7},    {10, 5},
                                                      {231, 18}, {16, 214}, {226, 90}, {195, 52}, {9, 17}};
    std::vector<Cell> cells;
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@#%&*+=?";
    for (int row = 0; row < rows; ++row) {
        std::string line = "\x1b[" + std::to_string(row + 1) + ";1H";
        int col = 0, word = 0;
        while (col < cols) {
            const auto [fg, bg] = schemes[(row * 3 + word) % std::size(schemes)];
            const int length = std::min(2 + (row + word * 5) % 7, cols - col);
            line.append("\x1b[0;38;5;" + std::to_string(fg) + ";48;5;" + std::to_string(bg) + "m");
            if (word % 3 == 1)
                line.append("\x1b[1m");
            for (int i = 0; i < length; ++i, ++col) {
                line.push_back(letters[std::size_t(row * 13 + word * 7 + i) % letters.size()]);
                cells.push_back({Cell::text, col, row});
            }
            if (col < cols) {
                line.push_back(' ');
                cells.push_back({Cell::blank, col++, row});
            }
            if (word % 4 == 2 && col < cols) {
                line.append("\xe2\x96\x88");
                cells.push_back({Cell::block, col++, row});
            }
            ++word;
        }
        terminal.feed(line);
    }
    terminal.feed("\x1b[0m\x1b[?25l");
    return cells;
}

}  // namespace

TEST(GpuFrameTests, TheSameScreenMatchesThePainter)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer) << "no renderer (run under xvfb-run)";
    Screen s(200, 60);
    const std::vector<Cell> cells = fillVariedScreen(*s.terminal, s.cols, s.rows);
    const QImage gpu = gl.frame(*s.view);
    ASSERT_FALSE(gpu.isNull());
    s.view->mode = BufferingMode::perRowPersistent;
    EXPECT_TRUE(gl.frame(*s.view) == gpu) << "the buffering modes drew different frames";
    const QImage painted = s.painted();
    ASSERT_EQ(gpu.size(), painted.size());

    int flatChecked = 0, textChecked = 0, flatBad = 0, textBad = 0;
    std::string report;
    auto note = [&](int& bad, std::string line) {
        if (++bad <= 8)
            report.append(line).append("\n");
    };
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& c = cells[i];
        const std::string where = std::to_string(c.col) + "," + std::to_string(c.row);
        if (c.kind != Cell::text) {
            // Backgrounds and block interiors: the same colour to 2 per channel.
            const QPoint at = s.centre(c.col, c.row);
            const QRgb g = gpu.pixel(at), p = painted.pixel(at);
            ++flatChecked;
            if (channelDistance(g, p) > 2)
                note(flatBad, (c.kind == Cell::block ? "block " : "blank ") + where + ": gpu " + describe(g) +
                                  " painter " + describe(p));
            continue;
        }
        // The blank after the word has the word's background.
        std::size_t next = i;
        while (next < cells.size() && cells[next].kind == Cell::text && cells[next].row == c.row)
            ++next;
        if (next >= cells.size() || cells[next].kind != Cell::blank || cells[next].row != c.row)
            continue;
        const QRgb ground = painted.pixel(s.centre(cells[next].col, cells[next].row));
        const QRect rect = s.cellRect(c.col, c.row);
        const double g = meanInk(gpu, rect, ground), p = meanInk(painted, rect, ground);
        ++textChecked;
        if (std::abs(g - p) > 0.10 * std::max(g, p))
            note(textBad, "text " + where + ": gpu ink " + std::to_string(g) + " painter ink " + std::to_string(p));
    }
    EXPECT_GT(flatChecked, 2000);
    EXPECT_GT(textChecked, 7000);
    EXPECT_EQ(flatBad, 0) << report;
    EXPECT_EQ(textBad, 0) << report;
}

// A known screen in the widget's colours: palette red, a colour glyph, a
// picture the right way up, the glyph under a block caret.
TEST(GpuFrameTests, ColourGlyphsPicturesAndTheCaretGlyphShowTheirColours)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    Screen s(20, 8);
    // An emoji (two columns) on row 0; a 2 x 8 picture, red above blue,
    // over 2 x 4 cells from row 2; an H under the caret on row 7.
    s.terminal->feed("\xf0\x9f\x98\x80");
    QByteArray rgba;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 2; ++x)
            rgba.append(y < 4 ? QByteArray("\xff\x00\x00\xff", 4) : QByteArray("\x00\x00\xff\xff", 4));
    s.terminal->feed("\x1b[3;5H\x1b_Ga=T,f=32,s=2,v=8,c=2,r=4,C=1,q=2;" + rgba.toBase64().toStdString() + "\x1b\\");
    // A wide green picture, 8 x 2 over 4 x 1 cells, at column 8 of row 0.
    s.terminal->feed("\x1b[1;9H\x1b_Ga=T,f=32,s=8,v=2,c=4,r=1,C=1,q=2;" +
                     QByteArray("\x00\xff\x00\xff", 4).repeated(16).toBase64().toStdString() + "\x1b\\");
    // Palette red cells on row 6, read from the terminal's own palette.
    s.terminal->feed("\x1b[7;11H\x1b[41m  \x1b[0m");
    s.terminal->feed("\x1b[8;1HH\x1b[8;1H\x1b[2 q");
    const QImage image = gl.frame(*s.view);
    ASSERT_FALSE(image.isNull());
    s.view->mode = BufferingMode::perRowPersistent;
    EXPECT_TRUE(gl.frame(*s.view) == image) << "the buffering modes drew different frames";

    // Colour, not a gray mask tinted with the foreground.
    const QRect emoji = s.cellRect(0, 0, 2, 1);
    EXPECT_GT(saturatedPixels(image, emoji), emoji.width() * emoji.height() / 10) << "emoji cell drawn gray";

    const QColor red = colorToQColor(s.terminal->ansiColors[1]);
    ASSERT_GT(channelDistance(red.rgb(), s.view->defaultForeground().rgb()), 60);
    for (int col : {10, 11})
        EXPECT_LE(channelDistance(image.pixel(s.centre(col, 6)), red.rgb()), 2)
            << "palette red at " << col << ": " << describe(image.pixel(s.centre(col, 6)));

    // Linear sampling must not fade the picture's right edge into the rest
    // of its square texture: the last pixel column inside the picture.
    for (int row : {2, 5}) {
        const QRect right = s.cellRect(5, row, 1, 1);
        const QRgb edge = image.pixel(right.right(), right.center().y());
        EXPECT_LE(channelDistance(edge, row == 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255)), 2)
            << "picture edge on row " << row << ": " << describe(edge);
    }
    // ... nor the top or bottom edge of a wide one.
    for (int col : {8, 11}) {
        const QRect cell = s.cellRect(col, 0, 1, 1);
        for (int y : {cell.top(), cell.bottom()}) {
            const QRgb edge = image.pixel(cell.center().x(), y);
            EXPECT_LE(channelDistance(edge, qRgb(0, 255, 0)), 2)
                << "wide picture at " << col << "," << y << ": " << describe(edge);
        }
    }
    for (int col : {4, 5}) {
        for (int row : {2, 3})
            EXPECT_LE(channelDistance(image.pixel(s.centre(col, row)), qRgb(255, 0, 0)), 2)
                << "top of the picture at " << col << "," << row << ": " << describe(image.pixel(s.centre(col, row)));
        for (int row : {4, 5})
            EXPECT_LE(channelDistance(image.pixel(s.centre(col, row)), qRgb(0, 0, 255)), 2)
                << "bottom of the picture at " << col << "," << row << ": "
                << describe(image.pixel(s.centre(col, row)));
    }

    // Under the block caret every pixel mixes the caret colour and the
    // caret's text colour, and the glyph's stems reach the text colour.
    const QColor caret = s.view->caretColor(), ink = s.view->caretTextColor();
    const QRect under = s.cellRect(0, 7, 1, 1);
    int strays = 0, inked = 0;
    for (int y = under.top(); y <= under.bottom(); ++y)
        for (int x = under.left(); x <= under.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            // Distance from the line between the two colours, by the red channel's mix.
            const double t = double(qRed(p) - caret.red()) / double(ink.red() - caret.red());
            const auto mix = [&](int a, int b) { return a + t * (b - a); };
            strays += std::abs(qGreen(p) - mix(caret.green(), ink.green())) > 6 ||
                      std::abs(qBlue(p) - mix(caret.blue(), ink.blue())) > 6 || t < -0.02 || t > 1.02;
            inked += t > 0.5;
        }
    EXPECT_EQ(strays, 0) << "pixels under the caret that are neither caret nor caret text colour";
    EXPECT_GT(inked, 4) << "no glyph under the caret";
}

// A text symbol that U+FE0F makes an emoji (and two columns wide) comes
// from the colour emoji font, across both its columns, in both paths: the
// cell font's own text form would be small and gray. Under the caret too.
TEST(GpuFrameTests, SymbolsWithTheEmojiSelectorAreDrawnInColour)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    Screen s(12, 3);
    // A heart and a sun, each with U+FE0F; the second heart under the caret.
    s.terminal->feed("\xe2\x9d\xa4\xef\xb8\x8f \xe2\x98\x80\xef\xb8\x8f\x1b[2;1H\xe2\x9d\xa4\xef\xb8\x8f");
    s.terminal->feed("\x1b[2;1H\x1b[2 q");
    for (int col : {0, 3})
        ASSERT_EQ(s.terminal->activeBuffer().screenLine(0)[col].width, 2) << "not wide at " << col;
    const QImage gpu = gl.frame(*s.view);
    ASSERT_FALSE(gpu.isNull());
    QImage painted = s.painted();
    s.paintCaret(painted, 0, 1);
    // Red for the hearts (the caret is yellow), any colour for the sun.
    const auto red = [](QRgb p) { return qRed(p) - std::max(qGreen(p), qBlue(p)) > 100; };
    const auto coloured = [](QRgb p) {
        return std::max({qRed(p), qGreen(p), qBlue(p)}) - std::min({qRed(p), qGreen(p), qBlue(p)}) > 80;
    };
    for (const auto& [image, path] : {std::pair<const QImage*, const char*>{&gpu, "gpu"}, {&painted, "painter"}})
        for (const auto& [col, row] : {std::pair{0, 0}, std::pair{3, 0}, std::pair{0, 1}})
            for (int half : {0, 1}) {
                // Each column of the pair carries its share of the colour.
                const QRect rect = s.cellRect(col + half, row);
                int count = 0;
                for (int y = rect.top(); y <= rect.bottom(); ++y)
                    for (int x = rect.left(); x <= rect.right(); ++x)
                        count += col == 3 ? coloured(image->pixel(x, y)) : red(image->pixel(x, y));
                EXPECT_GT(count, rect.width() * rect.height() / 8)
                    << path << ": no colour at " << col + half << "," << row;
            }
}

namespace {

// The bounding box of the pixels of a rectangle that pass a test.
template <class Test>
QRect boxWhere(const QImage& image, const QRect& rect, Test test)
{
    QRect box;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (test(image.pixel(x, y)))
                box |= QRect(x, y, 1, 1);
    return box;
}

// The pixels clearly inked: more than 90 in summed channels from the
// ground. A glyph's faint fringe does not count.
QRect inkedBox(const QImage& image, const QRect& rect, QRgb ground)
{
    return boxWhere(image, rect, [ground](QRgb p) { return summedDistance(p, ground) > 90; });
}

// The pixels within 40 per channel of a colour.
QRect extentOf(const QImage& image, QRgb colour)
{
    return boxWhere(image, image.rect(), [colour](QRgb p) { return channelDistance(p, colour) <= 40; });
}

}  // namespace

// Emoji, ideographs and an emoji cluster in cells shorter than they are:
// both paths shrink them into their two-column slot and centre them there.
// The rasterisers' ink differs by a pixel or so (emoji most); where it
// lies may not differ more.
void wideGlyphsFitTheirSlotsLikeThePainter(Gl& gl, const QString& family);

TEST(GpuFrameTests, WideGlyphsFitTheirSlotsLikeThePainter)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    for (const QString& family : cellFamilies())
        wideGlyphsFitTheirSlotsLikeThePainter(gl, family);
}

void wideGlyphsFitTheirSlotsLikeThePainter(Gl& gl, const QString& family)
{
    SCOPED_TRACE(family.toStdString());
    Screen s(24, 9, 0.5, family);
    s.terminal->feed("\x1b[2;1H\xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80 \xe3\x81\x82");
    s.terminal->feed("\x1b[5;1H\xf0\x9f\x8e\x89 \xe5\xad\x97 \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd");
    s.terminal->feed("\x1b[8;3H\x1b[1m\xe6\xbc\xa2\x1b[0m \xf0\x9f\x9a\x80\x1b[?25l");
    const QImage gpu = gl.frame(*s.view);
    ASSERT_FALSE(gpu.isNull());
    const QImage painted = s.painted();
    const QRgb ground = s.view->defaultBackground().rgb();

    int wide = 0;
    for (int row : {1, 4, 7}) {
        const BufferLine& line = s.terminal->activeBuffer().screenLine(row);
        for (int col = 0; col + 1 < s.cols; ++col) {
            if (line[col].width != 2)
                continue;
            ++wide;
            const std::string where = std::to_string(col) + "," + std::to_string(row);
            // The slot and a row above and below it.
            const QRect slot = s.cellRect(col, row, 2);
            const QRect around = slot.adjusted(0, -slot.height(), 0, slot.height());
            const QRect g = inkedBox(gpu, around, ground), p = inkedBox(painted, around, ground);
            ASSERT_FALSE(p.isEmpty()) << where;
            EXPECT_TRUE(slot.contains(g)) << "overflows its slot at " << where;
            for (const auto& [a, b] : {std::pair{g.left(), p.left()}, std::pair{g.right(), p.right()},
                                       std::pair{g.top(), p.top()}, std::pair{g.bottom(), p.bottom()}})
                EXPECT_LE(std::abs(a - b), 2) << "not where the painter put it at " << where;
            const Ink gi = inkOf(gpu, around, ground), pi = inkOf(painted, around, ground);
            EXPECT_NEAR(gi.x, pi.x, 1.5) << "not centred alike at " << where;
            EXPECT_NEAR(gi.y, pi.y, 1.5) << "not raised alike at " << where;
        }
    }
    EXPECT_EQ(wide, 9);
}

// Underlines in every straight style under narrow and wide cells, and
// strikethrough in three faces, pixel for pixel at 1x and 2x. The cells' ink
// is the background colour, so only the lines show; a wide cell's dotted
// line runs on across its second column.
TEST(GpuFrameTests, DecorationsMatchThePainter)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    for (const double scale : {1.0, 2.0}) {
        Screen s(24, 10);
        s.view->window = scale;
        const std::string invisible = "38;2;0;0;0;58;2;250;220;0";
        const char* styles[] = {"4", "4:2", "4:4", "4:5"};
        for (int i = 0; i < 4; ++i)
            s.terminal->feed("\x1b[" + std::to_string(2 * i + 2) + ";1H\x1b[" + styles[i] + ";" + invisible +
                             "mab \xe4\xb8\xad \xe6\x96\x87\xe5\xad\x97 x\x1b[0m");
        s.terminal->feed("\x1b[10;1H\x1b[9;38;2;40;250;40m    \x1b[1m    \x1b[3m    \x1b[0m\x1b[?25l");
        const QImage gpu = gl.frame(*s.view, scale);
        ASSERT_FALSE(gpu.isNull());
        const QImage painted = s.painted(scale);
        ASSERT_EQ(gpu.size(), painted.size());
        int bad = 0, lit = 0;
        std::string report;
        for (int y = 0; y < gpu.height(); ++y)
            for (int x = 0; x < gpu.width(); ++x) {
                const QRgb g = gpu.pixel(x, y), p = painted.pixel(x, y);
                lit += channelDistance(p, qRgb(0, 0, 0)) > 60;
                if (channelDistance(g, p) > 60 && ++bad <= 8)
                    report += std::to_string(x) + "," + std::to_string(y) + ": gpu " + describe(g) + " painter " +
                              describe(p) + "\n";
            }
        EXPECT_GT(lit, 300 * scale);
        EXPECT_EQ(bad, 0) << "at " << scale << "x\n" << report;
    }
}

// The character under a block caret in its own face, and a text-style
// symbol drawn as text in the caret's text colour.
void theCaretGlyphMatchesThePainter(Gl& gl, const QString& family);

TEST(GpuFrameTests, TheCaretGlyphMatchesThePainter)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    for (const QString& family : cellFamilies())
        theCaretGlyphMatchesThePainter(gl, family);
}

void theCaretGlyphMatchesThePainter(Gl& gl, const QString& family)
{
    SCOPED_TRACE(family.toStdString());
    Screen s(20, 4, 1.0, family);
    // Bold W, italic g, U+263A, bold U+2764, bold-italic M, a wide ideograph.
    s.terminal->feed("\x1b[2;1H\x1b[1mW\x1b[0m \x1b[3mg\x1b[0m \xe2\x98\xba \x1b[1m\xe2\x9d\xa4\x1b[0m "
                     "\x1b[1;3mM\x1b[0m \xe4\xb8\xad\x1b[2 q");
    const QImage background = s.painted();
    const QRgb caret = s.view->caretColor().rgb();
    for (const int col : {0, 2, 4, 6, 8, 10}) {
        s.terminal->feed("\x1b[2;" + std::to_string(col + 1) + "H");
        const QImage gpu = gl.frame(*s.view);
        ASSERT_FALSE(gpu.isNull());
        QImage painted = background;
        s.paintCaret(painted, col, 1);
        const int width = s.terminal->activeBuffer().screenLine(1)[col].width;
        const QRect under = s.cellRect(col, 1, width);
        const Ink g = inkOf(gpu, under, caret), p = inkOf(painted, under, caret);
        ASSERT_GT(p.total, 0) << col;
        // The pixels, not just their sum: a bold stem where the painter has
        // a regular one counts twice.
        double apart = 0;
        for (int y = under.top(); y <= under.bottom(); ++y)
            for (int x = under.left(); x <= under.right(); ++x)
                apart += summedDistance(gpu.pixel(x, y), painted.pixel(x, y));
        // The rasterisers agree exactly on these fonts but for the ideograph.
        EXPECT_LE(apart, (width > 1 ? 0.25 : 0.05) * p.total) << "caret glyph at " << col;
        EXPECT_NEAR(g.x, p.x, 0.5) << col;
    }
}

// Frames drawn at a scale of their own (2) in a window of scale 1: the
// offsets a client gave in the window's pixels move the picture as far as
// the painter moves it.
TEST(GpuFrameTests, KittyPixelOffsetsCountInTheWindowsPixels)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    Screen s(16, 6);
    s.view->window = 1;
    s.terminal->feed("\x1b[2;3H\x1b_Ga=T,f=32,s=1,v=1,c=3,r=2,X=5,Y=4,C=1,q=2;" +
                     QByteArray("\xff\x20\x20\xff", 4).toBase64().toStdString() + "\x1b\\\x1b[?25l");
    const QImage gpu = gl.frame(*s.view, 2);
    ASSERT_FALSE(gpu.isNull());
    const QImage painted = s.painted(1);
    const QRect g = extentOf(gpu, qRgb(255, 32, 32)), p = extentOf(painted, qRgb(255, 32, 32));
    ASSERT_FALSE(p.isEmpty());
    ASSERT_FALSE(g.isEmpty());
    EXPECT_NEAR(p.left(), 2 * s.cell().width() + 5, 0.5);
    EXPECT_NEAR(g.left() / 2.0, p.left(), 0.5);
    EXPECT_NEAR(g.top() / 2.0, p.top(), 0.5);
    EXPECT_NEAR((g.right() + 1) / 2.0, p.right() + 1, 0.5);
}

// Layers without records make no draw call: a blank screen is only its
// clear, a caret over a blank cell one draw, in either buffering mode.
TEST(GpuFrameTests, OnlyLayersWithRecordsAreDrawn)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    for (BufferingMode mode : {BufferingMode::perFrameAggregated, BufferingMode::perRowPersistent}) {
        Screen s(30, 10);
        s.view->mode = mode;
        OpenGlPipelines& pipelines = gl.renderer->frames().pipelines();
        auto drawsOfAFrame = [&] {
            const auto before = pipelines.drawCalls();
            EXPECT_FALSE(gl.frame(*s.view).isNull());
            return pipelines.drawCalls() - before;
        };
        s.terminal->feed("\x1b[?25l");
        EXPECT_EQ(drawsOfAFrame(), 0u) << "blank screen, hidden caret";
        s.terminal->feed("\x1b[?25h\x1b[2 q");
        EXPECT_EQ(drawsOfAFrame(), 1u) << "blank screen, block caret";
        // Text adds draws; taking it away again takes them away.
        s.terminal->feed("\x1b[5;3Hsome \x1b[41mtext\x1b[0m");
        EXPECT_GT(drawsOfAFrame(), 1u);
        s.terminal->feed("\x1b[2J\x1b[H");
        EXPECT_EQ(drawsOfAFrame(), 1u) << "cleared screen, block caret";
    }
}

namespace {

struct AtlasLog {
    std::mutex lock;
    std::vector<std::string> lines;
    AtlasLog()
    {
        platform::setLogSink([this](platform::LogLevel, std::string_view category, std::string_view message) {
            if (category != atlasLogCategory)
                return;
            std::lock_guard guard(lock);
            lines.emplace_back(message);
        });
    }
    ~AtlasLog() { platform::setLogSink({}); }
    std::size_t count(std::string_view text)
    {
        std::lock_guard guard(lock);
        return std::size_t(std::count_if(lines.begin(), lines.end(),
                                         [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
};

std::string utf8(char32_t c)
{
    std::string out;
    out.push_back(char(0xe0 | (c >> 12)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(char(0x80 | (c & 0x3f)));
    return out;
}

}  // namespace

// CTest runs this once with RAVELGRID_ATLAS_MAX=256, where 1,200 CJK
// glyphs can never fit, and once without, where they do.
TEST(GpuFrameTests, AnOverflowingAtlasRebuildsFiveTimesThenDrawsTheFrame)
{
    const char* limit = std::getenv("RAVELGRID_ATLAS_MAX");
    const bool capped = limit && std::string_view(limit) == "256";
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    Screen s(80, 30);
    std::string text;
    for (char32_t c = 0x4e00; c < 0x4e00 + 1200; ++c)
        text.append(utf8(c));
    s.terminal->feed(text);
    ASSERT_EQ(s.terminal->activeBuffer().screenLine(29)[78].code, 0x4e00 + 1199) << "not 1,200 wide cells";

    AtlasLog log;
    const QImage image = gl.frame(*s.view);
    ASSERT_FALSE(image.isNull()) << "frame not drawn or not completed";
    const char* warning = "glyph working set exceeds max atlas capacity; some glyphs will be skipped this frame";
    if (capped) {
        for (int pass = 1; pass <= 5; ++pass)
            EXPECT_EQ(log.count("glyph atlas changed during frame build; rebuild pass " + std::to_string(pass) + "/5"),
                      1u)
                << pass;
        EXPECT_EQ(log.count("rebuild pass 6/"), 0u);
        EXPECT_EQ(log.count(warning), 1u);
    } else {
        EXPECT_EQ(log.count("rebuild pass"), 0u);
        EXPECT_EQ(log.count(warning), 0u);
    }
    // Some glyphs were drawn either way: the frame is not just its clear.
    int ink = 0;
    const QRgb clear = s.view->defaultBackground().rgb();
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            ink += channelDistance(image.pixel(x, y), clear) > 60;
    EXPECT_GT(ink, 500);
}

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

// Pixels of a rectangle neither the ground nor the ink colour.
int inBetween(const QImage& image, const QRect& rect, QRgb ground, QRgb ink)
{
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            n += channelDistance(image.pixel(x, y), ground) > 2 && channelDistance(image.pixel(x, y), ink) > 2;
    return n;
}

QRect scaled(const QRect& r, int scale)
{
    return QRect(r.topLeft() * scale, r.size() * scale);
}

}  // namespace

// Sizes are points: at 96 DPI a 13-point H stands as tall as in Qt's own
// 13-point text of the face, on both paths, and twice as tall on a 2x
// screen; with smoothing off both draw its pixels fully on or off.
TEST(GpuFrameTests, TextIsSetInPointsAlikeOnBothPaths)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    Screen s(6, 2);
    ASSERT_EQ(s.painter.fontSet().pointSize(), 13.0);
    s.terminal->feed("HHHH\x1b[?25l");
    QFont reference(FontSet::defaultFamily());
    reference.setPointSizeF(13);
    const double cap = QFontMetricsF(reference).capHeight();
    const QRgb ground = s.view->defaultBackground().rgb();
    const QRgb ink = s.view->defaultForeground().rgb();
    for (int scale : {1, 2}) {
        const QImage gpu = gl.frame(*s.view, scale);
        ASSERT_FALSE(gpu.isNull());
        const QImage painted = s.painted(scale);
        const QRect cell = scaled(s.cellRect(1, 0), scale);
        const QRect g = inkedBox(gpu, cell, ground), p = inkedBox(painted, cell, ground);
        EXPECT_NEAR(g.height(), cap * scale, 1.0 * scale) << "GPU at " << scale << "x";
        EXPECT_NEAR(p.height(), cap * scale, 1.0 * scale) << "painter at " << scale << "x";
        EXPECT_LE(std::abs(g.height() - p.height()), 1) << scale << "x";
        EXPECT_LE(std::abs(g.width() - p.width()), 1) << scale << "x";
    }
    s.painter.setFontSmoothing(false);
    for (int scale : {1, 2}) {
        const QImage gpu = gl.frame(*s.view, scale);
        ASSERT_FALSE(gpu.isNull());
        const QImage painted = s.painted(scale);
        const QRect cells = scaled(s.cellRect(0, 0, 4), scale);
        EXPECT_FALSE(inkedBox(gpu, cells, ground).isEmpty());
        EXPECT_EQ(inBetween(gpu, cells, ground, ink), 0) << "GPU at " << scale << "x";
        EXPECT_EQ(inBetween(painted, cells, ground, ink), 0) << "painter at " << scale << "x";
    }
}

// Text of every kind, scripts that no installed font can shape among it,
// drawn by both paths: nothing is said on the log.
TEST(GpuFrameTests, DrawingEveryKindOfTextWarnsAboutNothing)
{
    Gl gl;
    ASSERT_TRUE(gl.renderer);
    static std::vector<std::string> messages;
    messages.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            messages.push_back(message.toStdString());
        });
    Screen s(40, 6);
    s.terminal->feed(
        "plain \xe2\x94\x8c\xe2\x94\x80\xe2\x94\x90 \xe2\x96\x88\xe2\x96\x91 \xe4\xbd\xa0\xe5\xa5\xbd\r\n");
    s.terminal->feed("\xf0\x9f\x98\x80 \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd \xe2\x9c\x94\xef\xb8\x8f e\xcc\x81\r\n");
    s.terminal->feed("\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d \xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7\r\n");
    // Devanagari, Sinhala and Khmer clusters.
    s.terminal->feed("\xe0\xa4\xa8\xe0\xa4\xae\xe0\xa4\xb8\xe0\xa5\x8d\xe0\xa4\xa4\xe0\xa5\x87 "
                     "\xe0\xb7\x83\xe0\xb7\x92 \xe1\x9e\x80\xe1\x9e\xb6\x1b[?25l");
    for (bool smoothing : {true, false}) {
        s.painter.setFontSmoothing(smoothing);
        EXPECT_FALSE(gl.frame(*s.view).isNull());
        s.painted();
    }
    qInstallMessageHandler(previous);
    std::string said;
    for (const std::string& m : messages)
        said.append(m).append("\n");
    EXPECT_TRUE(messages.empty()) << said;
}
