// Checks a screenshot of the window after a box, a row of bars and a sixel
// picture were printed in it:
//   - the box (pure green) has its top border inked in every pixel column and
//     its left border in every pixel row: the cells meet without a gap;
//   - the bars (pure blue) are there;
//   - the picture (pure red) is a solid 40 x 40 device-pixel square.
//
//   check_shapes_on_screen <screenshot.png>
#include <QGuiApplication>
#include <QImage>
#include <QRect>

#include <cstdio>
#include <functional>

namespace {

QRect boundsOf(const QImage& image, const std::function<bool(QRgb)>& match)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixel(x, y)))
                bounds = bounds.united(QRect(x, y, 1, 1));
    return bounds;
}

bool green(QRgb c)
{
    return qGreen(c) > 200 && qRed(c) < 60 && qBlue(c) < 60;
}
bool blue(QRgb c)
{
    return qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60;
}
bool red(QRgb c)
{
    return qRed(c) > 200 && qGreen(c) < 60 && qBlue(c) < 60;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: check_shapes_on_screen <screenshot.png>\n");
        return 2;
    }
    const QImage image = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    int failures = 0;

    const QRect box = boundsOf(image, green);
    if (box.width() < 16 || box.height() < 16) {
        std::fprintf(stderr, "no box on the screen\n");
        return 1;
    }
    // The border is a few pixels thick; look within the first six rows.
    for (int x = box.left(); x <= box.right(); ++x) {
        bool inked = false;
        for (int y = box.top(); y < box.top() + 6 && !inked; ++y)
            inked = green(image.pixel(x, y));
        if (!inked) {
            std::fprintf(stderr, "the top border has a gap at x %d (box %d,%d %dx%d)\n", x, box.x(), box.y(),
                         box.width(), box.height());
            ++failures;
            break;
        }
    }
    for (int y = box.top(); y <= box.bottom(); ++y) {
        bool inked = false;
        for (int x = box.left(); x < box.left() + 6 && !inked; ++x)
            inked = green(image.pixel(x, y));
        if (!inked) {
            std::fprintf(stderr, "the left border has a gap at y %d\n", y);
            ++failures;
            break;
        }
    }

    const QRect bars = boundsOf(image, blue);
    if (bars.width() < 8 || bars.height() < 8) {
        std::fprintf(stderr, "no bars on the screen\n");
        ++failures;
    }

    const QRect picture = boundsOf(image, red);
    if (std::abs(picture.width() - 40) > 1 || std::abs(picture.height() - 40) > 1) {
        std::fprintf(stderr, "the picture is %dx%d, not 40x40\n", picture.width(), picture.height());
        ++failures;
    } else {
        int redCount = 0;
        for (int y = picture.top(); y <= picture.bottom(); ++y)
            for (int x = picture.left(); x <= picture.right(); ++x)
                redCount += red(image.pixel(x, y)) ? 1 : 0;
        if (redCount < picture.width() * picture.height() * 97 / 100) {
            std::fprintf(stderr, "the picture's cells are not all red\n");
            ++failures;
        }
    }
    if (failures == 0)
        std::printf("box %dx%d, bars %dx%d, picture %dx%d\n", box.width(), box.height(), bars.width(), bars.height(),
                    picture.width(), picture.height());
    return failures == 0 ? 0 : 1;
}
