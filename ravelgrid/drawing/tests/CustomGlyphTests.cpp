// Decorations, block elements and box drawing, checked device pixel by
// device pixel at the scales a Linux desktop uses.
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/CustomGlyphs.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/drawing/LineDecorations.h"
#include "ravelgrid/screen/Buffer.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>
#include <set>

using namespace ravelgrid;
using C = Attribute::Color;

namespace {

const QColor nativeFg(200, 200, 200);
const QColor nativeBg(0, 0, 0);

struct Screen {
    static constexpr int cols = 16;
    static constexpr int rows = 5;
    Buffer buffer{cols, rows, 8, 100};
    Screen() { buffer.fillViewportRows(); }
    void put(int col, int row, char32_t ch, Attribute a = {}, int width = 1)
    {
        CharData c;
        c.code = int32_t(ch);
        c.width = int8_t(width);
        c.attribute = a;
        buffer.screenLine(row).set(col, c);
        if (width == 2) {
            CharData tail;
            tail.width = 0;
            tail.attribute = a;
            buffer.screenLine(row).set(col + 1, tail);
        }
    }
};

Attribute fgTrue(uint8_t r, uint8_t g, uint8_t b)
{
    Attribute a;
    a.fg = C::trueColor(r, g, b);
    return a;
}

Attribute underlined(UnderlineStyle style)
{
    Attribute a;
    a.style = CharacterStyle::underline;
    a.underlineStyle = style;
    return a;
}

struct Canvas {
    FramePainter painter;
    qreal scale;
    QSizeF cell;
    QImage image;

    explicit Canvas(qreal s, std::optional<QSizeF> cellSize = std::nullopt) : scale(s)
    {
        painter.colors().setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, i, i); });
        painter.colors().setNativeForeground(nativeFg);
        painter.colors().setNativeBackground(nativeBg);
        cell = cellSize.value_or(computeCellDimension(painter.fontSet().rawNormal(), 1.0, scale));
        painter.setCellSize(cell);
        const QSizeF view(Screen::cols * cell.width(), Screen::rows * cell.height());
        image = QImage(int(std::round(view.width() * scale)), int(std::round(view.height() * scale)),
                       QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::magenta);
    }
    QSizeF viewSize() const { return QSizeF(image.width() / scale, image.height() / scale); }
    void paint(Screen& screen, bool reverse = false)
    {
        FrameInput input;
        input.buffer = &screen.buffer;
        input.columns = Screen::cols;
        input.rows = Screen::rows;
        input.viewSize = viewSize();
        input.dirty = QRectF(QPointF(0, 0), viewSize());
        input.row.reverseColors = reverse;
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
    }
    int px(qreal logical) const { return int(std::lround(logical * scale)); }
    int cellX(int col) const { return px(col * cell.width()); }
    int cellY(int row) const { return px(row * cell.height()); }
    qreal baseline(int row) const
    {
        return GridGeometry(cell, viewSize(), baselineOffset(painter.fontSet().rawNormal())).baselineY(row);
    }
    bool inked(int x, int y, const QColor& bg = nativeBg) const { return image.pixelColor(x, y) != bg; }
    // Device rows of a device column that differ from the background, in [y0, y1).
    std::vector<int> inkedRows(int x, int y0, int y1, const QColor& bg = nativeBg) const
    {
        std::vector<int> rows;
        for (int y = y0; y < y1; ++y)
            if (inked(x, y, bg))
                rows.push_back(y);
        return rows;
    }
};

void addScales()
{
    QTest::addColumn<qreal>("scale");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("1.25x") << 1.25;
    QTest::newRow("1.5x") << 1.5;
    QTest::newRow("2x") << 2.0;
}

QImage blank(QSize devicePixels, qreal scale)
{
    QImage image(devicePixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::black);
    return image;
}

}  // namespace

class CustomGlyphTests : public QObject {
    Q_OBJECT

private slots:
    // --- decorations ---------------------------------------------------------------

