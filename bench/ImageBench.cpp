// Placing a 1000 x 1000 sixel picture in a shown terminal view: the bitmap
// handed over by the sixel decoder becomes a picture at device resolution and
// one strip per cell row on the lines below the cursor. Also the whole path
// from the sixel bytes, decoding included, and how long feeding a large
// compressed kitty image keeps the caller (the window's thread) busy.
#include "ravelgrid/drawing/PictureJobs.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/view/TerminalView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>

#include <zlib.h>

#include <cmath>
#include <string>
#include <vector>

using namespace ravelgrid;

namespace {

constexpr int side = 1000;

std::unique_ptr<TerminalView> shownView()
{
    auto view = std::make_unique<TerminalView>();
    TerminalKittyGraphics::attach(view->terminal());
    view->resize(1600, 1000);
    view->show();
    QApplication::processEvents();
    return view;
}

void BM_PlaceSixelBitmap(benchmark::State& state)
{
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
void BM_PlaceSixelBitmapScaled(benchmark::State& state)
{
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

void BM_FeedSixel(benchmark::State& state)
{
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

// Two thousand one-pixel pictures on one line: the line keeps the latest
// few hundred strips, and the view draws them.
void BM_FloodOfTinyPicturesOnOneLine(benchmark::State& state)
{
    auto view = shownView();
    std::string flood;
    for (int i = 0; i < 2000; ++i)
        flood += "\x1b[1;1H\x1bPq#1;2;100;0;0#1~\x1b\\";
    for (auto _ : state) {
        state.PauseTiming();
        view->feed("\x1b[H\x1b[2J");
        state.ResumeTiming();
        view->feed(flood);
        QPixmap shot = view->grab();
        benchmark::DoNotOptimize(shot);
    }
}

// One SIDE x SIDE RGBA image, zlib-compressed, in 4 KiB chunks as a program
// sends it; "feedMs" is the longest single feed, which is how long the
// window cannot answer.
std::vector<std::string> kittyChunks(int imageSide, int id)
{
    const std::vector<uint8_t> raw(size_t(imageSide) * imageSide * 4, 0x40);
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 6);
    const QByteArray data = QByteArray(reinterpret_cast<const char*>(packed.data()), qsizetype(packedSize)).toBase64();
    std::vector<std::string> chunks;
    for (qsizetype at = 0; at < data.size(); at += 4096) {
        const bool more = at + 4096 < data.size();
        std::string keys = at == 0 ? "a=T,f=32,o=z,s=" + std::to_string(imageSide) + ",v=" + std::to_string(imageSide) +
                                         ",i=" + std::to_string(id) + ",c=10,r=4,q=2,m=" + (more ? "1" : "0")
                                   : std::string(more ? "m=1" : "m=0");
        chunks.push_back("\x1b_G" + keys + ";" + data.mid(at, 4096).toStdString() + "\x1b\\");
    }
    return chunks;
}

void BM_FeedLargeKittyImage(benchmark::State& state)
{
    auto view = shownView();
    const int imageSide = int(state.range(0));
    const std::vector<std::string> chunks = kittyChunks(imageSide, 1);
    qint64 longest = 0;
    for (auto _ : state) {
        for (const std::string& chunk : chunks) {
            QElapsedTimer timer;
            timer.start();
            view->feed(chunk);
            longest = std::max(longest, timer.nsecsElapsed());
        }
        // Until the image is stored: decoding may finish after the feed.
        while (view->imageBytes() == 0 && TerminalKittyGraphics::of(view->terminal())->state().imagesById.empty())
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        state.PauseTiming();
        view->feed("\x1b_Ga=d,d=A\x1b\\\x1b[H\x1b[2J");
        QApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["feedMs"] = double(longest) / 1e6;
}

// The first draw of a placed large image: the picture is prepared for its
// cells then. "drawMs" is how long that frame keeps the window's thread.
void BM_FirstDrawLargeKittyImage(benchmark::State& state)
{
    auto view = shownView();
    const std::vector<std::string> chunks = kittyChunks(int(state.range(0)), 1);
    qint64 longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        view->feed("\x1b_Ga=d,d=A\x1b\\\x1b[H\x1b[2J");
        for (const std::string& chunk : chunks)
            view->feed(chunk);
        while (TerminalKittyGraphics::of(view->terminal())->state().imagesById.empty())
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        state.ResumeTiming();
        QElapsedTimer timer;
        timer.start();
        view->repaint();
        longest = std::max(longest, timer.nsecsElapsed());
    }
    state.counters["drawMs"] = double(longest) / 1e6;
    // The worker's share, off the window's thread: the picture for the
    // placement's 10 x 4 cells made from the RGBA bytes.
    const int side = int(state.range(0));
    const std::vector<uint8_t> rgba(size_t(side) * size_t(side) * 4, 0x40);
    const QSize cell = view->cellSizeInDevicePixels();
    QElapsedTimer worker;
    worker.start();
    const auto picture =
        preparePayloadPicture(rgba, false, QSize(side, side), QSize(cell.width() * 10, cell.height() * 4));
    state.counters["workerMs"] = double(worker.nsecsElapsed()) / 1e6;
    state.counters["pictureBytes"] = picture ? double(picture->sizeInBytes()) : 0;
}

}  // namespace

BENCHMARK(BM_FeedLargeKittyImage)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FirstDrawLargeKittyImage)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlaceSixelBitmap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaceSixelBitmapScaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FeedSixel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloodOfTinyPicturesOnOneLine)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
