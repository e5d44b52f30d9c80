// Pictures in the view: sixel bitmaps, inline images and kitty placements,
// checked in the view's own pixels at the device pixel ratio of the run
// (QT_SCALE_FACTOR).
#include "platform/FakeScheduler.h"
#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/view/ImageInsertion.h"
#include "support/ViewTestSupport.h"

#include <QBuffer>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

struct Fixture : ViewOnFakeClock<> {
    Fixture()
    {
        TerminalKittyGraphics::attach(view->terminal());
        QVERIFY(showGrid(40, 12, 0, 0, false));
        // No caret over the pictures.
        view->feed("\x1b[?25l");
        clock.advance(100 * ms);
    }

    qreal scale() const { return view->devicePixelRatioF(); }
    int cellPx(qreal logical) const { return int(std::lround(logical * scale())); }
    QImage grab()
    {
        clock.advance(100 * ms);
        return view->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    // Device pixel at a fraction of a cell.
    QColor at(const QImage& image, int col, int row, qreal fx = 0.5, qreal fy = 0.5) const
    {
        return image.pixelColor(int((col + fx) * cell().width() * scale()),
                                int((row + fy) * cell().height() * scale()));
    }
    std::vector<const PlatformImage*> strips(int row)
    {
        std::vector<const PlatformImage*> found;
        Buffer& buffer = view->terminal().activeBuffer();
        if (const TerminalImageList* images = buffer.lines()[buffer.yBase() + row].images())
            for (const auto& image : *images)
                if (auto* strip = dynamic_cast<const PlatformImage*>(image.get()))
                    found.push_back(strip);
        return found;
    }
    void bitmap(int width, int height, QColor color)
    {
        std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
        for (size_t i = 0; i < rgba.size(); i += 4) {
            rgba[i] = uint8_t(color.red());
            rgba[i + 1] = uint8_t(color.green());
            rgba[i + 2] = uint8_t(color.blue());
            rgba[i + 3] = uint8_t(color.alpha());
        }
        view->createImageFromBitmap(view->terminal(), rgba, width, height);
    }
};

std::string redPngBase64(int side)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(QColor(255, 0, 0));
    QByteArray png;
    QBuffer device(&png);
    device.open(QIODevice::WriteOnly);
    image.save(&device, "PNG");
    return png.toBase64().toStdString();
}

bool isRed(const QColor& c)
{
    return c.red() > 240 && c.green() < 15 && c.blue() < 15;
}

}  // namespace

class ViewImageTests : public QObject {
    Q_OBJECT

private slots:
    void kittyPngStretchedOverTwoCells()
    {
        Fixture f;
        f.view->feed("\x1b[2;3H\x1b_Ga=T,f=100,q=2,c=2,r=1;" + redPngBase64(2) + "\x1b\\");
        const QImage shot = f.grab();
        QVERIFY(isRed(f.at(shot, 2, 1)));
        QVERIFY(isRed(f.at(shot, 3, 1, 0.95, 0.95)));
        QVERIFY(!isRed(f.at(shot, 4, 1)));
        QVERIFY(!isRed(f.at(shot, 2, 2)));
        QVERIFY(!isRed(f.at(shot, 1, 1)));
    }

    void inlineImageSequence()
    {
        Fixture f;
        // Three cells wide, two high, stretched: width and height in cells.
        f.view->feed("\x1b[2;2H\x1b]1337;File=inline=1;width=3;height=2;preserveAspectRatio=0:" + redPngBase64(4) +
                     "\x07");
        const QImage shot = f.grab();
        for (int row : {1, 2})
            for (int col : {1, 2, 3})
                QVERIFY(isRed(f.at(shot, col, row)));
        QVERIFY(!isRed(f.at(shot, 4, 1)));
        QVERIFY(!isRed(f.at(shot, 1, 3)));
        QVERIFY(!isRed(f.at(shot, 0, 1)));
        // The cursor ends below the picture, in its starting column.
        QCOMPARE(f.view->terminal().activeBuffer().y(), 3);
        QCOMPARE(f.view->terminal().activeBuffer().x(), 1);
    }