    void underlineStyles_data() { addScales(); }
    void underlineStyles()
    {
        QFETCH(qreal, scale);
        Screen screen;
        for (int c = 0; c < 4; ++c) {
            screen.put(c, 0, ' ', underlined(UnderlineStyle::curly));
            screen.put(c, 1, ' ', underlined(UnderlineStyle::double_));
            screen.put(c, 2, ' ', underlined(UnderlineStyle::dotted));
            screen.put(c, 3, ' ', underlined(UnderlineStyle::dashed));
        }
        Canvas canvas(scale);
        canvas.paint(screen);
        const QRawFont& font = canvas.painter.fontSet().rawNormal();
        const qreal lw = std::max(0.5, roundHalfAwayFromZero(font.lineThickness() * scale) / scale);

        // Curly: the ink's top edge moves up and down across one cell.
        std::set<int> tops;
        for (int x = canvas.cellX(0); x < canvas.cellX(1); ++x) {
            const auto rows = canvas.inkedRows(x, canvas.cellY(0), canvas.cellY(1));
            if (!rows.empty())
                tops.insert(rows.front());
        }
        QVERIFY2(tops.size() >= 2, "a curly underline is a straight line");

        // Double: two lines, the second lw + 1 below the first.
        const auto rows = canvas.inkedRows(canvas.cellX(1) + 1, canvas.cellY(1), canvas.cellY(2));
        QVERIFY(!rows.empty());
        std::vector<int> starts{rows.front()};
        for (size_t i = 1; i < rows.size(); ++i)
            if (rows[i] != rows[i - 1] + 1)
                starts.push_back(rows[i]);
        QCOMPARE(starts.size(), size_t(2));
        QVERIFY(std::abs((starts[1] - starts[0]) - (lw + 1) * scale) <= 1.0);
        // Both lines stay inside the row, where the next row cannot cut them.
        QVERIFY(rows.back() < canvas.cellY(2));

        // Dotted and dashed: every cell starts with ink and has a gap.
        for (int row : {2, 3}) {
            const int y = canvas.inkedRows(canvas.cellX(0), canvas.cellY(row), canvas.cellY(row + 1)).at(0);
            for (int c = 0; c < 4; ++c) {
                QVERIFY2(canvas.inked(canvas.cellX(c), y), "the pattern does not restart at a cell edge");
                bool gap = false;
                for (int x = canvas.cellX(c); x < canvas.cellX(c + 1) && !gap; ++x)
                    gap = !canvas.inked(x, y);
                QVERIFY(gap);
            }
        }
    }

    // A wide cell's underline is one piece: its dots keep their spacing
    // across the second column instead of starting again there.
    void wideCellPatternRunsOn_data() { addScales(); }
    void wideCellPatternRunsOn()
    {
        QFETCH(qreal, scale);
        Screen screen;
        screen.put(0, 0, ' ', underlined(UnderlineStyle::dotted), 2);
        Canvas canvas(scale);
        canvas.paint(screen);
        const int y = canvas.inkedRows(canvas.cellX(0), canvas.cellY(0), canvas.cellY(1)).at(0);
        std::vector<int> starts;
        for (int x = canvas.cellX(0); x < canvas.cellX(2); ++x)
            if (canvas.inked(x, y) && (x == canvas.cellX(0) || !canvas.inked(x - 1, y)))
                starts.push_back(x);
        QVERIFY(starts.size() >= 4);
        for (size_t i = 2; i < starts.size(); ++i)
            QCOMPARE(starts[i] - starts[i - 1], starts[1] - starts[0]);
    }

