#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FallbackFonts.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/screen/Buffer.h"

#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>
#include <optional>

using namespace ravelgrid;

namespace {

constexpr int32_t fathaBeh = CharData::firstClusterCode;  // Beh with a fatha, as the terminal interns it

struct Screen {
    static constexpr int cols = 10;
    static constexpr int rows = 3;

    Buffer buffer;

    explicit Screen(bool boxMirroring = false)
        : buffer(cols, rows, 8, 0,
                 BidiPresentationState{BidiSupportMode::implicit, true, BidiDirection::leftToRight, boxMirroring})
    {
        buffer.fillViewportRows();
    }

    void put(int row, std::u32string_view text)
    {
        int col = 0;
        for (char32_t c : text) {
            CharData cell;
            cell.code = c == U'@' ? fathaBeh : int32_t(c);
            buffer.screenLine(row).set(col++, cell);
        }
    }

    RowContext context(bool bidi = true) const
    {
        RowContext c;
        c.bidi = bidi;
        c.clusterText = [](int32_t code) { return code == fathaBeh ? QStringLiteral("\u0628\u064E") : QString(); };
        c.clusterScalars = [](int32_t code) {
            return code == fathaBeh ? std::u32string(U"\u0628\u064E") : std::u32string();
        };
        return c;
    }

    const BidiRowLayout* layout(int row, TerminalBidi::Paragraph& holder)
    {
        holder = TerminalBidi::rowLayout(row, buffer, cols, 500, context().clusterScalars);
        return holder ? holder->row(row) : nullptr;
    }
};

struct Canvas {
    FramePainter painter;
    QSizeF cell;
    QImage image;

    Canvas()
    {
        painter.colors().setNativeForeground(QColor(220, 220, 220));
        painter.colors().setNativeBackground(QColor(0, 0, 0));
        cell = computeCellDimension(painter.fontSet().rawNormal(), 1.0, 1.0);
        painter.setCellSize(cell);
        image = QImage(int(std::ceil(Screen::cols * cell.width())), int(std::ceil(Screen::rows * cell.height())),
                       QImage::Format_RGB32);
    }

    void paint(Screen& screen, bool bidi)
    {
        image.fill(Qt::black);
        FrameInput input;
        input.buffer = &screen.buffer;
        input.columns = Screen::cols;
        input.rows = Screen::rows;
        input.viewSize = QSizeF(image.size());
        input.dirty = QRectF(QPointF(0, 0), input.viewSize);
        input.row = screen.context(bidi);
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
    }

    bool inkIn(int col, int row) const
    {
        const int x0 = int(std::ceil(col * cell.width()));
        const int x1 = int((col + 1) * cell.width());
        const int y0 = int(std::ceil(row * cell.height()));
        const int y1 = int((row + 1) * cell.height());
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if ((image.pixel(x, y) & 0xffffff) != 0)
                    return true;
        return false;
    }

    // Columns of a row that hold ink.
    std::vector<int> inkedColumns(int row) const
    {
        std::vector<int> cols;
        for (int c = 0; c < Screen::cols; ++c)
            if (inkIn(c, row))
                cols.push_back(c);
        return cols;
    }
};

}  // namespace

class BidiRowTests : public QObject {
    Q_OBJECT

private slots:
    void init() { TerminalBidi::clearCaches(); }

    void cellsAreVisitedInVisualOrderWithTheirDisplayTexts()
    {
        Screen s;
        s.put(0, U"א(ב)");
        TerminalBidi::Paragraph holder;
        const BidiRowLayout* bidi = s.layout(0, holder);
        QVERIFY(bidi);
        ColorResolver colors;
        CellAttributes attributes(colors);
        RowContext context = s.context();
        // Logical column 0 (the Alef) is selected: it shows in visual column 9.
        context.selectedColumns = [](int) { return std::optional<std::pair<int, int>>({0, 1}); };
        RowLayout layout;
        buildRow(s.buffer.screenLine(0), Screen::cols, 0, context, attributes, layout, bidi);
        std::vector<int> columns, logical;
        std::u32string codes;
        for (const RowCell& cell : layout.cells) {
            if (cell.code == 0)
                continue;
            columns.push_back(cell.column);
            logical.push_back(cell.logicalColumn);
            codes.push_back(char32_t(cell.code));
        }
        QCOMPARE(columns, (std::vector<int>{6, 7, 8, 9}));
        QCOMPARE(logical, (std::vector<int>{3, 2, 1, 0}));
        QVERIFY(codes == U"(ב)א");  // both brackets mirrored
        QVERIFY(!layout.runs.empty());
        QCOMPARE(layout.runs.back().beginColumn, 9);
        QVERIFY(layout.runs.back().selected);
        for (size_t i = 0; i + 1 < layout.runs.size(); ++i)
            QVERIFY(!layout.runs[i].selected);

        // Without a layout the same row is drawn as stored.
        buildRow(s.buffer.screenLine(0), Screen::cols, 0, context, attributes, layout);
        QCOMPARE(layout.cells.front().column, 0);
        QCOMPARE(layout.cells.front().code, int32_t(U'א'));
        QVERIFY(layout.runs.front().selected);
    }

