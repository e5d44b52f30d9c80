// Checks a screenshot of the terminal window for rows of text that sit at
// the right end: the ink of a row drawn right to left.
//
//   right_aligned_ink <screenshot.png> <minimum rows>
//
// The background is the most common colour. Columns inked in nearly every
// pixel row (a scroll bar, a frame) are not text and are left out. The rest
// is cut into bands of pixel rows with ink; a band counts as right-aligned
// when all its ink lies in the right half and reaches the last tenth of the
// width. Exits 0 when right-aligned bands cover at least the given number of
// cell rows and left-aligned text (the command line, the prompt) exists too.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/style/TerminalFont.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FontSet.h"

#include <QGuiApplication>
#include <QHash>
#include <QImage>

#include <cmath>
#include <cstdio>
#include <vector>

using namespace ravelgrid;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: right_aligned_ink <screenshot.png> <minimum rows>\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QImage whole = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
    if (whole.isNull() || whole.width() < 16 || whole.height() < 16) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const int wantedRows = std::max(1, std::atoi(argv[2]));
    QImage shot = whole;
    int w = shot.width();
    const int h = shot.height();

    QHash<QRgb, int> counts;
    for (int y = 0; y < h; y += 2)
        for (int x = 0; x < w; x += 2)
            ++counts[shot.pixel(x, y) & 0xffffff];
    QRgb background = 0;
    int best = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        if (it.value() > best) {
            best = it.value();
            background = it.key();
        }
    // The terminal is the widest stretch of columns mostly in its background;
    // the sidebar and other panes beside it are left out.
    {
        int bestStart = 0, bestLength = 0, start = -1;
        for (int x = 0; x <= w; ++x) {
            int n = 0;
            if (x < w)
                for (int y = 0; y < h; y += 2)
                    n += (shot.pixel(x, y) & 0xffffff) == background;
            const bool terminalColumn = x < w && n > h / 4;
            if (terminalColumn && start < 0)
                start = x;
            if (!terminalColumn && start >= 0) {
                if (x - start > bestLength) {
                    bestStart = start;
                    bestLength = x - start;
                }
                start = -1;
            }
        }
        if (bestLength >= 16 && bestLength < w) {
            shot = shot.copy(bestStart, 0, bestLength, h);
            w = bestLength;
        }
    }
    auto inked = [&](int x, int y) {
        const QRgb p = shot.pixel(x, y);
        return std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
                   std::abs(qBlue(p) - qBlue(background)) >
               96;
    };
    std::vector<bool> structural(size_t(w), false);
    for (int x = 0; x < w; ++x) {
        int n = 0;
        for (int y = 0; y < h; ++y)
            n += inked(x, y);
        structural[size_t(x)] = n > h * 9 / 10;
    }

    struct Band {
        int top, bottom, minX, maxX;
    };
    std::vector<Band> bands;
    bool open = false;
    for (int y = 0; y < h; ++y) {
        int minX = w, maxX = -1;
        for (int x = 0; x < w; ++x)
            if (!structural[size_t(x)] && inked(x, y)) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
            }
        if (maxX < 0) {
            open = false;
            continue;
        }
        if (!open)
            bands.push_back(Band{y, y, minX, maxX});
        Band& b = bands.back();
        b.bottom = y;
        b.minX = std::min(b.minX, minX);
        b.maxX = std::max(b.maxX, maxX);
        open = true;
    }

    const FontSet appFont(quillmar::TerminalFont::font(QLatin1String(quillmar::TerminalFont::nerdFontName),
                                                       quillmar::UserSettings::defaultFontSize));
    const qreal cellHeight = computeCellDimension(appFont.rawNormal(), 1.0, 1.0).height();
    int rightPixels = 0;
    bool leftText = false;
    for (const Band& b : bands) {
        const bool right = b.minX > w / 2 && b.maxX >= w * 9 / 10 - 1;
        std::printf("band %d-%d x %d-%d%s\n", b.top, b.bottom, b.minX, b.maxX, right ? " right" : "");
        if (right)
            rightPixels += b.bottom - b.top + 1;
        else if (b.minX < w / 4)
            leftText = true;
    }
    // A row's glyphs fill most of a cell; several rows need that much each.
    const bool ok = leftText && rightPixels >= int(std::lround(cellHeight * 0.45 * wantedRows));
    std::printf("right-aligned ink %d px (cell %.1f), left text %s: %s\n", rightPixels, cellHeight,
                leftText ? "yes" : "no", ok ? "ok" : "missing");
    return ok ? 0 : 1;
}