    void underlineColourStrikeAndReverse_data() { addScales(); }
    void underlineColourStrikeAndReverse()
    {
        QFETCH(qreal, scale);
        Screen screen;
        Attribute red = underlined(UnderlineStyle::single);
        red.underlineColor = C::trueColor(255, 0, 0);
        screen.put(0, 0, ' ', red);
        Attribute strike;
        strike.style = CharacterStyle::crossedOut;
        strike.fg = C::trueColor(0, 255, 0);
        screen.put(0, 1, ' ', strike);
        screen.put(0, 2, ' ', underlined(UnderlineStyle::single));
        Canvas canvas(scale);
        canvas.paint(screen);

        // SGR 58 colours the line.
        const int x = canvas.cellX(0) + 1;
        const auto under = canvas.inkedRows(x, canvas.cellY(0), canvas.cellY(1));
        QVERIFY(!under.empty());
        for (int y : under)
            QCOMPARE(canvas.image.pixelColor(x, y), QColor(255, 0, 0));
        // At the font's underline position below the baseline.
        const QRawFont& normal = canvas.painter.fontSet().rawNormal();
        const qreal ulw = std::max(0.5, roundHalfAwayFromZero(normal.lineThickness() * scale) / scale);
        QVERIFY(std::abs(under.front() - (canvas.baseline(0) + normal.underlinePosition() - ulw / 2) * scale) <= 1.0);

        // SGR 9 strikes (xHeight + lw) / 2 above the baseline.
        const QRawFont& font = canvas.painter.fontSet().rawNormal();
        const qreal lw = std::max(0.5, roundHalfAwayFromZero(font.lineThickness() * scale) / scale);
        const qreal expected = (canvas.baseline(1) - (font.xHeight() + lw) / 2) * scale;
        const auto struck = canvas.inkedRows(x, canvas.cellY(1), canvas.cellY(2));
        QVERIFY(!struck.empty());
        QVERIFY(std::abs((struck.front() + struck.back() + 1) / 2.0 - expected) <= 1.0);
        QCOMPARE(canvas.image.pixelColor(x, struck.front()), QColor(0, 255, 0));

        // Reverse video with no underline colour: the native background.
        Canvas reversed(scale);
        reversed.paint(screen, true);
        const auto line = reversed.inkedRows(x, reversed.cellY(2), reversed.cellY(3), nativeFg);
        QVERIFY(!line.empty());
        QCOMPARE(reversed.image.pixelColor(x, line.front()), nativeBg);
    }

    void thinLineIsOneDevicePixel()
    {
        // At scale 2 a thickness of 0.6 rounds to half a point: one device pixel.
        QImage image = blank(QSize(40, 40), 2.0);
        CellStyle style;
        style.underlineStyle = UnderlineStyle::single;
        style.underlineColor = Qt::white;
        DecorationMetrics m;
        m.underlinePosition = 2;
        m.underlineThickness = 0.6;
        m.cellWidth = 8;
        m.scale = 2.0;
        const DecorationPiece at{QPointF(2, 10)};
        QPainter p(&image);
        drawRunDecorations(p, style, std::span<const DecorationPiece>(&at, 1), m, StrikeMetrics{});
        p.end();
        int rows = 0;
        for (int y = 0; y < 40; ++y)
            rows += image.pixelColor(10, y) == Qt::white ? 1 : 0;
        QCOMPARE(rows, 1);
    }

    // --- the row builder's side lists -------------------------------------------------

    void rowBuilderCollectsShapesAndPlaceholders()
    {
        ColorResolver colors;
        colors.setPaletteLookup([](uint8_t i) { return Color::fromRgb8(i, i, i); });
        colors.setNativeForeground(nativeFg);
        colors.setNativeBackground(nativeBg);
        CellAttributes attributes(colors);
        BufferLine line(12);
        auto put = [&](int col, char32_t ch, Attribute a = {}) {
            CharData c;
            c.code = int32_t(ch);
            c.width = 1;
            c.attribute = a;
            line.set(col, c);
        };
        Attribute image;
        image.fg = C::ansi256(5);  // a placeholder's image id
        put(0, 'a');
        put(1, U'\u2500', fgTrue(0, 255, 0));
        put(2, 'b');
        put(3, U'\u2588');
        put(4, U'\uE0B0');
        put(5, U'\uE0B1');  // the thin separator stays text
        put(6, U'\U0010EEEE', image);
        put(7, U'\U0010EEEE', image);  // no marks: the next column of the same row
        Attribute concealed;
        concealed.style = CharacterStyle::invisible;
        put(8, U'\u2502', concealed);

        RowContext context;
        context.selectedColumns = [](int) { return std::optional(std::pair{3, 4}); };
        context.selectedForeground = QColor(251, 252, 253);
        context.selectedBackground = QColor(9, 9, 9);
        RowLayout layout;
        buildRow(line, 12, 0, context, attributes, layout);
        QCOMPARE(layout.boxItems.size(), size_t(1));
        QCOMPARE(layout.boxItems[0].column, 1);
        QCOMPARE(layout.boxItems[0].foregroundColor, QColor(0, 255, 0));
        QCOMPARE(layout.blockItems.size(), size_t(1));
        QCOMPARE(layout.blockItems[0].column, 3);
        QCOMPARE(layout.blockItems[0].rects.size(), size_t(1));
        // A selected shape takes the selection's text colour.
        QCOMPARE(layout.blockItems[0].foregroundColor, QColor(251, 252, 253));
        QCOMPARE(layout.powerlineItems.size(), size_t(1));
        QCOMPARE(layout.powerlineItems[0].codePoint, char32_t(0xE0B0));
        QCOMPARE(layout.placeholderRuns.size(), size_t(1));
        const KittyPlaceholderRun run = layout.placeholderRuns[0];
        QCOMPARE(run.column, 6);
        QCOMPARE(run.width, 2);
        QCOMPARE(run.imageId, uint32_t(5));
        QCOMPARE(run.col, 0);
        // Shapes and placeholders draw no text; the thin separator and a
        // concealed line do not become shapes.
        QVERIFY(layout.cells[1].custom);
        QCOMPARE(layout.cells[1].code, 0);
        QCOMPARE(layout.cells[5].code, int32_t(0xE0B1));
        QVERIFY(!layout.cells[8].custom);
        QVERIFY(layout.cells[8].hidden);
        // Letters on either side of a shape still draw.
        QCOMPARE(layout.cells[0].code, int32_t('a'));
        QCOMPARE(layout.cells[2].code, int32_t('b'));

        // Without custom glyphs every one is text.
        context.customBlockGlyphs = false;
        buildRow(line, 12, 0, context, attributes, layout);
        QVERIFY(layout.boxItems.empty() && layout.blockItems.empty() && layout.powerlineItems.empty());
        QCOMPARE(layout.cells[4].code, int32_t(0xE0B0));
        QCOMPARE(layout.placeholderRuns.size(), size_t(1));
    }

