// Drawing a full 200 x 60 screen of coloured text with QPainter into an image
// the size of the view, as a window repaint does.
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FramePainter.h"
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

enum class Pattern { words, everyCell };

// Words of five letters, each word in its own palette colour (a coloured
// `ls` or a syntax-highlighted file); or every cell its own colours.
std::unique_ptr<Buffer> makeScreen(Pattern pattern) {
    auto buffer = std::make_unique<Buffer>(cols, rows, 8, 0);
    buffer->fillViewportRows();
    for (int r = 0; r < rows; ++r) {
        BufferLine& line = buffer->screenLine(r);
        for (int c = 0; c < cols; ++c) {
            CharData cell;
            const int word = c / 6;
            cell.code = (c % 6 == 5) ? ' ' : int32_t('a' + (r * 7 + c) % 26);
            if (pattern == Pattern::words) {
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

void drawFullScreen(benchmark::State& state, Pattern pattern, qreal scale) {
    auto buffer = makeScreen(pattern);
    FramePainter painter;
    painter.colors().setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, 255 - i, (i * 7) % 256); });
    const QSizeF cell = computeCellDimension(painter.fontSet().rawNormal(), 1.0, scale);
    painter.setCellSize(cell);
    const QSizeF view(cols * cell.width(), rows * cell.height());
    QImage image(int(std::ceil(view.width() * scale)), int(std::ceil(view.height() * scale)),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);

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

void BM_DrawWords(benchmark::State& state) { drawFullScreen(state, Pattern::words, 1.0); }
void BM_DrawWordsHiDpi(benchmark::State& state) { drawFullScreen(state, Pattern::words, 2.0); }
void BM_DrawEveryCellColoured(benchmark::State& state) { drawFullScreen(state, Pattern::everyCell, 1.0); }

}  // namespace

BENCHMARK(BM_DrawWords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawWordsHiDpi)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawEveryCellColoured)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
