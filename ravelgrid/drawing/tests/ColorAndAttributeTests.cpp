#include "ravelgrid/drawing/CellAttributes.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/drawing/RowBuilder.h"
#include "ravelgrid/screen/BufferLine.h"

#include <QtTest>

using namespace ravelgrid;
using C = Attribute::Color;

namespace {

// Palette entry i is (i, 255 - i, 7) in 8-bit terms: easy to tell apart.
Color paletteEntry(uint8_t i)
{
    return Color::fromRgb8(i, 255 - i, 7);
}

QColor expectedPalette(int i)
{
    return QColor(i, 255 - i, 7);
}

void usePalette(ColorResolver& r)
{
    r.setPaletteLookup(paletteEntry);
}

Attribute attr(C fg, C bg, CharacterStyle style = CharacterStyle::none)
{
    Attribute a;
    a.fg = fg;
    a.bg = bg;
    a.style = style;
    return a;
}

}  // namespace

class ColorAndAttributeTests : public QObject {
    Q_OBJECT

private slots:
    void conversionsAreExact()
    {
        for (Color c : {Color(0, 0, 0), Color(35389, 35389, 35389), Color(65535, 1, 32768), Color(12345, 54321, 999)})
            QCOMPARE(qColorToColor(colorToQColor(c)), c);
        QCOMPARE(blendColors(QColor(200, 100, 0), QColor(0, 0, 0)), QColor(100, 50, 0));
    }