    // --- block elements -----------------------------------------------------------

    void fullBlockAndEighthAtScale2()
    {
        Canvas canvas(2.0, QSizeF(7.5, 17));
        Screen screen;
        screen.put(0, 0, U'\u2588', fgTrue(255, 0, 0));
        screen.put(2, 0, U'\u258F', fgTrue(255, 0, 0));
        canvas.paint(screen);
        // 7.5 x 17 points are exactly 15 x 34 device pixels.
        for (int y = 0; y < 34; ++y)
            for (int x = 0; x < 15; ++x)
                QCOMPARE(canvas.image.pixelColor(x, y), QColor(255, 0, 0));
        QCOMPARE(canvas.image.pixelColor(15, 5), nativeBg);
        QCOMPARE(canvas.image.pixelColor(5, 34), nativeBg);
        // An eighth of 7.5 points is 1.875 device pixels: snapped outward to 2.
        QCOMPARE(canvas.image.pixelColor(30, 10), QColor(255, 0, 0));
        QCOMPARE(canvas.image.pixelColor(31, 10), QColor(255, 0, 0));
        QCOMPARE(canvas.image.pixelColor(32, 10), nativeBg);

        // Anti-aliased, the eighth keeps its exact width: its second device
        // pixel is only partly covered.
        Canvas smooth(2.0, QSizeF(7.5, 17));
        smooth.painter.setAntiAliasCustomBlockGlyphs(true);
        smooth.paint(screen);
        QCOMPARE(smooth.image.pixelColor(30, 10), QColor(255, 0, 0));
        const QColor edge = smooth.image.pixelColor(31, 10);
        QVERIFY(edge.red() > 150 && edge.red() < 250);
        QCOMPARE(smooth.image.pixelColor(32, 10), nativeBg);
    }

