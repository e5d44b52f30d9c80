// Select All plus Copy of 10,000 lines of 200 columns, one wheel notch in
// the scrollback followed by the repaint of a 200 x 60 view, and a screen
// reader's walk through the visible text.
#include "ravelgrid/view/TerminalView.h"

#include <benchmark/benchmark.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>
#include <memory>
#include <string>

using namespace ravelgrid;

namespace {

constexpr int cols = 200;
constexpr int rows = 60;

struct NullDelegate : TerminalViewDelegate {
    void sizeChanged(TerminalView&, int, int) override {}
    void setTerminalTitle(TerminalView&, const std::string&) override {}
    void hostCurrentDirectoryUpdate(TerminalView&, const std::optional<std::string>&) override {}
    void send(TerminalView&, std::span<const uint8_t>) override {}
    void scrolled(TerminalView&, double) override {}
    void bell(TerminalView&) override {}
    void rangeChanged(TerminalView&, int, int) override {}
};

// A view of 200 x 60 holding `lines` full lines of text, scrollback included.
std::unique_ptr<TerminalView> makeView(int lines)
{
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    options.scrollback = lines + rows;
    auto view = std::make_unique<TerminalView>(nullptr, std::nullopt, options);
    const QSizeF cell = *view->cellDimension();
    view->resize(int(std::ceil(cols * cell.width() + view->reservedScrollerWidth())),
                 int(std::ceil(rows * cell.height())));
    std::string text;
    for (int i = 0; i < lines; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        while (line.size() < size_t(cols))
            line += char('a' + (line.size() + size_t(i)) % 26);
        text += line;
        text += "\r\n";
    }
    view->feed(text);
    return view;
}

void BM_SelectAllAndCopy(benchmark::State& state)
{
    auto view = makeView(10'000);
    size_t bytes = 0;
    for (auto _ : state) {
        view->selectAll();
        view->copy();
        bytes = size_t(QGuiApplication::clipboard()->text().size());
        view->selection().setActive(false);
    }
    state.counters["chars"] = double(bytes);
}

void BM_WheelNotchRepaint(benchmark::State& state)
{
    auto view = makeView(2'000);
    view->scrollTo(1'000);
    const QRectF full(QPointF(0, 0), QSizeF(view->size()));
    QImage image(view->size(), QImage::Format_ARGB32_Premultiplied);
    bool up = true;
    for (auto _ : state) {
        const QPointF at(100, 100);
        QWheelEvent event(at, at, QPoint(), QPoint(0, up ? 120 : -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                          false);
        QApplication::sendEvent(view.get(), &event);
        up = !up;
        QPainter painter(&image);
        view->drawTerminalContents(painter, full);
    }
}

// Every offset of a 100-column screen of ROWS rows read by character, word
// and line through the accessible text, as a screen reader walks it; linear
// in the text.
void BM_WalkAccessibleText(benchmark::State& state)
{
    const int lines = int(state.range(0));
    TerminalOptions options;
    options.cols = 100;
    options.rows = lines;
    TerminalView view(nullptr, std::nullopt, options);
    std::string row;
    for (int i = 0; i < 3; ++i)
        row += "alpha beta, gamma. \xe4\xb8\xad\xe6\x96\x87 ok? ";
    for (int i = 0; i < lines; ++i)
        view.feed(row + (i + 1 < lines ? "end\r\n" : "end"));
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&view);
    QAccessibleTextInterface* text = iface ? iface->textInterface() : nullptr;
    if (!text) {
        state.SkipWithError("the view has no accessible text");
        return;
    }
    for (auto _ : state) {
        view.displayNow();
        const int n = text->characterCount();
        int s = 0, e = 0;
        for (const auto boundary : {QAccessible::CharBoundary, QAccessible::WordBoundary, QAccessible::LineBoundary})
            for (int offset = 0; offset < n; ++offset)
                benchmark::DoNotOptimize(text->textAtOffset(offset, boundary, &s, &e));
    }
    state.counters["chars"] = double(text->characterCount());
}

}  // namespace

BENCHMARK(BM_SelectAllAndCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WheelNotchRepaint)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkAccessibleText)->Arg(24)->Arg(384)->Unit(benchmark::kMillisecond);

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
