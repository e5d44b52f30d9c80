#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/FallbackFonts.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/screen/Buffer.h"

#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>
#include <functional>

using namespace ravelgrid;
using C = Attribute::Color;

namespace {

const QColor nativeFg(200, 200, 200);
const QColor nativeBg(0, 0, 0);
const QColor untouched(255, 0, 255);

Color paletteEntry(uint8_t i)
{
    switch (i) {
    case 1: return Color::fromRgb8(220, 30, 30);
    case 2: return Color::fromRgb8(30, 220, 30);
    case 4: return Color::fromRgb8(30, 30, 220);
    default: return Color::fromRgb8(i, i, i);
    }
}

struct Screen {
    static constexpr int cols = 12;
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

Attribute withBg(C bg, CharacterStyle style = CharacterStyle::none)
{
    Attribute a;
    a.bg = bg;
    a.style = style;
    return a;
}

Attribute withFg(C fg, CharacterStyle style = CharacterStyle::none)
{
    Attribute a;
    a.fg = fg;
    a.style = style;
    return a;
}

struct Canvas {
    FramePainter painter;
    QSizeF cell;
    qreal scale;
    QImage image;

    Canvas(qreal s, QSizeF viewSize) : scale(s)
    {
        painter.colors().setPaletteLookup(paletteEntry);
        painter.colors().setNativeForeground(nativeFg);
        painter.colors().setNativeBackground(nativeBg);
        cell = computeCellDimension(painter.fontSet().rawNormal(), 1.0, scale);
        painter.setCellSize(cell);
        image = QImage(int(std::ceil(viewSize.width() * scale)), int(std::ceil(viewSize.height() * scale)),
                       QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(untouched);
    }

    QSizeF viewSize() const { return QSizeF(image.width() / scale, image.height() / scale); }

    void paint(Screen& screen, QRectF dirty = {}, bool reverse = false)
    {
        FrameInput input;
        input.buffer = &screen.buffer;
        input.columns = Screen::cols;
        input.rows = Screen::rows;
        input.startRow = screen.buffer.yDisp();
        input.viewSize = viewSize();
        input.dirty = dirty.isNull() ? QRectF(QPointF(0, 0), viewSize()) : dirty;
        input.row.reverseColors = reverse;
        input.row.clusterText = clusterText;
        QPainter p(&image);
        painter.drawTerminalContents(p, input);
    }

    std::function<QString(int32_t)> clusterText;

    // The device pixel at a fraction of a cell.
    QColor at(int col, int row, qreal fx = 0.5, qreal fy = 0.5) const
    {
        return image.pixelColor(int((col + fx) * cell.width() * scale), int((row + fy) * cell.height() * scale));
    }

    // Whether any pixel inside the cell differs from the colour.
    bool inkIn(int col, int row, const QColor& background) const
    {
        const int x0 = int(std::ceil(col * cell.width() * scale));
        const int x1 = int((col + 1) * cell.width() * scale);
        const int y0 = int(std::ceil(row * cell.height() * scale));
        const int y1 = int((row + 1) * cell.height() * scale);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (image.pixelColor(x, y) != background)
                    return true;
        return false;
    }
};

}  // namespace

class FramePainterTests : public QObject {
    Q_OBJECT

private slots:
    void backgrounds_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("1.25x") << 1.25;
        QTest::newRow("2x") << 2.0;
    }

    void backgrounds()
    {
        QFETCH(qreal, scale);
        Screen screen;
        screen.put(0, 0, ' ', withBg(C::ansi256(1)));
        screen.put(2, 0, ' ', withBg(C::defaultColor(), CharacterStyle::inverse));
        screen.put(3, 0, ' ', withBg(C::trueColor(10, 200, 30)));
        // An ideographic space: two columns of background and no ink.
        screen.put(4, 0, U'\u3000', withBg(C::ansi256(4)), 2);
        Canvas canvas(scale, QSizeF(200, 100));
        canvas.paint(screen);

        QCOMPARE(canvas.at(0, 0), QColor(220, 30, 30));
        QCOMPARE(canvas.at(1, 0), nativeBg);
        // Inverse of the defaults paints the native foreground.
        QCOMPARE(canvas.at(2, 0), nativeFg);
        QCOMPARE(canvas.at(3, 0), QColor(10, 200, 30));
        QCOMPARE(canvas.at(4, 0), QColor(30, 30, 220));
        QCOMPARE(canvas.at(5, 0), QColor(30, 30, 220));
        QCOMPARE(canvas.at(6, 0), nativeBg);
        // Cell edges are whole device pixels: the colour ends exactly there.
        QCOMPARE(canvas.at(0, 0, 0.999, 0.5), QColor(220, 30, 30));
        QCOMPARE(canvas.at(1, 0, 0.001, 0.5), nativeBg);
    }

