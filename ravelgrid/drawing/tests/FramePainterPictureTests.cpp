// Large kitty pictures are made on a worker: the first frame draws nothing
// for them and the ready callback brings the next one.
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/drawing/PictureJobs.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/screen/Buffer.h"

#include <QBuffer>
#include <QPainter>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <cmath>

using namespace ravelgrid;

namespace {

constexpr int cols = 10;
constexpr int rows = 4;
const QColor background(0, 0, 0);

// Left half red, right half blue, opaque: shows channel order and flips.
KittyGraphicsPayload halves(int w, int h)
{
    std::vector<uint8_t> rgba(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgba[(size_t(y) * size_t(w) + size_t(x)) * 4];
            p[0] = x < w / 2 ? 220 : 10;
            p[2] = x < w / 2 ? 10 : 220;
            p[3] = 255;
        }
    return KittyGraphicsPayload::rgba(std::move(rgba), w, h);
}

struct Scene {
    Buffer buffer{cols, rows, 8, 100};
    std::unique_ptr<FramePainter> painter = std::make_unique<FramePainter>();
    QImage image;
    int readies = 0;

    Scene()
    {
        buffer.fillViewportRows();
        painter->colors().setNativeBackground(background);
        painter->setCellSize(QSizeF(8, 16));
        painter->setPictureReadyCallback([this] { ++readies; });
        image = QImage(cols * 8, rows * 16, QImage::Format_ARGB32_Premultiplied);
    }

    // The picture over 4 x 2 cells from the top left corner.
    void place(const KittyGraphicsPayload& payload)
    {
        for (int row = 0; row < 2; ++row) {
            auto cell = std::make_shared<KittyPlacementImage>(payload);
            cell->kittyImageId = 1;
            cell->kittyCols = cell->kittyRequestedCols = 4;
            cell->kittyRows = cell->kittyRequestedRows = 2;
            cell->kittyRowOffset = row;
            buffer.screenLine(row).addImage(cell);
        }
    }

    void paint(QRectF dirty = {})
    {
        FrameInput input;
        input.buffer = &buffer;
        input.columns = cols;
        input.rows = rows;
        input.viewSize = QSizeF(image.size());
        input.dirty = dirty.isNull() ? QRectF(QPointF(0, 0), input.viewSize) : dirty;
        QPainter p(&image);
        painter->drawTerminalContents(p, input);
    }

    QColor at(int col, int row) const { return image.pixelColor(col * 8 + 4, row * 16 + 8); }
};

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 &&
           std::abs(a.blue() - b.blue()) <= 3;
}

}  // namespace

class FramePainterPictureTests : public QObject {
    Q_OBJECT

private slots:
    void largePictureArrivesInALaterFrame()
    {
        Scene small;
        small.place(halves(200, 100));
        small.paint();
        QCOMPARE(small.painter->pendingPictureCount(), size_t(0));
        QVERIFY(!near(small.at(0, 0), background));

        Scene large;
        large.place(halves(1600, 800));
        large.paint();
        QCOMPARE(large.at(0, 0), background);
        QCOMPARE(large.at(3, 1), background);
        QTRY_VERIFY_WITH_TIMEOUT(large.readies > 0, 30000);
        large.paint();
        for (int row = 0; row < 2; ++row)
            for (int col = 0; col < 4; ++col)
                QVERIFY2(near(large.at(col, row), small.at(col, row)), qPrintable(QString("%1,%2").arg(col).arg(row)));
        QCOMPARE(large.at(5, 0), background);

        // A frame of other rows keeps it: the next whole frame needs no worker.
        large.paint(QRectF(0, 48, cols * 8, 16));
        large.paint();
        QCOMPARE(large.painter->pendingPictureCount(), size_t(0));
        QVERIFY(near(large.at(0, 0), small.at(0, 0)));
    }

    void undecodableLargePictureIsNotRetried()
    {
        // A PNG whose header promises 2000 x 2000 pixels, cut short after it.
        QImage whole(2000, 2000, QImage::Format_RGB32);
        whole.fill(Qt::red);
        QByteArray encoded;
        QBuffer device(&encoded);
        device.open(QIODevice::WriteOnly);
        QVERIFY(whole.save(&device, "PNG"));
        std::vector<uint8_t> png(encoded.begin(), encoded.begin() + 64);
        Scene scene;
        QVERIFY(isLargePicture(KittyGraphicsPayload::png(png)));
        scene.place(KittyGraphicsPayload::png(png));
        scene.paint();
        QTRY_VERIFY_WITH_TIMEOUT(scene.readies > 0, 30000);
        scene.paint();
        scene.paint();
        QCOMPARE(scene.painter->pendingPictureCount(), size_t(0));
        QCOMPARE(scene.at(0, 0), background);
    }

    // Each band of a picture asks for it in the same frame: one finished
    // before a later band asks is taken by the next frame, not made again.
    void aFinishedJobIsNotStartedAgainBeforeItIsTaken()
    {
        PictureJobs jobs;
        const auto bytes = std::make_shared<const std::vector<uint8_t>>(16, uint8_t(1));
        std::atomic<int> made = 0;
        const auto prepare = [&made](std::span<const uint8_t>) -> std::optional<QImage> {
            ++made;
            return std::nullopt;
        };
        const PictureJobs::Key key{bytes.get(), QSize(4, 4)};
        QVERIFY(jobs.request(key, bytes, prepare));
        QTRY_COMPARE_WITH_TIMEOUT(jobs.pendingCount(), size_t(0), 30000);
        QVERIFY(!jobs.request(key, bytes, prepare));
        QCOMPARE(jobs.pendingCount(), size_t(0));
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
        QCOMPARE(made.load(), 1);
        QCOMPARE(jobs.takeFinished().size(), size_t(1));
    }

    void painterGoneWhileItsJobRuns()
    {
        auto scene = std::make_unique<Scene>();
        scene->place(halves(3000, 3000));
        scene->paint();
        QCOMPARE(scene->painter->pendingPictureCount(), size_t(1));
        scene.reset();  // the payload and the painter with it
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
        QCoreApplication::processEvents();
    }

    void boxShrinkAveragesPremultiplied()
    {
        // Two by two into one: opaque red and blue, clear white and half green.
        const std::vector<uint8_t> rgba = {255, 0, 0, 255, 0, 0, 255, 255, 255, 255, 255, 0, 0, 255, 0, 128};
        const auto one = preparePayloadPicture(rgba, false, QSize(2, 2), QSize(1, 1));
        QVERIFY(one);
        const QRgb p = one->pixel(0, 0);
        QCOMPARE(qAlpha(p), 160);  // (255 + 255 + 0 + 128) / 4, rounded
        QCOMPARE(qRed(p), 64);     // premultiplied: the clear white adds nothing
        QCOMPARE(qGreen(p), 32);
        QCOMPARE(qBlue(p), 64);
        QVERIFY(!preparePayloadPicture(std::span(rgba).first(15), false, QSize(2, 2), QSize(1, 1)));
    }
};

QTEST_MAIN(FramePainterPictureTests)
#include "FramePainterPictureTests.moc"
