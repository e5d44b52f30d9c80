// Looks for a line of text in a screenshot of the terminal view: renders the
// text the way the view draws it (the application's default terminal font
// and colours, device pixel ratio 1) and searches the screenshot for those
// exact pixels.
//
//   find_text_on_screen <screenshot.png> <text> [minimum matches] [#fg #bg]
//
// The colours default to those of the application's default scheme,
// metro-dark.
// Exits 0 when the text appears at least that many times (default 1).
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/style/TerminalFont.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/screen/Buffer.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

using namespace ravelgrid;

namespace {

QImage renderText(const QString& text, const QColor& fg, const QColor& bg)
{
    const int cols = int(text.size());
    Buffer buffer(cols, 1, 8, 0);
    buffer.fillViewportRows();
    for (int i = 0; i < cols; ++i) {
        CharData cell;
        cell.code = int32_t(text.at(i).unicode());
        buffer.screenLine(0).set(i, cell);
    }
    FramePainter painter;
    painter.setFontSet(FontSet(quillmar::TerminalFont::font(QLatin1String(quillmar::TerminalFont::nerdFontName),
                                                            quillmar::UserSettings::defaultFontSize)));
    painter.colors().setNativeForeground(fg);
    painter.colors().setNativeBackground(bg);
    const QSizeF cell = computeCellDimension(painter.fontSet().rawNormal(), 1.0, 1.0);
    painter.setCellSize(cell);
    const QSizeF size(cols * cell.width(), cell.height());
    QImage image(size.toSize(), QImage::Format_RGB32);
    FrameInput input;
    input.buffer = &buffer;
    input.columns = cols;
    input.rows = 1;
    input.viewSize = size;
    input.dirty = QRectF(QPointF(0, 0), size);
    QPainter p(&image);
    painter.drawTerminalContents(p, input);
    return image;
}

bool matchesAt(const QImage& screen, const QImage& pattern, int x0, int y0)
{
    for (int y = 0; y < pattern.height(); ++y) {
        const QRgb* s = reinterpret_cast<const QRgb*>(screen.constScanLine(y0 + y)) + x0;
        const QRgb* p = reinterpret_cast<const QRgb*>(pattern.constScanLine(y));
        for (int x = 0; x < pattern.width(); ++x) {
            if ((s[x] & 0xffffff) != (p[x] & 0xffffff))
                return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: find_text_on_screen <screenshot.png> <text> [minimum matches]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QImage screen = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
    if (screen.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    QColor fg(0xE1, 0xE6, 0xEE);
    QColor bg(0x0E, 0x11, 0x17);
    if (argc > 5) {
        fg = QColor(QString::fromUtf8(argv[4]));
        bg = QColor(QString::fromUtf8(argv[5]));
    }
    const QImage pattern = renderText(QString::fromUtf8(argv[2]), fg, bg);
    const int wanted = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    int found = 0;
    for (int y = 0; y + pattern.height() <= screen.height(); ++y) {
        for (int x = 0; x + pattern.width() <= screen.width(); ++x) {
            if (matchesAt(screen, pattern, x, y)) {
                std::printf("found at %d,%d\n", x, y);
                ++found;
            }
        }
    }
    return found >= wanted ? 0 : 1;
}