    void blockShapes_data() { addScales(); }
    void blockShapes()
    {
        QFETCH(qreal, scale);
        Canvas canvas(scale);
        Screen screen;
        screen.put(0, 0, U'\u2584', fgTrue(255, 0, 0));
        screen.put(2, 0, U'\u2590', fgTrue(255, 0, 0), 2);
        for (int c = 0; c < 10; ++c)
            screen.put(c, 1, U'\u2588', fgTrue(0, 0, 255));
        canvas.paint(screen);
        const QColor red(255, 0, 0);
        // The lower half block inks the lower half only.
        // Half of a cell may fall inside a device pixel: snapped outward.
        const int mid = int(std::floor(canvas.cell.height() * scale / 2));
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(0) + 1, mid - 1), nativeBg);
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(0) + 1, mid), red);
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(0) + 1, canvas.cellY(1) - 1), red);
        // A wide right half fills the right half of both columns.
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(2) + 1, mid), nativeBg);
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(3) + 1, mid), red);
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(4) - 1, mid), red);
        // Ten full blocks: no seam, no lighter column.
        const int y = canvas.cellY(1) + canvas.px(canvas.cell.height() / 2);
        for (int x = 0; x < canvas.cellX(10); ++x)
            QCOMPARE(canvas.image.pixelColor(x, y), QColor(0, 0, 255));
    }

    void shadeBlendsWithTheColoursAlpha_data() { addScales(); }
    void shadeBlendsWithTheColoursAlpha()
    {
        QFETCH(qreal, scale);
        QImage image = blank(QSize(40, 80), scale);
        const BlockElementRenderItem item{0, 1, U'\u2592', blockElementRects(U'\u2592'), QColor(255, 0, 0, 204)};
        QPainter p(&image);
        drawBlockElementItems(p, std::span(&item, 1), CustomGlyphCell{QSizeF(8, 17), scale, 0}, false);
        p.end();
        // Medium shade at alpha 0.8: 0.4 of red over black, evenly, and
        // nothing past the cell's last device pixel.
        const int right = int(std::ceil(8 * scale)) - 1;
        const int bottom = int(std::ceil(17 * scale)) - 1;
        for (QPoint at : {QPoint(0, 0), QPoint(right, bottom), QPoint(right / 2, bottom / 2)})
            QVERIFY(std::abs(image.pixelColor(at).red() - 102) <= 2);
        QCOMPARE(image.pixelColor(right + 1, 8), QColor(Qt::black));
        QCOMPARE(image.pixelColor(2, bottom + 1), QColor(Qt::black));
        QVERIFY(blockElementRects(U'\u257F').empty());
        QVERIFY(blockElementRects(U'\u25A0').empty());
        QCOMPARE(blockElementRects(U'\u2599').size(), size_t(3));
    }

    // --- box drawing ---------------------------------------------------------------

    void boxArmsAndDashesInDevicePixels()
    {
        // Scale 2, a 16 x 34 pixel cell, weight 2: light 2, heavy 4.
        auto paint = [](char32_t cp, QSizeF cell = QSizeF(8, 17)) {
            QImage image = blank(QSize(int(cell.width() * 2), int(cell.height() * 2)), 2.0);
            QPainter p(&image);
            paintBlockOrBoxGlyph(p, cp, Qt::white, 2, QPointF(0, 0), cell, 2.0);
            p.end();
            return image;
        };
        auto rowsInked = [](const QImage& image, int x) {
            std::vector<int> rows;
            for (int y = 0; y < image.height(); ++y)
                if (image.pixelColor(x, y) == Qt::white)
                    rows.push_back(y);
            return rows;
        };
        auto columnsInked = [](const QImage& image, int y) {
            std::vector<int> cols;
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) == Qt::white)
                    cols.push_back(x);
            return cols;
        };
        const QImage light = paint(U'\u2500');
        for (int x = 0; x < 16; ++x)
            QCOMPARE(rowsInked(light, x), (std::vector<int>{16, 17}));
        const QImage heavy = paint(U'\u2501');
        for (int x = 0; x < 16; ++x)
            QCOMPARE(rowsInked(heavy, x), (std::vector<int>{15, 16, 17, 18}));
        // Triple dash: gap 2, dashes of 4, 3 and 3 starting at 1, 7 and 12.
        QCOMPARE(columnsInked(paint(U'\u2504'), 16), (std::vector<int>{1, 2, 3, 4, 7, 8, 9, 12, 13, 14}));
        // Vertical triple dash in 34 pixels: gap 4, dashes at 0, 12 and 23.
        std::vector<int> expected;
        for (auto [from, length] : {std::pair{0, 8}, {12, 7}, {23, 7}})
            for (int y = from; y < from + length; ++y)
                expected.push_back(y);
        QCOMPARE(rowsInked(paint(U'\u2506'), 7), expected);
        // Five pixels cannot hold three dashes: a solid line.
        QCOMPARE(columnsInked(paint(U'\u2504', QSizeF(2.5, 17)), 16), (std::vector<int>{0, 1, 2, 3, 4}));

        // Double down and right: two nested corners. The outer one runs along
        // row 14 and column 5, the inner one along row 18 and column 9.
        const QImage corner = paint(U'\u2554');
        auto white = [&](int x, int y) { return corner.pixelColor(x, y) == Qt::white; };
        QVERIFY(white(5, 14) && white(15, 14) && white(5, 33));
        QVERIFY(white(9, 18) && white(15, 18) && white(9, 33));
        QVERIFY(!white(7, 18) && !white(8, 16) && !white(7, 25) && !white(4, 14) && !white(5, 13));

        // Rounded corner: a ring of radii 3.8 to 5.8 around (12.8, 21.8).
        const QImage arc = paint(U'\u256D');
        const QPointF centre(12.8, 21.8);
        auto at = [&](qreal radius) {
            const QPointF p = centre - QPointF(radius, radius) / std::sqrt(2.0);
            return arc.pixelColor(int(p.x()), int(p.y()));
        };
        QCOMPARE(at(4.8).red(), 255);
        QCOMPARE(at(2.0), QColor(Qt::black));
        QCOMPARE(at(8.0), QColor(Qt::black));
        // Its straight stubs run on to the cell edges.
        QCOMPARE(rowsInked(arc, 15), (std::vector<int>{16, 17}));
        QVERIFY(!columnsInked(arc, 33).empty());
    }

    void linesKeepOneThicknessAcrossCells_data() { addScales(); }
    void linesKeepOneThicknessAcrossCells()
    {
        QFETCH(qreal, scale);
        Canvas canvas(scale);
        Screen screen;
        for (int c = 0; c < 8; ++c)
            screen.put(c, 0, U'\u2500', fgTrue(255, 255, 255));
        for (int r = 1; r < 5; ++r)
            screen.put(10, r, U'\u2502', fgTrue(255, 255, 255));
        screen.put(0, 2, U'\u250C', fgTrue(255, 255, 255));
        screen.put(1, 2, U'\u2500', fgTrue(255, 255, 255));
        canvas.paint(screen);
        const std::vector<int> first = canvas.inkedRows(0, 0, canvas.cellY(1));
        QVERIFY(!first.empty());
        for (int x = 0; x < canvas.cellX(8); ++x)
            QCOMPARE(canvas.inkedRows(x, 0, canvas.cellY(1)), first);
        auto inkedColumns = [&](int y) {
            std::vector<int> cols;
            for (int x = canvas.cellX(10); x < canvas.cellX(11); ++x)
                if (canvas.inked(x, y))
                    cols.push_back(x);
            return cols;
        };
        const std::vector<int> column = inkedColumns(canvas.cellY(1));
        QCOMPARE(column.size(), first.size());
        for (int y = canvas.cellY(1); y < canvas.cellY(5); ++y)
            QCOMPARE(inkedColumns(y), column);
        // A corner's arm meets the next cell's line on the same rows.
        const auto cornerRows = canvas.inkedRows(canvas.cellX(1) - 1, canvas.cellY(2), canvas.cellY(3));
        QCOMPARE(cornerRows, canvas.inkedRows(canvas.cellX(1), canvas.cellY(2), canvas.cellY(3)));
    }

    void powerlineArrowIsSolid_data() { addScales(); }
    void powerlineArrowIsSolid()
    {
        QFETCH(qreal, scale);
        Canvas canvas(scale);
        Screen screen;
        Attribute a = fgTrue(0, 0, 255);
        screen.put(2, 0, U'\uE0B0', a);
        screen.put(5, 0, U'\uE0B1', a);  // the thin one stays text
        canvas.paint(screen);
        const int midY = canvas.px(canvas.cell.height() / 2);
        // Solid along the base (its corners are anti-aliased) and at the tip.
        for (int y = canvas.cellY(1) / 4; y < canvas.cellY(1) * 3 / 4; ++y)
            QCOMPARE(canvas.image.pixelColor(canvas.cellX(2), y), QColor(0, 0, 255));
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(3) - 2, midY), QColor(0, 0, 255));
        // The seam column just left of the base.
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(2) - 1, midY), QColor(0, 0, 255));
        // Away from the tip it is clear.
        QCOMPARE(canvas.image.pixelColor(canvas.cellX(3) - 1, 0), nativeBg);
    }
};

QTEST_MAIN(CustomGlyphTests)
#include "CustomGlyphTests.moc"