    void bottomStripAndReverseVideo()
    {
        Screen screen;
        screen.put(0, 0, ' ', withBg(C::ansi256(1)));
        Canvas canvas(1.0, QSizeF(150, 5 * 18 + 7));
        QVERIFY(std::fmod(canvas.viewSize().height(), canvas.cell.height()) > 0);
        canvas.paint(screen);
        const int last = canvas.image.height() - 1;
        QCOMPARE(canvas.image.pixelColor(3, last), nativeBg);

        canvas.image.fill(untouched);
        canvas.paint(screen, {}, true);
        // Under reverse video the default background is the native foreground,
        // strip included; explicit colours stay.
        QCOMPARE(canvas.at(1, 1), nativeFg);
        QCOMPARE(canvas.image.pixelColor(3, last), nativeFg);
        QCOMPARE(canvas.at(0, 0), QColor(220, 30, 30));
    }

    void textInk()
    {
        Screen screen;
        screen.put(0, 0, 'W', withFg(C::ansi256(2)));
        // Blanks around the concealed W: a W's ink may reach past its cell.
        screen.put(5, 0, 'W', withFg(C::ansi256(2), CharacterStyle::invisible));
        screen.put(2, 0, 'W', withFg(C::ansi256(2), CharacterStyle::blink));
        screen.put(3, 0, U'\u2603');  // a snowman: not in the cell font, found by fallback
        Canvas canvas(1.0, QSizeF(200, 100));
        canvas.paint(screen);
        QVERIFY(canvas.inkIn(0, 0, nativeBg));
        bool green = false;
        for (int y = 0; y < int(canvas.cell.height()) && !green; ++y)
            for (int x = 0; x < int(canvas.cell.width()) && !green; ++x) {
                const QColor c = canvas.image.pixelColor(x, y);
                green = c.green() > 100 && c.red() < 80;
            }
        QVERIFY(green);
        // Concealed text shows nothing.
        QVERIFY(!canvas.inkIn(5, 0, nativeBg));
        QVERIFY(canvas.inkIn(2, 0, nativeBg));
        QVERIFY(canvas.inkIn(3, 0, nativeBg));
    }

    void halfRowDirtyDrawsTheRow()
    {
        Screen screen;
        screen.put(5, 1, ' ', withBg(C::ansi256(1)));
        screen.put(5, 3, ' ', withBg(C::ansi256(1)));
        Canvas canvas(1.0, QSizeF(200, 100));
        const qreal top = canvas.cell.height();
        canvas.paint(screen, QRectF(0, top, 20, canvas.cell.height() / 2));
        // The whole of row 1 is drawn, row 3 is not touched.
        QCOMPARE(canvas.at(5, 1, 0.5, 0.9), QColor(220, 30, 30));
        QCOMPARE(canvas.at(5, 3), untouched);
    }

    void doubleWidthLine()
    {
        Screen screen;
        screen.put(0, 2, ' ', withBg(C::ansi256(1)));
        screen.buffer.screenLine(2).setRenderMode(BufferLine::RenderLineMode::doubleWidth);
        Canvas canvas(1.0, QSizeF(200, 100));
        canvas.paint(screen);
        QCOMPARE(canvas.at(1, 2), QColor(220, 30, 30));
        QCOMPARE(canvas.at(2, 2), nativeBg);
    }

