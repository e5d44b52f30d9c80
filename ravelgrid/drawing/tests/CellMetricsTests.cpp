#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/drawing/GridGeometry.h"

#include <QFontMetricsF>
#include <QScreen>
#include <QtTest>

#include <cmath>

using namespace ravelgrid;

namespace {

bool wholeDevicePixels(qreal logical, qreal scale)
{
    const qreal device = logical * scale;
    return std::abs(device - std::round(device)) < 1e-6;
}

qreal advanceOfW(const QRawFont& font)
{
    const auto glyphs = font.glyphIndexesForString(QStringLiteral("W"));
    return font.advancesForGlyphIndexes(glyphs).first().x();
}

}  // namespace

class CellMetricsTests : public QObject {
    Q_OBJECT

private slots:
    void cellSnapsToDevicePixels_data()
    {
        QTest::addColumn<qreal>("pointSize");
        QTest::addColumn<qreal>("scale");
        QTest::addColumn<qreal>("spacing");
        for (qreal size : {9.0, 13.0, 17.5}) {
            for (qreal scale : {1.0, 1.25, 1.5, 2.0}) {
                for (qreal spacing : {1.0, 1.5}) {
                    const QByteArray name = QByteArray::number(size) + "pt@" + QByteArray::number(scale) + "x/" +
                                            QByteArray::number(spacing);
                    QTest::newRow(name.constData()) << size << scale << spacing;
                }
            }
        }
    }

    // The cell must be whole device pixels at every ratio, the width the
    // nearest such to the advance, the height the line height rounded up.
    void cellSnapsToDevicePixels()
    {
        QFETCH(qreal, pointSize);
        QFETCH(qreal, scale);
        QFETCH(qreal, spacing);
        const FontSet fonts(FontSet::defaultFamily(), pointSize);
        const QRawFont& raw = fonts.rawNormal();
        const QSizeF cell = computeCellDimension(raw, spacing, scale);

        QVERIFY(wholeDevicePixels(cell.width(), scale));
        QVERIFY(wholeDevicePixels(cell.height(), scale));
        QVERIFY(std::abs(cell.width() * scale - advanceOfW(raw) * scale) <= 0.5 + 1e-9);

        const qreal lineHeight = std::ceil((raw.ascent() + raw.descent() + raw.leading()) * spacing);
        QVERIFY(cell.height() >= lineHeight - 1e-9);
        QVERIFY(cell.height() - lineHeight < 1.0 / scale);
    }

    // Sizes are points: 13 pt at 96 DPI is a 17.3-pixel em, and the cell is
    // as tall as Qt's own 13-point text of the same face.
    void sizesArePointsAtTheScreensDpi()
    {
        QCOMPARE(QGuiApplication::primaryScreen()->logicalDotsPerInchY(), 96.0);
        QCOMPARE(FontSet::pixelsPerPoint(), 96.0 / 72.0);
        for (qreal points : {9.0, 13.0, 28.0}) {
            const FontSet fonts(FontSet::defaultFamily(), points);
            QCOMPARE(fonts.pointSize(), points);
            QCOMPARE(fonts.rawNormal().pixelSize(), points * 96.0 / 72.0);
            QCOMPARE(fonts.normal().pointSizeF(), points);
            QFont reference(FontSet::defaultFamily());
            reference.setPointSizeF(points);
            const QFontMetricsF metrics(reference);
            // Qt sets its own text at whole pixels; ours keeps the fraction.
            QVERIFY2(std::abs(fonts.rawNormal().ascent() - metrics.ascent()) < 0.05 * metrics.ascent() + 0.5,
                     qPrintable(QString::number(fonts.rawNormal().ascent())));
            const QSizeF cell = computeCellDimension(fonts.rawNormal(), 1.0, 1.0);
            QVERIFY2(cell.height() >= std::floor(metrics.height()) && cell.height() <= std::ceil(metrics.height()) + 1,
                     qPrintable(QString::number(cell.height()) + " against " + QString::number(metrics.height())));
        }
        // A pixel-sized font keeps its pixels; nonsense sizes take the default.
        QFont pixels(FontSet::defaultFamily());
        pixels.setPixelSize(24);
        QCOMPARE(FontSet(pixels).pixelSize(), 24.0);
        QCOMPARE(FontSet(pixels).pointSize(), 18.0);
        QCOMPARE(FontSet(FontSet::defaultFamily(), std::nan("")).pointSize(), FontSet::defaultSize);
        QCOMPARE(FontSet(FontSet::defaultFamily(), 1e9).pixelSize(), 1024.0);
    }