    void shapedLettersKeepTheirMarksAndMirroredBoxesArePainted()
    {
        Screen s(true);
        s.put(0, U"@ب┌");
        TerminalBidi::Paragraph holder;
        const BidiRowLayout* bidi = s.layout(0, holder);
        QVERIFY(bidi);
        ColorResolver colors;
        CellAttributes attributes(colors);
        RowLayout layout;
        buildRow(s.buffer.screenLine(0), Screen::cols, 0, s.context(), attributes, layout, bidi);
        const RowCell* first = nullptr;
        const RowCell* second = nullptr;
        for (const RowCell& cell : layout.cells) {
            if (cell.logicalColumn == 0)
                first = &cell;
            if (cell.logicalColumn == 1)
                second = &cell;
        }
        QVERIFY(first && second);
        QCOMPARE(first->column, 9);
        QCOMPARE(first->code, 0xFE91);
        QCOMPARE(first->display, QStringLiteral("\uFE91\u064E"));
        QCOMPARE(second->code, 0xFE90);
        QVERIFY(second->display.isEmpty());
        // The box corner is mirrored and still painted as a shape, at its visual place.
        QCOMPARE(layout.boxItems.size(), size_t(1));
        QCOMPARE(int(layout.boxItems[0].codePoint), 0x2510);
        QCOMPARE(layout.boxItems[0].column, 7);
    }

    void rightToLeftInkLiesInTheRightmostCells()
    {
        Screen s;
        s.put(0, U"שלום");
        s.put(1, U"مرحبا");
        s.put(2, U"abc");
        Canvas canvas;
        canvas.paint(s, true);
        // A glyph from a proportional fallback font may reach a pixel into
        // its left neighbour; the cells further left stay blank.
        for (int row = 0; row < 2; ++row) {
            const std::vector<int> inked = canvas.inkedColumns(row);
            QVERIFY2(!inked.empty(), qPrintable(QString("row %1").arg(row)));
            const int textCells = row == 0 ? 4 : 5;
            QVERIFY2(inked.front() >= Screen::cols - textCells - 1, qPrintable(QString("row %1").arg(row)));
            QVERIFY(canvas.inkIn(Screen::cols - 1, row));
        }
        QCOMPARE(canvas.inkedColumns(2).front(), 0);

        // Drawn as stored, the same rows start at the left.
        canvas.paint(s, false);
        QCOMPARE(canvas.inkedColumns(0).front(), 0);
        QVERIFY(!canvas.inkIn(Screen::cols - 1, 0));
    }

    void fallbackFontsFollowTheSetNotItsAddress()
    {
        std::optional<FontSet> slot;
        slot.emplace(FontSet::defaultFamily(), 13.0);
        const FontSet* address = &*slot;
        const uint64_t firstId = slot->faceId(FontFace::normal);
        const QRawFont small = FallbackFonts::fallbackFont(0xFE91, slot->rawNormal(), firstId);
        QVERIFY(small.supportsCharacter(0xFE91u));
        QCOMPARE(small.pixelSize(), slot->pixelSize());

        slot.emplace(FontSet::defaultFamily(), 30.0);
        QCOMPARE(&*slot, address);
        QVERIFY(slot->faceId(FontFace::normal) != firstId);
        const QRawFont large = FallbackFonts::fallbackFont(0xFE91, slot->rawNormal(), slot->faceId(FontFace::normal));
        QCOMPARE(large.pixelSize(), slot->pixelSize());
        QVERIFY(large.pixelSize() > small.pixelSize() * 2);
    }
};

QTEST_MAIN(BidiRowTests)
#include "BidiRowTests.moc"