    void fallbackPrefersThePresentation()
    {
        const QString emoji = QStringLiteral("Noto Color Emoji");
        if (!QFontDatabase::hasFamily(emoji))
            QSKIP("no colour emoji font installed");
        const FontSet fonts = FontSet::defaultSet();
        const QRawFont& base = fonts.rawNormal();
        auto familyOf = [&](char32_t ch) {
            return FallbackFonts::fallbackFont(ch, base, fonts.faceId(FontFace::normal),
                                               FallbackFonts::presentationOf(ch))
                .familyName();
        };
        // A face with emoji presentation is drawn in colour...
        QCOMPARE(familyOf(U'\U0001F600'), emoji);
        // ...one without it as text, where a text font has it.
        QVERIFY(familyOf(U'\u2603') != emoji);
        // Nothing has it: the cell font, which draws its missing-glyph box.
        QCOMPARE(familyOf(U'\U0010FFFD'), base.familyName());
    }

    // Only one emoji followed by U+FE0F asks for the colour form; clusters
    // come from the child, so broken surrogates must not be read as one.
    void emojiSelectorCluster()
    {
        const auto of = [](const char16_t* text) { return FallbackFonts::emojiWithSelector(QString::fromUtf16(text)); };
        QCOMPARE(of(u"\u2764\uFE0F"), char32_t(0x2764));
        QCOMPARE(of(u"\U0001F600\uFE0F"), char32_t(0x1F600));
        QCOMPARE(of(u"A\uFE0F"), char32_t(0));  // not an emoji
        QCOMPARE(of(u"\u2764"), char32_t(0));
        QCOMPARE(of(u"\u2764\uFE0E"), char32_t(0));                  // text form asked for
        QCOMPARE(of(u"\u2764\uFE0F\u200D\U0001F525"), char32_t(0));  // a sequence: laid out whole
        QCOMPARE(of(u""), char32_t(0));
        const QChar high(char16_t(0xD83D)), low(char16_t(0xDE00)), selector(char16_t(0xFE0F));
        QCOMPARE(FallbackFonts::emojiWithSelector(QString(high) + selector), char32_t(0));
        QCOMPARE(FallbackFonts::emojiWithSelector(QString(low) + high + selector), char32_t(0));
        QCOMPARE(FallbackFonts::emojiWithSelector(QString(high) + high + selector), char32_t(0));

        if (!QFontDatabase::hasFamily(QStringLiteral("Noto Color Emoji")))
            QSKIP("no colour emoji font installed");
        const FontSet fonts = FontSet::defaultSet();
        QCOMPARE(FallbackFonts::fallbackFont(0x2764, fonts.rawNormal(), fonts.faceId(FontFace::normal),
                                             FallbackFonts::Presentation::emoji)
                     .familyName(),
                 QStringLiteral("Noto Color Emoji"));
    }

    void smoothingOffDrawsWholePixels_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("2x") << 2.0;
    }

