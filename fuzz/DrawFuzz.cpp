// Untrusted output drawn: bytes fed to a terminal with the graphics protocols
// attached, pictures placed as the view places them, then one frame painted
// at a fractional scale (shapes, decorations, placeholder cells, pictures).

#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/view/ImageInsertion.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace {

using namespace ravelgrid;

constexpr qreal scale = 1.5;
const QSizeF cell(8, 16);

class FuzzDelegate : public TerminalDelegate {
public:
    ImageInsertion images{size_t{16} << 20};
    ImagePlacementMetrics metrics{cell, QSizeF(40 * 8, 12 * 16), scale};

    void send(Terminal&, std::span<const uint8_t>) override {}
    std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) override { return std::pair{12, 24}; }
    void createImageFromBitmap(Terminal& t, std::vector<uint8_t>& rgba, int width, int height) override
    {
        if (auto image = imageFromRgba(std::move(rgba), width, height))
            images.insert(t, *image, {}, {}, true, metrics);
    }
    void createImage(Terminal& t, std::span<const uint8_t> data, ImageSizeRequest w, ImageSizeRequest h,
                     bool preserve) override
    {
        if (auto image = imageFromEncoded(data))
            images.insert(t, *image, w, h, preserve, metrics);
    }
};

QGuiApplication& application()
{
    static int argc = 1;
    static char name[] = "DrawFuzz";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(argc, argv);
    return app;
}

// Starts the fuzzer's bytes can be put after, so that pictures, placeholder
// cells and shapes are on the screen from the first run.
const std::string& prefix(uint8_t which)
{
    static const std::string png = [] {
        QImage picture(3, 2, QImage::Format_ARGB32);
        picture.fill(QColor(255, 0, 0, 128));
        QByteArray bytes;
        QBuffer device(&bytes);
        device.open(QIODevice::WriteOnly);
        picture.save(&device, "PNG");
        return bytes.toBase64().toStdString();
    }();
    static const std::string prefixes[] = {
        "",
        "\x1b_Ga=t,f=100,i=7,q=2;" + png +
            "\x1b\\\x1b_Ga=p,U=1,i=7,c=3,r=2,q=2\x1b\\\x1b[38;5;7m"
            "\xF4\x8E\xBB\xAE\xCC\x85\xCC\x85\xF4\x8E\xBB\xAE\r\n\xF4\x8E\xBB\xAE\xCC\x8D",
        "\x1b_Ga=T,f=100,q=2,c=2,r=1,z=-1,Y=3;" + png + "\x1b\\\x1b]1337;File=inline=1;width=2:" + png + "\x07",
        "\x1bPq#1;2;100;0;0#1!8~-#1!8~",
        "\x1b[4:3m\xE2\x94\x8C\xE2\x94\x80\xE2\x96\x92\xEE\x82\xB0\x1b[9;58;5;1m\xE2\x95\xAD ab",
    };
    return prefixes[which % std::size(prefixes)];
}

}  // namespace

// Fontconfig keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 65536)
        return 0;
    application();
    FuzzDelegate delegate;
    TerminalOptions options;
    options.cols = 40;
    options.rows = 12;
    auto terminal = std::make_unique<Terminal>(&delegate, options);
    TerminalKittyGraphics& kitty = TerminalKittyGraphics::attach(*terminal);
    const std::string& start = prefix(data[0]);
    terminal->feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(start.data()), start.size()));
    terminal->feed(std::span<const uint8_t>(data + 1, size - 1));

    static FramePainter painter;
    painter.setCellSize(cell);
    static QImage image(int(40 * 8 * scale), int(12 * 16 * scale), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    FrameInput input;
    input.buffer = terminal->buffer;
    input.columns = terminal->cols;
    input.rows = terminal->rows;
    input.startRow = terminal->buffer->yDisp();
    input.viewSize = QSizeF(40 * 8, 12 * 16);
    input.dirty = QRectF(QPointF(0, 0), input.viewSize);
    input.kitty = &kitty.state();
    input.alternateBuffer = terminal->isCurrentBufferAlternate();
    Terminal* raw = terminal.get();
    input.row.clusterText = [raw](int32_t code) { return QString::fromStdString(raw->character(code)); };
    QPainter p(&image);
    painter.drawTerminalContents(p, input);
    return 0;
}