    void cellLimits()
    {
        // No usable font: the smallest cell, not a division by zero later.
        QCOMPARE(computeCellDimension(QRawFont(), 1.0, 1.0), QSizeF(1, 1));
        // A nonsense ratio or spacing is treated as 1.
        const FontSet fonts(FontSet::defaultFamily(), 13);
        QCOMPARE(computeCellDimension(fonts.rawNormal(), 1.0, 0.0), computeCellDimension(fonts.rawNormal(), 1.0, 1.0));
        QCOMPARE(computeCellDimension(fonts.rawNormal(), -3.0, 1.0), computeCellDimension(fonts.rawNormal(), 1.0, 1.0));
        QCOMPARE(computeCellDimension(fonts.rawNormal(), std::nan(""), 2.0),
                 computeCellDimension(fonts.rawNormal(), 1.0, 2.0));
        // A huge line is held at 8192.
        const FontSet huge(FontSet::defaultFamily(), 1024);
        QCOMPARE(computeCellDimension(huge.rawNormal(), 20.0, 1.0).height(), 8192.0);
    }

    void gridFromSize_data()
    {
        QTest::addColumn<QSizeF>("size");
        QTest::addColumn<QSizeF>("cell");
        QTest::addColumn<qreal>("reserved");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("exact") << QSizeF(640, 450) << QSizeF(8, 18) << 0.0 << QSize(80, 25);
        QTest::newRow("fractions dropped") << QSizeF(647.9, 467.9) << QSizeF(8, 18) << 0.0 << QSize(80, 25);
        QTest::newRow("fractional cell") << QSizeF(100, 100) << QSizeF(8.8, 18.4) << 0.0 << QSize(11, 5);
        QTest::newRow("reserved width") << QSizeF(640, 450) << QSizeF(8, 18) << 15.0 << QSize(78, 25);
        QTest::newRow("zero width") << QSizeF(0, 450) << QSizeF(8, 18) << 0.0 << QSize(0, 25);
        QTest::newRow("reserved beyond width") << QSizeF(10, 450) << QSizeF(8, 18) << 15.0 << QSize(0, 25);
        QTest::newRow("negative") << QSizeF(-100, -5) << QSizeF(8, 18) << 0.0 << QSize(0, 0);
        QTest::newRow("absurd") << QSizeF(1e12, 1e12) << QSizeF(1, 1) << 0.0 << QSize(65535, 65535);
        QTest::newRow("empty cell") << QSizeF(640, 450) << QSizeF(0, 0) << 0.0 << QSize(0, 0);
    }

    void gridFromSize()
    {
        QFETCH(QSizeF, size);
        QFETCH(QSizeF, cell);
        QFETCH(qreal, reserved);
        QFETCH(QSize, expected);
        QCOMPARE(gridSizeFor(size, cell, reserved), expected);
    }