    // Text in white on black: with smoothing off every pixel of it is one
    // or the other, for cell-font glyphs, fallback glyphs and clusters alike.
    void smoothingOffDrawsWholePixels()
    {
        QFETCH(qreal, scale);
        const QStringList clusters = {QStringLiteral("e\u0301"), QStringLiteral("\u05E9\u05B8")};
        auto fill = [&](Screen& screen) {
            const std::u32string text = U"Wg@\u00e9\u2603";
            for (size_t i = 0; i < text.size(); ++i)
                screen.put(int(i), 0, text[i], withFg(C::trueColor(255, 255, 255)));
            for (qsizetype i = 0; i < clusters.size(); ++i)
                screen.put(int(i), 1, char32_t(CharData::firstClusterCode + i), withFg(C::trueColor(255, 255, 255)));
        };
        auto partial = [](const QImage& image) {
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QRgb p = image.pixel(x, y);
                    n += qGray(p) != 0 && qGray(p) != 255;
                }
            return n;
        };
        for (bool smoothing : {true, false}) {
            Screen screen;
            fill(screen);
            Canvas canvas(scale, QSizeF(100, 50));
            canvas.clusterText = [&](int32_t code) { return clusters.value(code - CharData::firstClusterCode); };
            canvas.painter.setFontSmoothing(smoothing);
            QCOMPARE(canvas.painter.fontSmoothing(), smoothing);
            canvas.paint(screen);
            for (int col = 0; col < 5; ++col)
                QVERIFY(canvas.inkIn(col, 0, nativeBg));
            QVERIFY(canvas.inkIn(0, 1, nativeBg));
            QVERIFY(canvas.inkIn(1, 1, nativeBg));
            if (smoothing)
                QVERIFY(partial(canvas.image) > 0);
            else
                QCOMPARE(partial(canvas.image), 0);
        }
        // A new font set keeps the setting.
        FramePainter painter;
        painter.setFontSmoothing(false);
        painter.setFontSet(FontSet(FontSet::defaultFamily(), 20));
        QVERIFY(!painter.fontSmoothing());
        QVERIFY(!painter.fontSet().antialiased());
        QCOMPARE(painter.fontSet().pointSize(), 20.0);
    }

    // Drawing text of every kind says nothing on the log: no Qt warning
    // about fonts that cannot shape a script no installed font has.
    void drawingWarnsAboutNothing()
    {
        static QStringList messages;
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& message) { messages.append(message); });
        const QStringList clusters = {
            QStringLiteral("\u0928\u094D"),  // Devanagari with virama
            QStringLiteral("\u0915\u093F"),  // Devanagari with a vowel sign
            QStringLiteral("\u0DC3\u0DD2"),  // Sinhala
            QStringLiteral("\u0710\u0711"),  // Syriac
            QStringLiteral("\u1780\u17B6"),  // Khmer
            QStringLiteral("e\u0301"),      QStringLiteral("\u05E9\u05B8"), QStringLiteral("\U0001F44D\U0001F3FD"),
            QStringLiteral("\u0644\u0627"),
        };
        Screen screen;
        const std::u32string text = U"a\u2500\u2588\u05E9\u0645\u4F60\u0928\U0001F600\u2603\U0010FFFD";
        for (size_t i = 0; i < text.size() && i < Screen::cols; ++i)
            screen.put(int(i), 0, text[i]);
        for (qsizetype i = 0; i < clusters.size(); ++i)
            screen.put(int(i), 1 + int(i) / Screen::cols, char32_t(CharData::firstClusterCode + i));
        bool boxShown = true;
        for (bool smoothing : {true, false}) {
            Canvas canvas(1.0, QSizeF(200, 100));
            canvas.clusterText = [&](int32_t code) { return clusters.value(code - CharData::firstClusterCode); };
            canvas.painter.setFontSmoothing(smoothing);
            canvas.paint(screen);
            boxShown = boxShown && canvas.inkIn(0, 1, nativeBg);
        }
        qInstallMessageHandler(previous);
        QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
        // Where no font has the script, the cell still shows a box.
        QVERIFY(boxShown);
    }

    // A child can fill the screen with thousands of characters no font has;
    // fontconfig is asked once per face, never per character, and the caches
    // stay bounded (bench/draw_bench's BM_DrawMissingCharacters times a
    // frame of them).
    void distinctMissingCharactersStayCheap()
    {
        FallbackFonts::clear();
        const size_t lists = FallbackFonts::listsMade();
        Buffer buffer(200, 30, 8, 0);
        buffer.fillViewportRows();
        char32_t ch = 0xF0000;  // private use: no font here covers it
        for (int r = 0; r < 30; ++r)
            for (int c = 0; c < 200; ++c) {
                CharData cell;
                cell.code = int32_t(ch++);
                buffer.screenLine(r).set(c, cell);
            }
        Canvas canvas(1.0, QSizeF(1600, 560));
        FrameInput input;
        input.buffer = &buffer;
        input.columns = 200;
        input.rows = 30;
        input.viewSize = canvas.viewSize();
        input.dirty = QRectF(QPointF(0, 0), canvas.viewSize());
        for (int i = 0; i < 3; ++i) {
            QPainter p(&canvas.image);
            canvas.painter.drawTerminalContents(p, input);
        }
        QVERIFY(FallbackFonts::cachedCount() <= FallbackFonts::capacity);
        // One face, so one list (at most one per style of it).
        QVERIFY2(FallbackFonts::listsMade() - lists <= 4,
                 qPrintable(QString::number(FallbackFonts::listsMade() - lists)));
    }
};

QTEST_MAIN(FramePainterTests)
#include "FramePainterTests.moc"
