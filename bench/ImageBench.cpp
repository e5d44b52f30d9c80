// Placing a 1000 x 1000 sixel picture in a shown terminal view: the bitmap
// handed over by the sixel decoder becomes a picture at device resolution and
// one strip per cell row on the lines below the cursor. Also the whole path
// from the sixel bytes, decoding included.
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/view/TerminalView.h"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cmath>
#include <string>
#include <vector>

using namespace ravelgrid;

namespace {

constexpr int side = 1000;

std::unique_ptr<TerminalView> shownView() {
    auto view = std::make_unique<TerminalView>();
    TerminalKittyGraphics::attach(view->terminal());
    view->resize(1600, 1000);
    view->show();
    QApplication::processEvents();
    return view;
}

void BM_PlaceSixelBitmap(benchmark::State& state) {
    auto view = shownView();
    std::vector<uint8_t> pixels(size_t(side) * side * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = uint8_t(i / 4 % 251);
        pixels[i + 1] = uint8_t(i / 4000 % 256);
        pixels[i + 2] = 90;
        pixels[i + 3] = 255;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<uint8_t> rgba = pixels;
        view->feed("\x1b[H\x1b[2J");
        state.ResumeTiming();
        view->createImageFromBitmap(view->terminal(), rgba, side, side);
    }
    state.counters["pictureBytes"] = double(view->imageBytes());
}

// A wider picture than the view: scaled to fit its width on placing.
void BM_PlaceSixelBitmapScaled(benchmark::State& state) {
    auto view = shownView();
    view->resize(800, 1000);
    std::vector<uint8_t> pixels(size_t(side) * side * 4, 0x80);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<uint8_t> rgba = pixels;
        view->feed("\x1b[H\x1b[2J");
        state.ResumeTiming();
        view->createImageFromBitmap(view->terminal(), rgba, side, side);
    }
}

void BM_FeedSixel(benchmark::State& state) {
    auto view = shownView();
    // Two colours in stripes, each band of six rows one run per colour.
    std::string sixel = "\x1bP0;1;0q\"1;1;1000;1000#1;2;100;0;0#2;2;0;0;100";
    for (int band = 0; band < (side + 5) / 6; ++band)
        sixel += "#1!500~#2!500~-";
    sixel += "\x1b\\";
    for (auto _ : state) {
        state.PauseTiming();
        view->feed("\x1b[H\x1b[2J");
        state.ResumeTiming();
        view->feed(sixel);
    }
    // What the last picture holds: proof that it was placed.
    state.counters["pictureBytes"] = double(view->imageBytes());
}

}  // namespace

BENCHMARK(BM_PlaceSixelBitmap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaceSixelBitmapScaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FeedSixel)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