    void glyphSlotFitting()
    {
        const FontSet fonts(FontSet::defaultFamily(), 13);
        const QSizeF cell = computeCellDimension(fonts.rawNormal(), 1.0, 1.0);
        const quint32 w = fonts.rawNormal().glyphIndexesForString(QStringLiteral("W")).first();
        const qreal advance = advanceOfW(fonts.rawNormal());

        // One cell: never moved or scaled.
        const GlyphSlotFit one = glyphSlotFit(fonts.rawNormal(), w, 1, cell, fonts.rawNormal());
        QCOMPARE(one.scale, 1.0);
        QCOMPARE(one.dx, 0.0);

        // Narrower than two cells: centred, unscaled.
        const GlyphSlotFit two = glyphSlotFit(fonts.rawNormal(), w, 2, cell, fonts.rawNormal());
        QCOMPARE(two.scale, 1.0);
        QCOMPARE(two.dy, 0.0);
        QVERIFY(std::abs(two.dx - (2 * cell.width() - advance) / 2) < 1e-9);

        // Far too large for the slot: shrunk to fit, centred, never below 0.1.
        const FontSet big(FontSet::defaultFamily(), 60);
        const quint32 bigW = big.rawNormal().glyphIndexesForString(QStringLiteral("W")).first();
        const GlyphSlotFit shrunk = glyphSlotFit(big.rawNormal(), bigW, 2, cell, fonts.rawNormal());
        QVERIFY(shrunk.scale < 1.0 && shrunk.scale >= 0.1);
        const QRectF box = big.rawNormal().boundingRect(bigW);
        QVERIFY(box.width() * shrunk.scale <= 2 * cell.width() + 1e-6);
        QVERIFY(box.height() * shrunk.scale <= cell.height() + 1e-6);
        // The scaled box's centre sits on the slot's centre.
        const qreal baseline = cell.height() - baselineOffset(fonts.rawNormal());
        const qreal centre = baseline + shrunk.dy + box.center().y() * shrunk.scale;
        QVERIFY(std::abs(centre - cell.height() / 2) < 1e-6);

        const FontSet enormous(FontSet::defaultFamily(), 1000);
        const quint32 hugeW = enormous.rawNormal().glyphIndexesForString(QStringLiteral("W")).first();
        QCOMPARE(glyphSlotFit(enormous.rawNormal(), hugeW, 2, cell, fonts.rawNormal()).scale, 0.1);
    }

    void rowGeometry()
    {
        const GridGeometry geo(QSizeF(8, 18), QSizeF(100, 100), 4);
        QCOMPARE(geo.rowTop(0), 0.0);
        QCOMPARE(geo.baselineY(1), 36.0 - 4.0);
        QCOMPARE(geo.cellRect(2, 1, 2), QRectF(16, 18, 16, 18));
        // Half a row still names that whole row.
        QCOMPARE(geo.rowsIntersecting(QRectF(0, 20, 100, 5)), std::make_optional(std::make_pair(1, 1)));
        QCOMPARE(geo.rowsIntersecting(QRectF(0, 0, 100, 36)), std::make_optional(std::make_pair(0, 2)));
        QVERIFY(!geo.rowsIntersecting(QRectF()).has_value());
        QVERIFY(!geo.rowsIntersecting(QRectF(0, 1e300, 10, 1e300)).has_value());
        // 100 = 5 rows of 18 and a 10-pixel strip at the bottom.
        QCOMPARE(geo.bottomStrip(), QRectF(0, 90, 100, 10));
        // Five rows of 27 device pixels at 1.25: the strip is empty, not
        // the fifth row (fmod gives a remainder one rounding short of 21.6).
        const qreal cell = 27 / 1.25;
        const GridGeometry exact(QSizeF(10, cell), QSizeF(100, 135 / 1.25), 4);
        QCOMPARE(exact.bottomStrip().height(), 0.0);
        QVERIFY(exact.bottomStrip().top() >= exact.rowBottom(4) - 1e-9);
    }

    void invalidation()
    {
        const GridGeometry geo(QSizeF(8, 10), QSizeF(80, 55), 2);
        // Changed rows 1..2 of 5: those rows and one below.
        QCOMPARE(geo.invalidationRect(1, 2, 5, true), QRectF(0, 10, 80, 30));
        // The last row reaches the bottom edge, strip included.
        QCOMPARE(geo.invalidationRect(3, 4, 5, true), QRectF(0, 30, 80, 25));
        // Scrolled back: everything.
        QCOMPARE(geo.invalidationRect(1, 1, 5, false), QRectF(0, 0, 80, 55));
    }
};

QTEST_MAIN(CellMetricsTests)
#include "CellMetricsTests.moc"
