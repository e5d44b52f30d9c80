// Checks the sidebar in a screenshot of the window (1x): the hairline above
// the Settings button, a full-width row in one colour; at least N section
// header icons, just right of the disclosures; and the Settings icon under
// the hairline at the left padding. An icon is a patch of ink a little under
// its 15-px square that stands apart from the text beside it, which a title
// alone never makes.
//
//   check_sidebar_on_screen <screenshot.png> <sidebar width> <N>
// Prints what it found; exits 0 when all are there.
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

bool differs(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) > 40;
}

// The colour most of the sidebar's left edge shows.
QRgb backgroundOf(const QImage& image)
{
    std::vector<std::pair<QRgb, int>> seen;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb c = image.pixel(1, y);
        bool found = false;
        for (auto& [colour, n] : seen)
            if (colour == c) {
                ++n;
                found = true;
            }
        if (!found)
            seen.push_back({c, 1});
    }
    std::pair<QRgb, int> best{0, 0};
    for (const auto& s : seen)
        if (s.second > best.second)
            best = s;
    return best.first;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: check_sidebar_on_screen <screenshot.png> <sidebar width> <header icons>\n");
        return 2;
    }
    const QImage shot = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
    const int width = std::atoi(argv[2]);
    const int wanted = std::atoi(argv[3]);
    if (shot.isNull() || width < 40 || width > shot.width()) {
        std::fprintf(stderr, "no usable screenshot\n");
        return 2;
    }
    const QRgb bg = backgroundOf(shot);
    auto ink = [&](int x, int y) { return differs(shot.pixel(x, y), bg); };

    // The hairline: the lowest row in one colour, not the background's, across the sidebar.
    int hairline = -1;
    for (int y = shot.height() - 1; y >= shot.height() / 2 && hairline < 0; --y) {
        const QRgb c = shot.pixel(0, y);
        bool even = c != bg;
        for (int x = 1; x < width && even; ++x)
            even = shot.pixel(x, y) == c;
        if (even)
            hairline = y;
    }

    // Bands of rows with ink, then runs of columns with ink inside each band
    // (gaps of up to 2 px joined, as between letters).
    int headerIcons = 0;
    int settingsIcons = 0;
    int y = 0;
    while (y < shot.height()) {
        auto rowInked = [&](int row) {
            for (int x = 0; x < width; ++x)
                if (ink(x, row))
                    return true;
            return false;
        };
        if (y == hairline || !rowInked(y)) {
            ++y;
            continue;
        }
        const int top = y;
        while (y < shot.height() && y != hairline && rowInked(y))
            ++y;
        const int bottom = y - 1;
        auto columnInked = [&](int x) {
            for (int r = top; r <= bottom; ++r)
                if (ink(x, r))
                    return true;
            return false;
        };
        int x = 0;
        while (x < width) {
            if (!columnInked(x)) {
                ++x;
                continue;
            }
            const int left = x;
            int gap = 0;
            int right = x;
            for (; x < width && gap <= 2; ++x) {
                if (columnInked(x)) {
                    right = x;
                    gap = 0;
                } else {
                    ++gap;
                }
            }
            x = right + 1;
            int inkTop = bottom, inkBottom = top;
            for (int r = top; r <= bottom; ++r)
                for (int c = left; c <= right; ++c)
                    if (ink(c, r)) {
                        inkTop = std::min(inkTop, r);
                        inkBottom = std::max(inkBottom, r);
                    }
            const int w = right - left + 1;
            const int h = inkBottom - inkTop + 1;
            if (w >= 11 && w <= 17 && h >= 11 && h <= 17) {
                std::printf("icon at %d,%d size %dx%d\n", left, inkTop, w, h);
                if (hairline >= 0 && inkTop < hairline && left >= 24 && left <= 40)
                    ++headerIcons;
                if (hairline >= 0 && inkTop > hairline && left >= 10 && left <= 18)
                    ++settingsIcons;
            }
        }
    }
    std::printf("hairline at row %d; %d header icons, %d settings icon\n", hairline, headerIcons, settingsIcons);
    return hairline >= 0 && headerIcons >= wanted && settingsIcons == 1 ? 0 : 1;
}
