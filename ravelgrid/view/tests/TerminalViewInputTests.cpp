// Keys, input methods and the caret, through the widget's own events.
#include "platform/FakeScheduler.h"
#include "ravelgrid/view/CaretView.h"
#include "ravelgrid/view/MarkedTextOverlay.h"
#include "support/ViewTestSupport.h"

#include <QInputMethodEvent>
#include <QPainter>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

constexpr uint64_t ms = 1'000'000;

struct Fixture : ViewOnFakeClock<> {
    Fixture() { clock.advance(100 * ms); }

    void showSized(int cols, int rows)
    {
        QVERIFY(showGrid(cols, rows));
        clock.advance(100 * ms);
    }

    void focus()
    {
        view->activateWindow();
        view->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(view.get()));
        QTRY_VERIFY(view->caretFocused());
    }

    // One key event as X delivers it: scan code, keysym and text.
    void key(QEvent::Type type, int qtKey, Qt::KeyboardModifiers mods, quint32 scan, quint32 keysym,
             const QString& text = {}, bool autoRepeat = false)
    {
        QKeyEvent event(type, qtKey, mods, scan, keysym, 0, text, autoRepeat);
        QCoreApplication::sendEvent(view.get(), &event);
    }
    void tap(int qtKey, Qt::KeyboardModifiers mods, quint32 scan, quint32 keysym, const QString& text)
    {
        key(QEvent::KeyPress, qtKey, mods, scan, keysym, text);
        key(QEvent::KeyRelease, qtKey, mods, scan, keysym, text);
    }
};

// The caret drawn on its own, in caret-local pixels at scale 1.
QImage caretImage(TerminalView& view)
{
    const QSize size = view.caretView()->size();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    view.drawCaret(painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return image;
}

bool isColor(QRgb pixel, QColor color)
{
    return qAlpha(pixel) == 255 && qRed(pixel) == color.red() && qGreen(pixel) == color.green() &&
           qBlue(pixel) == color.blue();
}

}  // namespace

class TerminalViewInputTests : public QObject {
    Q_OBJECT

private slots:
    // --- kitty keyboard -----------------------------------------------------------------