    void kittyPlaceholderCellsShowTheirImage()
    {
        Fixture f;
        // An image, a virtual placement of 2 x 1 cells, then its two cells
        // written as text: the first with row and column marks, the second
        // taking the next column from it.
        f.view->feed("\x1b_Ga=t,f=100,i=7,q=2;" + redPngBase64(2) + "\x1b\\");
        f.view->feed("\x1b_Ga=p,U=1,i=7,c=2,r=1,q=2\x1b\\");
        f.view->feed("\x1b[3;4H\x1b[38;5;7m\xF4\x8E\xBB\xAE\xCC\x85\xCC\x85\xF4\x8E\xBB\xAE\x1b[0m");
        const QImage shot = f.grab();
        QVERIFY(isRed(f.at(shot, 3, 2)));
        QVERIFY(isRed(f.at(shot, 4, 2)));
        QVERIFY(!isRed(f.at(shot, 5, 2)));
        QVERIFY(!isRed(f.at(shot, 2, 2)));
        // No glyph of the private character is drawn over it.
        QVERIFY(isRed(f.at(shot, 3, 2, 0.3, 0.6)));
    }

    void sixelKeepsItsSizeOrFitsTheWidth()
    {
        Fixture f;
        // Narrower than the view: its own size in device pixels.
        f.bitmap(40, 40, QColor(255, 0, 0));
        const auto first = f.strips(0);
        QCOMPARE(first.size(), size_t(1));
        QVERIFY(std::abs(first[0]->pixelWidth - 40 / f.scale()) < 1e-6);
        QCOMPARE(first[0]->picture->width(), 40);
        const QImage shot = f.grab();
        QVERIFY(isRed(shot.pixelColor(39, 5)));
        QVERIFY(!isRed(shot.pixelColor(41, 5)));
        // Back at the starting column, on the line below the picture.
        const int rows = int(std::ceil(40 / f.scale() / f.cell().height()));
        QCOMPARE(f.view->terminal().activeBuffer().y(), rows);
        QCOMPARE(f.view->terminal().activeBuffer().x(), 0);

        // Wider than the view: fitted to its width, aspect kept.
        Fixture g;
        const int wide = int(g.view->width() * g.scale()) + 200;
        g.bitmap(wide, 20, QColor(0, 0, 255));
        const auto strips = g.strips(0);
        QCOMPARE(strips.size(), size_t(1));
        QVERIFY(std::abs(strips[0]->pixelWidth - g.view->width()) < 1e-6);
        QVERIFY(std::abs(strips[0]->picture->height() - 20.0 * g.view->width() * g.scale() / wide) <= 1.0);
    }

    void tallPictureIsCutIntoStrips()
    {
        Fixture f;
        const int chPx = f.cellPx(f.cell().height());
        const int height = int(std::lround(2.1 * chPx));
        f.bitmap(10, height, QColor(255, 0, 0));
        QCOMPARE(f.strips(0).size(), size_t(1));
        QCOMPARE(f.strips(1).size(), size_t(1));
        QCOMPARE(f.strips(2).size(), size_t(1));
        QVERIFY(f.strips(3).empty());
        // All three share one picture.
        QCOMPARE(f.strips(0)[0]->picture.get(), f.strips(2)[0]->picture.get());
        const QImage shot = f.grab();
        QVERIFY(isRed(shot.pixelColor(5, 2 * chPx + 1)));
        QVERIFY(!isRed(shot.pixelColor(5, 3 * chPx - 1)));
        QVERIFY(isRed(shot.pixelColor(5, chPx + chPx / 2)));
    }

    void kittyZOrder()
    {
        for (int z : {-1, 0}) {
            Fixture f;
            f.view->feed("\x1b[1;1H\x1b_Ga=T,f=100,q=2,C=1,c=2,r=1,z=" + std::to_string(z) + ";" + redPngBase64(2) +
                         "\x1b\\\x1b[38;2;0;255;0mWW");
            const QImage shot = f.grab();
            bool green = false;
            for (int y = 0; y < f.cellPx(f.cell().height()); ++y)
                for (int x = 0; x < f.cellPx(2 * f.cell().width()); ++x) {
                    const QColor c = shot.pixelColor(x, y);
                    green = green || (c.green() > 200 && c.red() < 60);
                }
            // Below the text the letters show; above it they are covered.
            QCOMPARE(green, z < 0);
            QVERIFY(isRed(f.at(shot, 0, 0, 0.05, 0.05)));
        }
    }