    void paletteIndices_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("bright");
        QTest::addColumn<int>("expected");
        QTest::newRow("bold 3 brightens") << 3 << true << true << 11;
        QTest::newRow("bold 7 stays") << 7 << true << true << 7;
        QTest::newRow("bold 0 brightens") << 0 << true << true << 8;
        QTest::newRow("plain 3 stays") << 3 << false << true << 3;
        QTest::newRow("bold 200 stays") << 200 << true << true << 200;
        QTest::newRow("no bright: 9 dims") << 9 << false << false << 1;
        QTest::newRow("no bright: 15 dims") << 15 << true << false << 7;
        QTest::newRow("no bright: 200 stays") << 200 << false << false << 200;
    }

    void paletteIndices()
    {
        QFETCH(int, index);
        QFETCH(bool, bold);
        QFETCH(bool, bright);
        QFETCH(int, expected);
        ColorResolver r;
        usePalette(r);
        QCOMPARE(r.resolveColor(C::ansi256(uint8_t(index)), true, bold, bright, false), expectedPalette(expected));
    }

    void paletteCacheFollowsResets()
    {
        uint8_t shift = 0;
        ColorResolver r;
        r.setPaletteLookup([&](uint8_t i) { return paletteEntry(uint8_t(i + shift)); });
        QCOMPARE(r.resolveColor(C::ansi256(5), false, false, true, false), expectedPalette(5));
        shift = 1;
        // Still the cached conversion until the entry is reset.
        QCOMPARE(r.resolveColor(C::ansi256(5), false, false, true, false), expectedPalette(5));
        r.resetPaletteEntry(5);
        QCOMPARE(r.resolveColor(C::ansi256(5), false, false, true, false), expectedPalette(6));
        const uint64_t generation = r.generation();
        r.resetPaletteEntry(300);  // out of range: ignored
        r.resetPaletteEntry(-1);
        QCOMPARE(r.generation(), generation);
    }

    void trueColourCacheIsBounded()
    {
        ColorResolver r;
        for (int i = 0; i < 4096; ++i)
            r.resolveColor(C::trueColor(uint8_t(i), uint8_t(i >> 8), 1), true, false, true, false);
        QCOMPARE(r.trueColorCount(), size_t(4096));
        // The 4097th distinct colour empties the cache before it is stored.
        QCOMPARE(r.resolveColor(C::trueColor(1, 2, 3), true, false, true, false), QColor(1, 2, 3));
        QCOMPARE(r.trueColorCount(), size_t(1));
    }

    void defaultsUnderReverseVideo()
    {
        ColorResolver r;
        r.setNativeForeground(QColor(200, 200, 200));
        r.setNativeBackground(QColor(10, 10, 10));
        QCOMPARE(r.resolveColor(C::defaultColor(), true, false, true, false), QColor(200, 200, 200));
        QCOMPARE(r.resolveColor(C::defaultColor(), false, false, true, false), QColor(10, 10, 10));
        QCOMPARE(r.resolveColor(C::defaultColor(), false, false, true, true), QColor(200, 200, 200));
        QCOMPARE(r.resolveColor(C::defaultInvertedColor(), true, false, true, false), QColor(10, 10, 10));
        QCOMPARE(r.resolveColor(C::defaultInvertedColor(), false, false, true, true), QColor(10, 10, 10));
        // The inverted default is opaque even when the native colour is not.
        r.setNativeBackground(QColor(10, 10, 10, 40));
        QCOMPARE(r.resolveColor(C::defaultInvertedColor(), true, false, true, false).alpha(), 255);
    }

    void inverseOfDefaults()
    {
        ColorResolver r;
        r.setNativeForeground(QColor(200, 200, 200));
        r.setNativeBackground(QColor(10, 10, 10));
        CellAttributes a(r);
        const CellStyle& s =
            a.attributesForCell(attr(C::defaultColor(), C::defaultColor(), CharacterStyle::inverse), false, false);
        QCOMPARE(s.foreground, QColor(10, 10, 10));
        QCOMPARE(s.background, QColor(200, 200, 200));
    }

    void faces()
    {
        ColorResolver r;
        usePalette(r);
        CellAttributes a(r);
        QCOMPARE(a.attributesForCell(attr(C::ansi256(9), C::defaultColor()), false, false).face, FontFace::normal);
        QCOMPARE(a.attributesForCell(
                      attr(C::defaultColor(), C::defaultColor(), CharacterStyle::bold | CharacterStyle::italic), false,
                      false)
                     .face,
                 FontFace::boldItalic);
        // Without bright colours, bright palette text is told apart by boldness.
        a.setUseBrightColors(false);
        const CellStyle& bright = a.attributesForCell(attr(C::ansi256(9), C::defaultColor()), false, false);
        QCOMPARE(bright.face, FontFace::bold);
        QCOMPARE(bright.foreground, expectedPalette(1));
        QCOMPARE(a.attributesForCell(attr(C::ansi256(200), C::defaultColor()), false, false).face, FontFace::normal);
        QCOMPARE(
            a.attributesForCell(attr(C::ansi256(12), C::defaultColor(), CharacterStyle::italic), false, false).face,
            FontFace::boldItalic);
    }

    void decorations()
    {
        ColorResolver r;
        usePalette(r);
        r.setNativeBackground(QColor(0, 0, 0));
        CellAttributes a(r);
        // Underline without a style or colour: single, in the (dimmed) text colour.
        Attribute u =
            attr(C::trueColor(200, 100, 50), C::defaultColor(), CharacterStyle::underline | CharacterStyle::dim);
        const CellStyle su = a.attributesForCell(u, false, false);
        QCOMPARE(su.underlineStyle, UnderlineStyle::single);
        QCOMPARE(su.foreground, QColor(100, 50, 25));
        QCOMPARE(su.underlineColor, su.foreground);
        // A link keeps the link look whatever the cell's own underline.
        Attribute d = attr(C::defaultColor(), C::defaultColor(), CharacterStyle::underline);
        d.underlineStyle = UnderlineStyle::double_;
        d.underlineColor = C::ansi256(4);
        QCOMPARE(a.attributesForCell(d, false, false).underlineColor, expectedPalette(4));
        QCOMPARE(a.attributesForCell(d, true, false).underlineStyle, UnderlineStyle::dashed);
        QCOMPARE(a.attributesForCell(d, false, false).underlineStyle, UnderlineStyle::double_);
        const CellStyle strike =
            a.attributesForCell(attr(C::ansi256(2), C::defaultColor(), CharacterStyle::crossedOut), false, false);
        QVERIFY(strike.strikethrough);
        QCOMPARE(strike.strikethroughColor, expectedPalette(2));
        QVERIFY(!a.attributesForCell(attr(C::ansi256(2), C::defaultColor()), false, false).hasDecorations());
    }

    void cacheStartsOverWhenColoursChange()
    {
        ColorResolver r;
        r.setNativeForeground(QColor(1, 2, 3));
        CellAttributes a(r);
        const Attribute plain = attr(C::defaultColor(), C::defaultColor());
        QCOMPARE(a.attributesForCell(plain, false, false).foreground, QColor(1, 2, 3));
        r.setNativeForeground(QColor(4, 5, 6));
        QCOMPARE(a.attributesForCell(plain, false, false).foreground, QColor(4, 5, 6));
        // Reverse video changes what the defaults mean.
        QCOMPARE(a.attributesForCell(plain, false, true).foreground, r.nativeBackground());
    }

    void attributeCacheIsBounded()
    {
        ColorResolver r;
        CellAttributes a(r);
        for (int i = 0; i < 4096; ++i)
            a.attributesForCell(attr(C::trueColor(uint8_t(i), uint8_t(i >> 8), 0), C::defaultColor()), false, false);
        QCOMPARE(a.cachedCount(false), size_t(4096));
        a.attributesForCell(attr(C::trueColor(1, 1, 1), C::trueColor(2, 2, 2)), false, false);
        QCOMPARE(a.cachedCount(false), size_t(1));
        QCOMPARE(a.cachedCount(true), size_t(0));
    }

    void rowRuns()
    {
        ColorResolver r;
        usePalette(r);
        CellAttributes a(r);
        BufferLine line(10);
        auto put = [&](int col, char32_t ch, Attribute at, int width = 1) {
            CharData c;
            c.code = int32_t(ch);
            c.width = int8_t(width);
            c.attribute = at;
            line.set(col, c);
        };
        const Attribute red = attr(C::ansi256(1), C::defaultColor());
        const Attribute blue = attr(C::ansi256(4), C::ansi256(0));
        put(0, 'a', red);
        put(1, 'b', red);
        put(2, U'\u4E00', blue, 2);
        CharData tail;
        tail.width = 0;
        tail.attribute = blue;
        line.set(3, tail);
        put(4, 'c', blue);
        put(5, 'd', attr(C::ansi256(1), C::defaultColor(), CharacterStyle::blink));
        put(6, 'e', attr(C::ansi256(1), C::defaultColor(), CharacterStyle::invisible));

        RowContext context;
        context.textBlinkVisible = false;
        RowLayout layout;
        buildRow(line, 10, 0, context, a, layout);

        // The second column of the wide character is covered, not drawn.
        QCOMPARE(layout.cells.size(), size_t(9));
        QCOMPARE(layout.cells[2].width, 2);
        QCOMPARE(layout.cells[3].column, 4);
        // a b | wide c | blink | invisible | blanks
        QCOMPARE(layout.runs.size(), size_t(5));
        QCOMPARE(layout.runs[0].cellCount, size_t(2));
        QCOMPARE(layout.runs[1].beginColumn, 2);
        QCOMPARE(layout.runs[1].endColumn, 5);
        QCOMPARE(layout.runs[1].style.background, expectedPalette(0));
        // Hidden cells keep their place but draw nothing.
        QVERIFY(layout.cells[4].hidden);
        QCOMPARE(layout.cells[4].code, 0);
        QVERIFY(layout.cells[5].hidden);

        // Blinking text is shown in the visible phase.
        context.textBlinkVisible = true;
        buildRow(line, 10, 0, context, a, layout);
        QVERIFY(!layout.cells[4].hidden);
        QCOMPARE(layout.cells[4].code, int32_t('d'));

        // A selection splits runs and takes the selection colours; a wide
        // character is selected when the range touches either column.
        context.selectedColumns = [](int) { return std::make_optional(std::make_pair(3, 5)); };
        context.selectedBackground = QColor(0, 166, 178);
        context.selectedForeground = QColor(0, 0, 0);
        buildRow(line, 10, 0, context, a, layout);
        QCOMPARE(layout.runs[1].beginColumn, 2);
        QVERIFY(layout.runs[1].selected);
        QCOMPARE(layout.runs[1].style.background, QColor(0, 166, 178));
        QCOMPARE(layout.runs[1].endColumn, 5);
        QVERIFY(!layout.runs[0].selected);

        // Fewer columns than cells: only the visible ones.
        buildRow(line, 3, 0, RowContext{}, a, layout);
        QCOMPARE(layout.cells.size(), size_t(3));
    }

    void contrastRatios()
    {
        QCOMPARE(contrastRatio(Qt::black, Qt::white), 21.0);
        QCOMPARE(contrastRatio(Qt::white, Qt::black), 21.0);
        QCOMPARE(contrastRatio(QColor(44, 52, 66), QColor(44, 52, 66)), 1.0);
        // The app's old selected text: black on #2C3442.
        QVERIFY(std::abs(contrastRatio(Qt::black, QColor(0x2C, 0x34, 0x42)) - 1.677) < 0.01);
    }

    // Selected text takes the first readable colour of: the selection text
    // colour, the cell's own, the default foreground; else black or white.
    void selectedTextColourStaysReadable_data()
    {
        QTest::addColumn<QColor>("background");
        QTest::addColumn<QColor>("preferred");
        QTest::addColumn<QColor>("cell");
        QTest::addColumn<QColor>("defaultFg");
        QTest::addColumn<QColor>("expected");
        const QColor dark(0x2C, 0x34, 0x42), light(0xE0, 0xE4, 0xEB), pale(0xE1, 0xE6, 0xEE), none;
        QTest::newRow("preferred") << dark << QColor(Qt::white) << pale << pale << QColor(Qt::white);
        QTest::newRow("unreadable preferred") << dark << QColor(Qt::black) << pale << QColor(Qt::red) << pale;
        QTest::newRow("no preferred") << dark << none << pale << QColor(Qt::red) << pale;
        QTest::newRow("unreadable cell") << dark << none << QColor(0x1E, 0x24, 0x2F) << pale << pale;
        QTest::newRow("see-through cell") << dark << none << QColor(225, 230, 238, 128) << pale << pale;
        QTest::newRow("nothing readable, dark") << dark << none << dark << dark << QColor(Qt::white);
        QTest::newRow("nothing readable, light") << light << QColor(Qt::white) << light << light << QColor(Qt::black);
        // Mid gray: black stands out more than white.
        QTest::newRow("mid gray") << QColor(128, 128, 128) << none << QColor(128, 128, 128) << QColor(120, 120, 120)
                                  << QColor(Qt::black);
    }

    void selectedTextColourStaysReadable()
    {
        QFETCH(QColor, background);
        QFETCH(QColor, preferred);
        QFETCH(QColor, cell);
        QFETCH(QColor, defaultFg);
        QFETCH(QColor, expected);
        QCOMPARE(selectedTextColor(background, preferred, cell, defaultFg), expected);
    }

    // The row builder applies it with the cell's resolved colour and the
    // native foreground; a selected wide cell too.
    void selectedRunsAreReadable()
    {
        ColorResolver r;
        r.setNativeForeground(QColor(0xE1, 0xE6, 0xEE));
        r.setNativeBackground(QColor(0x0E, 0x11, 0x17));
        r.setPaletteLookup(
            [](uint8_t i) { return i == 0 ? Color::fromRgb8(0x1E, 0x24, 0x2F) : Color::fromRgb8(0x6F, 0xCF, 0x97); });
        CellAttributes a(r);
        BufferLine line(6);
        auto put = [&](int col, Attribute at) {
            CharData c;
            c.code = 'x';
            c.attribute = at;
            line.set(col, c);
        };
        put(0, attr(C::ansi256(0), C::defaultColor()));
        put(1, attr(C::ansi256(2), C::defaultColor()));
        put(2, attr(C::defaultColor(), C::defaultColor()));
        RowContext context;
        context.selectedColumns = [](int) { return std::make_optional(std::make_pair(0, 3)); };
        context.selectedBackground = QColor(0x2C, 0x34, 0x42);
        RowLayout layout;
        buildRow(line, 6, 0, context, a, layout);
        QCOMPARE(layout.runs.size(), size_t(4));
        QCOMPARE(layout.runs[0].style.foreground, QColor(0xE1, 0xE6, 0xEE));  // palette 0 would vanish
        QCOMPARE(layout.runs[1].style.foreground, QColor(0x6F, 0xCF, 0x97));  // green stays green
        QCOMPARE(layout.runs[2].style.foreground, QColor(0xE1, 0xE6, 0xEE));
        // Under reverse video the default foreground is the native background.
        context.reverseColors = true;
        buildRow(line, 6, 0, context, a, layout);
        QCOMPARE(layout.runs[0].style.foreground, QColor(Qt::white));
    }
};

QTEST_MAIN(ColorAndAttributeTests)
#include "ColorAndAttributeTests.moc"