    void kittyKeyEventsFromKeyEvents_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<int>("qtKey");
        QTest::addColumn<int>("mods");
        QTest::addColumn<int>("scan");
        QTest::addColumn<int>("keysym");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("press");
        QTest::addColumn<QByteArray>("release");
        const int ctrl = int(Qt::ControlModifier);
        const int shift = int(Qt::ShiftModifier);
        QTest::newRow("flags 0 keeps the legacy a")
            << "0" << int(Qt::Key_A) << 0 << 38 << 0x61 << "a" << QByteArray("a") << QByteArray();
        QTest::newRow("flags 0 keeps the legacy ctrl+a")
            << "0" << int(Qt::Key_A) << ctrl << 38 << 0x61 << "\x01" << QByteArray("\x01") << QByteArray();
        QTest::newRow("disambiguate ctrl+a")
            << "1" << int(Qt::Key_A) << ctrl << 38 << 0x61 << "\x01" << QByteArray("\x1b[97;5u") << QByteArray();
        QTest::newRow("disambiguate a is text")
            << "1" << int(Qt::Key_A) << 0 << 38 << 0x61 << "a" << QByteArray("a") << QByteArray();
        QTest::newRow("all keys with events a")
            << "11" << int(Qt::Key_A) << 0 << 38 << 0x61 << "a" << QByteArray("\x1b[97u") << QByteArray("\x1b[97;1:3u");
        QTest::newRow("return release without all keys")
            << "3" << int(Qt::Key_Return) << 0 << 36 << 0xff0d << "\r" << QByteArray("\r") << QByteArray();
        QTest::newRow("return release with all keys") << "11" << int(Qt::Key_Return) << 0 << 36 << 0xff0d << "\r"
                                                      << QByteArray("\x1b[13u") << QByteArray("\x1b[13;1:3u");
        QTest::newRow("alternates shift+a")
            << "12" << int(Qt::Key_A) << shift << 38 << 0x41 << "A" << QByteArray("\x1b[97:65;2u") << QByteArray();
        // A Russian layout: the key of X keycode 38 types "ф" and carries "a".
        QTest::newRow("base layout key") << "12" << 0x424 << 0 << 38 << 0x6c6 << QString::fromUtf8("ф")
                                         << QByteArray("\x1b[1092::97u") << QByteArray();
        QTest::newRow("keypad 5 with its text") << "8" << int(Qt::Key_5) << int(Qt::KeypadModifier) << 84 << 0xffb5
                                                << "5" << QByteArray("\x1b[57404u") << QByteArray();
        QTest::newRow("escape disambiguated")
            << "1" << int(Qt::Key_Escape) << 0 << 9 << 0xff1b << "\x1b" << QByteArray("\x1b[27u") << QByteArray();
        QTest::newRow("left arrow with events") << "3" << int(Qt::Key_Left) << 0 << 113 << 0xff51 << ""
                                                << QByteArray("\x1b[D") << QByteArray("\x1b[1;1:3D");
    }

    void kittyKeyEventsFromKeyEvents()
    {
        QFETCH(QString, flags);
        QFETCH(int, qtKey);
        QFETCH(int, mods);
        QFETCH(int, scan);
        QFETCH(int, keysym);
        QFETCH(QString, text);
        QFETCH(QByteArray, press);
        QFETCH(QByteArray, release);
        Fixture f;
        f.view->feed("\x1b[>" + flags.toStdString() + "u");
        f.take();
        const auto m = Qt::KeyboardModifiers(mods);
        f.key(QEvent::KeyPress, qtKey, m, quint32(scan), quint32(keysym), text);
        QCOMPARE(QByteArray::fromStdString(f.take()), press);
        f.key(QEvent::KeyRelease, qtKey, m, quint32(scan), quint32(keysym), text);
        QCOMPARE(QByteArray::fromStdString(f.take()), release);
    }

    void kittyRepeatsAndModifierKeys()
    {
        Fixture f;
        f.view->feed("\x1b[>11u");
        f.take();
        // Auto-repeat: Qt's release and press pairs give repeats only.
        f.key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0x61, "a");
        f.key(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, 38, 0x61, "a", true);
        f.key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0x61, "a", true);
        f.key(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, 38, 0x61, "a");
        QCOMPARE(f.take(), std::string("\x1b[97u\x1b[97;1:2u\x1b[97;1:3u"));

        // Left Shift: modifiers as after the change, X gives them before.
        f.view->feed("\x1b[=10u");
        f.key(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0xffe1);
        f.key(QEvent::KeyRelease, Qt::Key_Shift, Qt::ShiftModifier, 50, 0xffe1);
        QCOMPARE(f.take(), std::string("\x1b[57441;2u\x1b[57441;1:3u"));
        // Right Control by its keysym; without event types only the press.
        f.view->feed("\x1b[=8u");
        f.key(QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier, 105, 0xffe4);
        f.key(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier, 105, 0xffe4);
        QCOMPARE(f.take(), std::string("\x1b[57448;5u"));
        // Without "report all keys" modifier keys say nothing.
        f.view->feed("\x1b[=3u");
        f.key(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0xffe1);
        QCOMPARE(f.take(), std::string());
        // Nor while an input method composes.
        f.view->feed("\x1b[=10u");
        f.view->keyboard().setMarkedText(QStringLiteral("k"));
        f.key(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0xffe1);
        QCOMPARE(f.take(), std::string());
    }

    void altTypesComposedTextWhenNotMeta()
    {
        Fixture f;
        f.view->keyboard().setOptionAsMetaKey(false);
        f.view->feed("\x1b[>1u");
        f.take();
        f.key(QEvent::KeyPress, Qt::Key_A, Qt::AltModifier, 38, 0xe5, QString::fromUtf8("å"));
        QCOMPARE(f.take(), std::string("\xc3\xa5"));
        f.view->keyboard().setOptionAsMetaKey(true);
        f.key(QEvent::KeyPress, Qt::Key_A, Qt::AltModifier, 38, 0x61, "a");
        QCOMPARE(f.take(), std::string("\x1b[97;3u"));
    }

    // --- input methods ----------------------------------------------------------------

    void preeditShowsTheOverlayAndCommitSendsIt()
    {
        Fixture f;
        f.showSized(20, 5);
        f.view->feed("ab");
        f.view->feed(std::string_view(""));
        f.clock.advance(20 * ms);
        const QRect caret = f.view->caretView()->geometry();

        QInputMethodEvent preedit(QStringLiteral("´"), {});
        QCoreApplication::sendEvent(f.view.get(), &preedit);
        MarkedTextOverlay* overlay = f.view->keyboard().markedTextOverlay();
        QVERIFY(overlay);
        QVERIFY(overlay->isVisible());
        QCOMPARE(overlay->geometry().top(), caret.top());
        QCOMPARE(overlay->text(), QStringLiteral("´"));
        QCOMPARE(f.view->inputMethodQuery(Qt::ImCursorRectangle).toRectF(), QRectF(caret));
        QVERIFY(f.view->keyboard().kittyIsComposing());
        QVERIFY(f.delegate.writes.empty());

        QInputMethodEvent commit;
        commit.setCommitString(QString::fromUtf8("é"));
        QCoreApplication::sendEvent(f.view.get(), &commit);
        QCOMPARE(f.take(), std::string("\xc3\xa9"));
        QVERIFY(!f.view->keyboard().markedTextOverlay());
        QVERIFY(!f.view->keyboard().kittyIsComposing());

        // An empty preedit removes the overlay but the composition goes on.
        QInputMethodEvent again(QStringLiteral("k"), {});
        QCoreApplication::sendEvent(f.view.get(), &again);
        QVERIFY(f.view->keyboard().markedTextOverlay());
        QInputMethodEvent empty(QString(), {});
        QCoreApplication::sendEvent(f.view.get(), &empty);
        QVERIFY(!f.view->keyboard().markedTextOverlay());
        QVERIFY(f.view->keyboard().kittyIsComposing());
        f.view->keyboard().unmarkText();
        QVERIFY(!f.view->keyboard().kittyIsComposing());
    }

    void longMarkedTextWrapsBelowTheCaret()
    {
        Fixture f;
        f.showSized(20, 5);
        f.view->feed("\x1b[1;15H");
        f.clock.advance(20 * ms);
        f.view->keyboard().setMarkedText(QStringLiteral("abcdefghijklmnopqrstuvwxyz"));
        MarkedTextOverlay* overlay = f.view->keyboard().markedTextOverlay();
        QVERIFY(overlay);
        QVERIFY(overlay->lineCount() >= 2);
        QCOMPARE(overlay->geometry().top(), f.view->caretView()->geometry().top());
        QVERIFY(overlay->height() >= 2 * int(f.view->cellDimension()->height()));
        QVERIFY(overlay->geometry().right() <= f.view->width());
    }

    void kittyCommitIsATextEvent()
    {
        Fixture f;
        f.view->feed("\x1b[>1u");
        f.take();
        QInputMethodEvent commit;
        commit.setCommitString(QString::fromUtf8("日本"));
        QCoreApplication::sendEvent(f.view.get(), &commit);
        QCOMPARE(f.take(), std::string("日本"));
    }

    void selectedRangeCountsBufferRows()
    {
        Fixture f;
        f.showSized(10, 4);
        for (int i = 0; i < 9; ++i)
            f.view->feed("line\r\n");
        f.view->feed("abc");
        Buffer& buffer = f.view->terminal().activeBuffer();
        QVERIFY(buffer.yBase() > 0);
        const int row = buffer.yBase() + buffer.y();
        QCOMPARE(f.view->selectedRange(), std::make_pair(row * 10 + 3, 0));
        // The selection, in the same rows.
        f.view->selection().setSelection({1, 2}, {4, row});
        QCOMPARE(f.view->selectedRange(), std::make_pair(2 * 10 + 1, (row - 2) * 10 + 3));
    }

    // --- caret ---------------------------------------------------------------------------

    void caretShapes_data()
    {
        QTest::addColumn<QString>("style");
        QTest::newRow("block") << "2";
        QTest::newRow("underline") << "4";
        QTest::newRow("bar") << "6";
    }

    void caretShapes()
    {
        if (qApp->devicePixelRatio() != 1.0)
            QSKIP("pixel counts at scale 1");
        QFETCH(QString, style);
        Fixture f;
        f.showSized(10, 3);
        f.focus();
        const QColor caret(255, 0, 0);
        const QColor caretText(0, 0, 255);
        f.view->setCaretColor(caret);
        f.view->setCaretTextColor(caretText);
        f.view->feed("\x1b[" + style.toStdString() + " qA\x1b[D");
        f.clock.advance(20 * ms);
        const QImage image = caretImage(*f.view);
        const int w = image.width();
        const int h = image.height();
        if (style == "2") {
            // Filled, with the character in the text colour.
            QVERIFY(isColor(image.pixel(0, 0), caret));
            QVERIFY(isColor(image.pixel(w - 1, h - 1), caret));
            int text = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    text += qBlue(image.pixel(x, y)) > 128 && qRed(image.pixel(x, y)) < 128;
            QVERIFY(text > 3);
        } else if (style == "4") {
            QVERIFY(isColor(image.pixel(w / 2, h - 1), caret));
            QVERIFY(isColor(image.pixel(w / 2, h - 2), caret));
            QCOMPARE(qAlpha(image.pixel(w / 2, h - 3)), 0);
        } else {
            QVERIFY(isColor(image.pixel(0, h / 2), caret));
            QVERIFY(isColor(image.pixel(1, h / 2), caret));
            QCOMPARE(qAlpha(image.pixel(2, h / 2)), 0);
        }

        // Unfocused, every style is a 3-pixel outline and no character.
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        const QImage hollow = caretImage(*f.view);
        for (int x : {0, 1, 2})
            QVERIFY(isColor(hollow.pixel(x, h / 2), caret));
        QVERIFY(isColor(hollow.pixel(w - 3, h / 2), caret));
        QVERIFY(isColor(hollow.pixel(w / 2, 2), caret));
        QVERIFY(isColor(hollow.pixel(w / 2, h - 1), caret));
        QCOMPARE(qAlpha(hollow.pixel(3, h / 2)), 0);
        QCOMPARE(qAlpha(hollow.pixel(w / 2, h / 2)), 0);
    }

    void blockCaretShowsPowerlineShapesAndHidesBlinkingText()
    {
        if (qApp->devicePixelRatio() != 1.0)
            QSKIP("pixel positions at scale 1");
        Fixture f;
        f.showSized(10, 3);
        f.focus();
        const QColor caret(255, 0, 0);
        const QColor caretText(0, 0, 255);
        f.view->setCaretColor(caret);
        f.view->setCaretTextColor(caretText);
        // U+E0B0, the solid right-pointing separator: a triangle in the
        // caret's text colour, its base on the left edge.
        f.view->feed("\x1b[2 q\xee\x82\xb0\x1b[D");
        f.clock.advance(20 * ms);
        QImage image = caretImage(*f.view);
        const int w = image.width();
        const int h = image.height();
        QVERIFY(isColor(image.pixel(1, h / 2), caretText));
        QVERIFY(isColor(image.pixel(w - 1, 1), caret));
        QVERIFY(isColor(image.pixel(w - 1, h - 2), caret));

        // Blinking text in its hidden phase leaves the block empty.
        f.view->feed("\x1b[5mW\x1b[0m\x1b[D");
        f.clock.advance(20 * ms);
        auto textPixels = [&] {
            const QImage img = caretImage(*f.view);
            int n = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    n += !isColor(img.pixel(x, y), caret);
            return n;
        };
        QVERIFY(f.view->textBlinkVisible());
        QVERIFY(textPixels() > 3);
        QTRY_VERIFY_WITH_TIMEOUT(!f.view->textBlinkVisible(), 2000);
        QCOMPARE(textPixels(), 0);
    }

    // Under mode 1004 the program hears of the view's focus, and only then.
    void focusReportsFollowTheViewsFocus()
    {
        Fixture f;
        f.showSized(10, 3);
        f.focus();
        f.take();
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        f.focus();
        QCOMPARE(f.take(), std::string());
        f.view->feed("\x1b[?1004h");
        QCOMPARE(f.take(), std::string("\x1b[I"));  // the state it starts from
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        QCOMPARE(f.take(), std::string("\x1b[O"));
        f.focus();
        QCOMPARE(f.take(), std::string("\x1b[I"));
        f.view->feed("\x1b[?1004l");
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        QCOMPARE(f.take(), std::string());
    }

    void caretBlinksOnlyWhileFocused()
    {
        Fixture f;
        f.showSized(10, 3);
        f.focus();
        CaretView* caret = f.view->caretView();
        f.view->feed("\x1b[1 q");
        QVERIFY(caret->blinking());
        // It fades: below full opacity within one half period.
        QTRY_VERIFY_WITH_TIMEOUT(caret->caretOpacity() < 0.9, 2000);
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        QVERIFY(!caret->blinking());
        QCOMPARE(caret->caretOpacity(), 1.0);
        f.focus();
        QVERIFY(caret->blinking());
        f.view->feed("\x1b[2 q");
        QVERIFY(!caret->blinking());
        QCOMPARE(caret->caretOpacity(), 1.0);
        // A caret that does not follow the focus blinks anyway.
        f.view->feed("\x1b[5 q");
        f.view->clearFocus();
        QTRY_VERIFY(!f.view->caretFocused());
        caret->setTracksFocus(false);
        QVERIFY(caret->blinking());
        QVERIFY(caret->drawsFocused());
    }
};

QTEST_MAIN(TerminalViewInputTests)
#include "TerminalViewInputTests.moc"