    void translucentPixelsAreStraightAlpha()
    {
        Fixture f;
        f.bitmap(40, 40, QColor(255, 0, 0, 128));
        const QColor c = f.grab().pixelColor(10, 10);
        QVERIFY2(std::abs(c.red() - 128) <= 3 && c.green() == 0 && c.blue() == 0,
                 qPrintable(QStringLiteral("read %1").arg(c.name())));
    }

    void kittyYOffsetMovesThePictureDown()
    {
        Fixture f;
        f.view->feed("\x1b[2;1H\x1b_Ga=T,f=100,q=2,C=1,c=1,r=1,Y=4;" + redPngBase64(2) + "\x1b\\");
        const QImage shot = f.grab();
        const int top = f.cellPx(f.cell().height());
        const int x = f.cellPx(f.cell().width() / 2);
        QVERIFY(!isRed(shot.pixelColor(x, top + 3)));
        QVERIFY(isRed(shot.pixelColor(x, top + 4)));
        QVERIFY(isRed(shot.pixelColor(x, 2 * top - 1)));
        QVERIFY(!isRed(shot.pixelColor(x, top - 1)));
    }

    void untrustedSizesChangeNothing()
    {
        Fixture f;
        f.view->feed("hello");
        const QImage before = f.grab();
        f.view->feed("\x1b_Ga=T,f=100,q=2,C=1,c=1,r=100000;" + redPngBase64(2) + "\x1b\\");
        QCOMPARE(f.grab(), before);

        const std::string png = QByteArray::fromBase64(QByteArray::fromStdString(redPngBase64(2))).toStdString();
        const auto data = std::span(reinterpret_cast<const uint8_t*>(png.data()), png.size());
        using K = ImageSizeRequest::Kind;
        f.view->createImage(f.view->terminal(), data, {K::pixels, 1'000'000'000}, {}, true);
        f.view->createImage(f.view->terminal(), data, {K::cells, 100'000}, {K::cells, 1}, false);
        f.view->createImage(f.view->terminal(), data, {K::pixels, -5}, {}, true);
        std::vector<uint8_t> shortRgba(10 * 10 * 4 - 1, 0xff);
        f.view->createImageFromBitmap(f.view->terminal(), shortRgba, 10, 10);
        for (auto [w, h] : {std::pair{0, 10}, {-3, 10}, {20'000, 1}, {10, 20'000}}) {
            std::vector<uint8_t> rgba(400, 0xff);
            f.view->createImageFromBitmap(f.view->terminal(), rgba, w, h);
        }
        QCOMPARE(f.view->imageBytes(), size_t(0));
        QVERIFY(!f.view->terminal().activeBuffer().hasAnyImages() || f.strips(0).empty());
        QCOMPARE(f.grab(), before);

        // Garbage that is no image at all.
        const uint8_t junk[] = {0x89, 'P', 'N', 'G', 0, 1, 2};
        f.view->createImage(f.view->terminal(), junk, {}, {}, true);
        QCOMPARE(f.view->imageBytes(), size_t(0));
    }

    void oldestPicturesLeaveFirst()
    {
        Fixture f;
        const QSizeF cell = f.cell();
        ImagePlacementMetrics metrics{cell, QSizeF(f.view->size()), f.scale()};
        QImage picture(8, 8, QImage::Format_ARGB32);
        picture.fill(Qt::red);
        const size_t each = size_t(picture.sizeInBytes()) + ImageInsertion::kPictureOverheadBytes;
        ImageInsertion images(each * 2);
        Terminal& terminal = f.view->terminal();
        for (int i = 0; i < 3; ++i) {
            terminal.activeBuffer().setY(i * 2);
            terminal.activeBuffer().setX(0);
            QVERIFY(images.insert(terminal, picture, {}, {}, true, metrics));
        }
        QCOMPARE(images.bytes(), each * 2);
        // The first picture's strip is gone from its line; the others stay.
        QVERIFY(f.strips(0).empty());
        QCOMPARE(f.strips(2).size(), size_t(1));
        QCOMPARE(f.strips(4).size(), size_t(1));
        // One larger than the whole budget is refused.
        QImage huge(128, 128, QImage::Format_ARGB32);
        huge.fill(Qt::red);
        QVERIFY(!images.insert(terminal, huge, {}, {}, true, metrics));
        QCOMPARE(f.strips(4).size(), size_t(1));
    }

    // The line keeps the latest strips only, so placing a picture there costs
    // at most a line's worth of strips, and drawing the line stays bounded.
    // Kept without end, each picture copied every strip before it
    // (bench/image_bench's BM_FloodOfTinyPicturesOnOneLine times it).
    void aFloodOfTinyPicturesOnOneLineStaysBounded()
    {
        Fixture f;
        constexpr uint64_t pictures = 4000;
        std::string flood;
        for (uint64_t i = 0; i < pictures; ++i)
            flood += "\x1b[1;1H\x1bPq#1;2;100;0;0#1~\x1b\\";
        const uint64_t before = f.view->imageInsertion().visits();
        f.view->feed(flood);
        const uint64_t visits = f.view->imageInsertion().visits() - before;
        QVERIFY2(visits <= pictures * (ImageInsertion::kMaxImagesPerLine + 8), qPrintable(QString::number(visits)));
        f.grab();
        QCOMPARE(f.strips(0).size(), ImageInsertion::kMaxImagesPerLine);
        // Only what the line still shows is counted.
        QVERIFY(f.view->imageBytes() <=
                ImageInsertion::kMaxImagesPerLine * (ImageInsertion::kPictureOverheadBytes + 64));
    }

    void anEvictedKittyImageDrawsNothing()
    {
        Fixture f;
        TerminalOptions options = f.view->terminal().options();
        options.kittyImageCacheLimitBytes = 8 * 8 * 4;  // one image at a time
        f.view->terminal().setOptions(options);
        auto place = [&](int id, int col, const char* pixel) {
            QByteArray rgba;
            for (int i = 0; i < 8 * 8; ++i)
                rgba.append(pixel, 4);
            f.view->feed("\x1b[2;" + std::to_string(col) + "H\x1b_Ga=T,f=32,s=8,v=8,q=2,C=1,c=2,r=1,i=" +
                         std::to_string(id) + ";" + rgba.toBase64().toStdString() + "\x1b\\");
        };
        place(1, 3, "\xff\x00\x00\xff");
        QVERIFY(isRed(f.at(f.grab(), 2, 1)));
        place(2, 9, "\x00\x00\xff\xff");
        const QImage shot = f.grab();
        QVERIFY(!isRed(f.at(shot, 2, 1)));
        QCOMPARE(shot.pixelColor(int(8.5 * f.cell().width() * f.scale()), int(1.5 * f.cell().height() * f.scale())),
                 QColor(0, 0, 255));
    }

    void sizesAndOrder()
    {
        ImagePlacementMetrics m{QSizeF(10, 20), QSizeF(1000, 600), 2.0};
        using K = ImageSizeRequest::Kind;
        // percent(50) of a 1000-wide view; height follows the aspect.
        QCOMPARE(placedImageSize(QSize(200, 100), {K::percent, 50}, {}, true, m), std::optional(QSizeF(500, 250)));
        QCOMPARE(placedImageSize(QSize(200, 100), {}, {}, true, m), std::optional(QSizeF(100, 50)));
        QCOMPARE(placedImageSize(QSize(200, 100), {K::cells, 3}, {K::cells, 2}, false, m),
                 std::optional(QSizeF(30, 40)));
        QCOMPARE(placedImageSize(QSize(200, 100), {}, {K::cells, 1}, true, m), std::optional(QSizeF(40, 20)));
        QCOMPARE(placedImageSize(QSize(200, 100), {K::pixels, 6000}, {}, true, m), std::nullopt);
        QCOMPARE(placedImageSize(QSize(0, 100), {}, {}, true, m), std::nullopt);

        QCOMPARE(aspectFitRect(QSizeF(2, 1), QRectF(0, 0, 10, 10)), QRectF(0, 2.5, 10, 5));
        QCOMPARE(aspectFitRect(QSizeF(0, 1), QRectF(1, 2, 10, 10)), QRectF(1, 2, 10, 10));

        PlatformImage a, b, c, d;
        std::vector<ImageDrawEntry> entries{{0, 5, &a}, {-1, std::nullopt, &b}, {0, std::nullopt, &c}, {0, 5, &d}};
        sortImagesForDrawing(entries);
        QCOMPARE(entries[0].image, &b);
        QCOMPARE(entries[1].image, &c);
        QCOMPARE(entries[2].image, &a);  // stable among equals
        QCOMPARE(entries[3].image, &d);
    }
};

QTEST_MAIN(ViewImageTests)
#include "ViewImageTests.moc"
