// Drawing a full 200 x 60 screen of coloured text with QPainter into an image
// the size of the view, as a window repaint does.
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/screen/Buffer.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

enum class Pattern { words, everyCell, boxesAndBlocks, missing };

// Words of five letters, each word in its own palette colour (a coloured
// `ls` or a syntax-highlighted file); or every cell its own colours.
std::unique_ptr<Buffer> makeScreen(Pattern pattern)
{
    auto buffer = std::make_unique<Buffer>(cols, rows, 8, 0);
    buffer->fillViewportRows();
    for (int r = 0; r < rows; ++r) {
        BufferLine& line = buffer->screenLine(r);
        for (int c = 0; c < cols; ++c) {
            CharData cell;
            const int word = c / 6;
            cell.code = (c % 6 == 5) ? ' ' : int32_t('a' + (r * 7 + c) % 26);
            if (pattern == Pattern::missing) {
                // Private use characters no font has, each cell its own.
                cell.code = int32_t(0xF0000 + r * cols + c);
            } else if (pattern == Pattern::boxesAndBlocks) {
                // Frames, bars and shades: tmux borders, mc panels, htop meters.
                static constexpr char32_t shapes[] = {U'\u2500', U'\u2502', U'\u250C', U'\u2524', U'\u253C',
                                                      U'\u2550', U'\u256D', U'\u2588', U'\u2584', U'\u2592',
                                                      U'\u2586', U'\u258C', U'\u2501', U'\u2504', U'\uE0B0'};
                cell.code = int32_t(shapes[size_t(r * 3 + c) % std::size(shapes)]);
                // A colour per stretch of eight cells, as borders and bars come.
                cell.attribute.fg = Attribute::Color::ansi256(uint8_t(16 + (r * 31 + c / 8) % 216));
            } else if (pattern == Pattern::words) {
                cell.attribute.fg = Attribute::Color::ansi256(uint8_t(16 + (r * 31 + word * 17) % 216));
                if (word % 4 == 0)
                    cell.attribute.style = CharacterStyle::bold;
            } else {
                cell.attribute.fg = Attribute::Color::trueColor(uint8_t(c), uint8_t(r * 4), uint8_t(c + r));
                cell.attribute.bg = Attribute::Color::ansi256(uint8_t((r + c) % 256));
            }
            line.set(c, cell);
        }
    }
    return buffer;
}

// Twenty picture strips of 400 x one cell on the screen's first rows, in the
// format placing leaves them in.
void addImageStrips(Buffer& buffer, QSizeF cell, qreal scale, int alpha)
{
    QImage source(int(std::round(400 * scale)), int(std::round(20 * cell.height() * scale)), QImage::Format_RGBA8888);
    source.fill(QColor(200, 40, 40, alpha));
    auto shared = renderPlacedPicture(source, QSizeF(400, 20 * cell.height()), scale, false);
    const auto strips = makeImageStrips(shared, QSizeF(400, 20 * cell.height()), 10, {cell, QSizeF(1600, 1200), scale});
    for (size_t r = 0; r < strips.size(); ++r)
        buffer.setLineImages(int(r), TerminalImageList{strips[r]});
}

void drawFullScreen(benchmark::State& state, Pattern pattern, qreal scale, int imageAlpha = -1)
{
    auto buffer = makeScreen(pattern);
    FramePainter painter;
    painter.colors().setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, 255 - i, (i * 7) % 256); });
    const QSizeF cell = computeCellDimension(painter.fontSet().rawNormal(), 1.0, scale);
    painter.setCellSize(cell);
    const QSizeF view(cols * cell.width(), rows * cell.height());
    QImage image(int(std::ceil(view.width() * scale)), int(std::ceil(view.height() * scale)),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    if (imageAlpha >= 0)
        addImageStrips(*buffer, cell, scale, imageAlpha);

    FrameInput input;
    input.buffer = buffer.get();
    input.columns = cols;
    input.rows = rows;
    input.viewSize = view;
    input.dirty = QRectF(QPointF(0, 0), view);
    for (auto _ : state) {
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
        p.end();
        benchmark::DoNotOptimize(image.constBits());
    }
}

void BM_DrawWords(benchmark::State& state)
{
    drawFullScreen(state, Pattern::words, 1.0);
}
void BM_DrawWordsHiDpi(benchmark::State& state)
{
    drawFullScreen(state, Pattern::words, 2.0);
}
void BM_DrawEveryCellColoured(benchmark::State& state)
{
    drawFullScreen(state, Pattern::everyCell, 1.0);
}
// A screen of box-drawing and block characters, all painted as shapes.
void BM_DrawBoxesAndBlocks(benchmark::State& state)
{
    drawFullScreen(state, Pattern::boxesAndBlocks, 1.0);
}
void BM_DrawBoxesAndBlocksFractional(benchmark::State& state)
{
    drawFullScreen(state, Pattern::boxesAndBlocks, 1.5);
}
void BM_DrawBoxesAndBlocksHiDpi(benchmark::State& state)
{
    drawFullScreen(state, Pattern::boxesAndBlocks, 2.0);
}
// The words screen with twenty picture strips: compare with BM_DrawWords.
void BM_DrawWordsWithImageStrips(benchmark::State& state)
{
    drawFullScreen(state, Pattern::words, 1.0, 255);
}
void BM_DrawWordsWithImageStripsHiDpi(benchmark::State& state)
{
    drawFullScreen(state, Pattern::words, 2.0, 255);
}
// Translucent pictures are blended, not copied.
void BM_DrawWordsWithTranslucentStrips(benchmark::State& state)
{
    drawFullScreen(state, Pattern::words, 1.0, 200);
}
// A screen of distinct characters no font has: more than the fallback cache holds.
void BM_DrawMissingCharacters(benchmark::State& state)
{
    drawFullScreen(state, Pattern::missing, 1.0);
}

}  // namespace

BENCHMARK(BM_DrawWords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawWordsHiDpi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawEveryCellColoured)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawBoxesAndBlocks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawBoxesAndBlocksFractional)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawBoxesAndBlocksHiDpi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawWordsWithImageStrips)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawWordsWithImageStripsHiDpi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawWordsWithTranslucentStrips)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawMissingCharacters)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
