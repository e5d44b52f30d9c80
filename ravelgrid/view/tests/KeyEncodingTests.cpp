#include "platform/FakeScheduler.h"
#include "support/ViewTestSupport.h"

#include <QAction>
#include <QMenu>
#include <QtTest>

#include <string>

using namespace ravelgrid;
using namespace std::string_literals;

Q_DECLARE_METATYPE(std::string)

// Keys typed into a view, as X11 reports them, and the exact bytes the child
// receives.
class KeyEncodingTests : public QObject {
    Q_OBJECT

private slots:
    void typedKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::string>("setup");
        QTest::addColumn<std::string>("expected");

        const int none = Qt::NoModifier;
        const int shift = Qt::ShiftModifier;
        const int ctrl = Qt::ControlModifier;
        const int alt = Qt::AltModifier;
        const int keypad = Qt::KeypadModifier;
        auto row = [](const char* name, int key, int mods, const QString& text, std::string setup,
                      std::string expected) { QTest::newRow(name) << key << mods << text << setup << expected; };

        // Text.
        row("letter", Qt::Key_A, none, "a", "", "a");
        row("shifted letter", Qt::Key_A, shift, "A", "", "A");
        row("non-ASCII letter", 0xC9, none, QString::fromUtf8("é"), "", "\xC3\xA9");
        row("space", Qt::Key_Space, none, " ", "", " ");
        row("return", Qt::Key_Return, none, "\r", "", "\r");
        row("keypad enter", Qt::Key_Enter, keypad, "\r", "", "\r");
        row("tab", Qt::Key_Tab, none, "\t", "", "\t");
        row("back-tab", Qt::Key_Backtab, shift, "", "", "\x1b[Z");
        row("escape", Qt::Key_Escape, none, "\x1b", "", "\x1b");
        row("alt escape", Qt::Key_Escape, alt, "\x1b", "", "\x1b\x1b");
        row("backspace", Qt::Key_Backspace, none, "\b", "", "\x7f");
        row("ctrl backspace", Qt::Key_Backspace, ctrl, "\b", "", "\x08");
        row("alt backspace", Qt::Key_Backspace, alt, "\b", "", "\x1b\x7f");

        // Cursor keys in both cursor modes, with modifiers.
        row("up", Qt::Key_Up, none, "", "", "\x1b[A");
        row("up, application cursor", Qt::Key_Up, none, "", "\x1b[?1h", "\x1bOA");
        row("ctrl up", Qt::Key_Up, ctrl, "", "", "\x1b[1;5A");
        row("ctrl up, application cursor", Qt::Key_Up, ctrl, "", "\x1b[?1h", "\x1b[1;5A");
        row("shift right", Qt::Key_Right, shift, "", "", "\x1b[1;2C");
        row("alt left", Qt::Key_Left, alt, "", "", "\x1b[1;3D");
        row("ctrl shift left", Qt::Key_Left, ctrl | shift, "", "", "\x1b[1;6D");
        row("keypad down without num lock", Qt::Key_Down, keypad, "", "", "\x1b[B");
        row("home", Qt::Key_Home, none, "", "", "\x1b[H");
        row("end, application cursor", Qt::Key_End, none, "", "\x1b[?1h", "\x1bOF");
        row("insert", Qt::Key_Insert, none, "", "", "\x1b[2~");
        row("delete", Qt::Key_Delete, none, "", "", "\x1b[3~");
        row("shift delete", Qt::Key_Delete, shift, "", "", "\x1b[3;2~");

        // Function keys.
        row("F1", Qt::Key_F1, none, "", "", "\x1bOP");
        row("F4", Qt::Key_F4, none, "", "", "\x1bOS");
        row("F5", Qt::Key_F5, none, "", "", "\x1b[15~");
        row("F10", Qt::Key_F10, none, "", "", "\x1b[21~");
        row("F12", Qt::Key_F12, none, "", "", "\x1b[24~");
        row("shift F1", Qt::Key_F1, shift, "", "", "\x1b[1;2P");
        row("ctrl F5", Qt::Key_F5, ctrl, "", "", "\x1b[15;5~");
        row("alt F12", Qt::Key_F12, alt, "", "", "\x1b[24;3~");
        row("F13 is shift F1", Qt::Key_F13, none, "", "", "\x1b[1;2P");
        row("F25 is ctrl F1", Qt::Key_F25, none, "", "", "\x1b[1;5P");
        row("super up is the desktop's", Qt::Key_Up, int(Qt::MetaModifier), "", "", "");

        // Plain page keys are the program's on either screen.
        row("page up, normal screen", Qt::Key_PageUp, none, "", "", "\x1b[5~");
        row("page up, alternate screen", Qt::Key_PageUp, none, "", "\x1b[?1049h", "\x1b[5~");
        row("page down, application cursor", Qt::Key_PageDown, none, "", "\x1b[?1h", "\x1b[6~");
        row("page up, application cursor", Qt::Key_PageUp, none, "", "\x1b[?1h", "\x1b[5~");
        // Shift pages the scrollback instead, but the alternate screen has none.
        row("shift page up, normal screen", Qt::Key_PageUp, shift, "", "\x1b[?1h", "");
        row("shift page up, alternate screen", Qt::Key_PageUp, shift, "", "\x1b[?1049h", "\x1b[5;2~");
        row("shift end, alternate screen", Qt::Key_End, shift, "", "\x1b[?1049h\x1b[?1h", "\x1b[1;2F");

        // Control characters.
        row("ctrl a", Qt::Key_A, ctrl, "\x01", "", "\x01");
        row("ctrl z", Qt::Key_Z, ctrl, "\x1a", "", "\x1a");
        row("ctrl [", Qt::Key_BracketLeft, ctrl, "\x1b", "", "\x1b");
        row("ctrl backslash", Qt::Key_Backslash, ctrl, "\x1c", "", "\x1c");
        row("ctrl ]", Qt::Key_BracketRight, ctrl, "\x1d", "", "\x1d");
        row("ctrl ^", Qt::Key_AsciiCircum, ctrl | shift, "\x1e", "", "\x1e");
        row("ctrl 6", Qt::Key_6, ctrl, "6", "", "\x1e");
        row("ctrl _", Qt::Key_Underscore, ctrl | shift, "\x1f", "", "\x1f");
        row("ctrl /", Qt::Key_Slash, ctrl, "\x1f", "", "\x1f");
        row("ctrl space", Qt::Key_Space, ctrl, " ", "", "\x00"s);
        row("ctrl @", Qt::Key_At, ctrl | shift, "", "", "\x00"s);
        row("ctrl ?", Qt::Key_Question, ctrl | shift, "\x7f", "", "\x7f");
        row("ctrl 1 sends nothing", Qt::Key_1, ctrl, "1", "", "");

        // Alt as Meta: ESC and the key in one write.
        row("alt x", Qt::Key_X, alt, "x", "", "\x1bx");
        row("alt shift x", Qt::Key_X, alt | shift, "X", "", "\x1bX");
        row("ctrl alt a", Qt::Key_A, ctrl | alt, "\x01", "", "\x1b\x01");
        row("alt digit", Qt::Key_5, alt, "5", "",
            "\x1b"
            "5");

        // Keypad in both keypad modes.
        row("keypad 5", Qt::Key_5, keypad, "5", "", "5");
        row("keypad 5, application keypad", Qt::Key_5, keypad, "5", "\x1b=", "\x1bOu");
        row("keypad plus, application keypad", Qt::Key_Plus, keypad, "+", "\x1b=", "\x1bOk");
        row("keypad enter, application keypad", Qt::Key_Enter, keypad, "\r", "\x1b=", "\x1bOM");
        row("keypad up without num lock, application keypad", Qt::Key_Up, keypad, "", "\x1b=", "\x1bOx");
        row("shifted keypad key, application keypad", Qt::Key_Up, keypad | shift, "", "\x1b=", "\x1b[1;2A");

        // The window's chords reach the child as nothing.
        row("ctrl shift t", Qt::Key_T, ctrl | shift, "\x14", "", "");
        row("ctrl shift c", Qt::Key_C, ctrl | shift, "\x03", "", "");
    }

    void typedKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, text);
        QFETCH(std::string, setup);
        QFETCH(std::string, expected);

        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        RecordingDelegate delegate;
        view.setTerminalDelegate(&delegate);
        view.feed(setup);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key(key), text, Qt::KeyboardModifiers(modifiers));

        QCOMPARE(delegate.allBytes(), expected);
        // Every key is one write, so a child never reads a lone ESC.
        QCOMPARE(delegate.writes.size(), size_t(expected.empty() ? 0 : 1));
    }

    void metaCanBeTurnedOff()
    {
        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        RecordingDelegate delegate;
        view.setTerminalDelegate(&delegate);

        // Ctrl+Shift+Alt+O toggles Alt-as-Meta.
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_O, QString(),
                            Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
        QVERIFY(!view.keyboard().optionAsMetaKey());
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_X, QStringLiteral("x"), Qt::AltModifier);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_Left, QString(), Qt::AltModifier);
        QCOMPARE(delegate.allBytes(), "x\x1b[D"s);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_O, QString(),
                            Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
        QVERIFY(view.keyboard().optionAsMetaKey());
    }

    void backspaceCanSendControlH()
    {
        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        RecordingDelegate delegate;
        view.setTerminalDelegate(&delegate);
        view.keyboard().setBackspaceSendsControlH(true);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_Backspace, QStringLiteral("\b"), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_Backspace, QStringLiteral("\b"), Qt::ControlModifier);
        QCOMPARE(delegate.allBytes(), "\x08\x08"s);
    }

    void shiftPageKeysScrollTheNormalScreen()
    {
        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        RecordingDelegate delegate;
        view.setTerminalDelegate(&delegate);
        for (int i = 0; i < 100; ++i)
            view.feed("line " + std::to_string(i) + "\r\n");
        Buffer& buffer = view.terminal().activeBuffer();
        const int bottom = buffer.yBase();
        QVERIFY(bottom > 25);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), Qt::ShiftModifier);
        QCOMPARE(buffer.yDisp(), bottom - view.terminal().rows);
        QVERIFY(!delegate.scrolls.empty());
        // Typing brings the live screen back.
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_A, QStringLiteral("a"), Qt::NoModifier);
        QCOMPARE(buffer.yDisp(), bottom);
        QCOMPARE(delegate.allBytes(), "a"s);
        // Page down never goes past the live screen.
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), Qt::ShiftModifier);
        QCOMPARE(buffer.yDisp(), bottom);
        // The plain page keys are the shell's.
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), Qt::NoModifier);
        QCOMPARE(buffer.yDisp(), bottom);
        QCOMPARE(delegate.allBytes(), "a\x1b[5~"s);
    }

    void shiftPageKeysScrollTheScrollback()
    {
        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        RecordingDelegate delegate;
        view.setTerminalDelegate(&delegate);
        // Application cursor mode, as zsh's line editor sets it.
        view.feed("\x1b[?1h");
        for (int i = 0; i < 100; ++i)
            view.feed("line " + std::to_string(i) + "\r\n");
        Buffer& buffer = view.terminal().activeBuffer();
        const int bottom = buffer.yBase();
        const int rows = view.terminal().rows;
        QVERIFY(bottom > 2 * rows);
        auto shifted = [&](Qt::Key key) {
            QTest::sendKeyEvent(QTest::Click, &view, key, QString(), Qt::ShiftModifier);
        };
        shifted(Qt::Key_PageUp);
        QCOMPARE(buffer.yDisp(), bottom - rows);
        shifted(Qt::Key_Home);
        QCOMPARE(buffer.yDisp(), 0);
        shifted(Qt::Key_PageDown);
        QCOMPARE(buffer.yDisp(), rows);
        shifted(Qt::Key_End);
        QCOMPARE(buffer.yDisp(), bottom);
        QCOMPARE(delegate.allBytes(), ""s);
        // The plain key is the program's.
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), Qt::NoModifier);
        QCOMPARE(delegate.allBytes(), "\x1b[5~"s);
        QCOMPARE(buffer.yDisp(), bottom);
        // A kitty keyboard program does not get them either.
        delegate.writes.clear();
        view.feed("\x1b[>1u");
        shifted(Qt::Key_PageUp);
        QCOMPARE(buffer.yDisp(), bottom - rows);
        QCOMPARE(delegate.allBytes(), ""s);
    }

    void windowChordsAreLeftToShortcuts()
    {
        platform::FakeScheduler clock;
        TerminalView view(nullptr, std::nullopt, {}, clock);
        auto override = [&](Qt::Key key, Qt::KeyboardModifiers mods) {
            QKeyEvent e(QEvent::ShortcutOverride, key, mods);
            e.ignore();
            QCoreApplication::sendEvent(&view, &e);
            return e.isAccepted();
        };
        view.keyboard().setReservedKeys({{Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier},
                                         {Qt::Key_3, Qt::AltModifier},
                                         {Qt::Key_PageDown, Qt::ControlModifier},
                                         {Qt::Key_Equal, Qt::ControlModifier}});
        // Keys of the shell win over shortcuts...
        QVERIFY(override(Qt::Key_C, Qt::ControlModifier));
        QVERIFY(override(Qt::Key_Up, Qt::NoModifier));
        QVERIFY(override(Qt::Key_4, Qt::AltModifier));
        // ...the window's chords do not, nor the view's own actions.
        QVERIFY(!override(Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier));
        QVERIFY(!override(Qt::Key_3, Qt::AltModifier));
        QVERIFY(!override(Qt::Key_PageDown, Qt::ControlModifier));
        QVERIFY(!override(Qt::Key_Equal, Qt::ControlModifier));
        QVERIFY(!override(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier));
        QVERIFY(!override(Qt::Key_Insert, Qt::ShiftModifier));
        // The scrollback keys are handled on the press, by screen.
        QVERIFY(override(Qt::Key_PageUp, Qt::ShiftModifier));
    }

    // The host's chords: a reserved one is neither overridden nor typed, in
    // either keyboard protocol; the same key with other modifiers is typed.
    void reservedChordsNeverReachTheProgram()
    {
        ViewOnFakeClock<> f;
        TerminalView& view = *f.view;
        RecordingDelegate& delegate = f.delegate;
        const auto ctrl = Qt::ControlModifier;
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), ctrl);
        QCOMPARE(delegate.allBytes(), "\x1b[6;5~"s);
        delegate.writes.clear();
        view.keyboard().setReservedKeys({{Qt::Key_PageDown, ctrl}, {Qt::Key_X, ctrl | Qt::ShiftModifier}});
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), ctrl);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), ctrl | Qt::KeypadModifier);
        QCOMPARE(delegate.allBytes(), ""s);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), ctrl);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), ctrl | Qt::AltModifier);
        QCOMPARE(delegate.allBytes(), "\x1b[5;5~\x1b[6;7~"s);
        delegate.writes.clear();
        // Under the kitty protocol an unreserved Ctrl+Shift letter is the program's.
        view.feed("\x1b[>1u");
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_X, QStringLiteral("\x18"), ctrl | Qt::ShiftModifier);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageDown, QString(), ctrl);
        QCOMPARE(delegate.allBytes(), ""s);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_Y, QStringLiteral("\x19"), ctrl | Qt::ShiftModifier);
        QCOMPARE(delegate.allBytes(), "\x1b[121;6u"s);
    }

    // A host's own command keys: the actions, the menu and the scrollback
    // keys follow them; the default chords become the program's.
    void customCommandKeys()
    {
        ViewOnFakeClock<> f;
        TerminalView& view = *f.view;
        RecordingDelegate& delegate = f.delegate;
        const auto ctrlAlt = Qt::ControlModifier | Qt::AltModifier;
        using C = ViewCommand;
        view.setCommandKeys({{C::copy, {Qt::Key_C, ctrlAlt}},
                             {C::paste, {Qt::Key_V, ctrlAlt}},
                             {C::paste, {Qt::Key_Insert, Qt::ControlModifier}},
                             {C::showFindBar, {Qt::Key_F, ctrlAlt}},
                             {C::scrollPageUp, {Qt::Key_PageUp, Qt::AltModifier}},
                             {C::scrollToBottom, {Qt::Key_End, Qt::AltModifier}}});
        QCOMPARE(view.copyAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_C));
        QCOMPARE(view.pasteAction()->shortcuts(), QList<QKeySequence>({QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_V),
                                                                       QKeySequence(Qt::CTRL | Qt::Key_Insert)}));
        QVERIFY(view.selectAllAction()->shortcuts().isEmpty());
        QCOMPARE(view.find().action(FindCommand::showFindBar)->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_F));
        QVERIFY(view.find().action(FindCommand::findNext)->shortcuts().isEmpty());

        QMenu* menu = view.showContextMenu(QPoint(0, 0));
        QStringList shown;
        for (QAction* a : menu->actions())
            if (!a->isSeparator())
                shown << a->text() + " " + a->shortcut().toString();
        menu->close();
        QCOMPARE(shown, QStringList({"Copy Ctrl+Alt+C", "Paste Ctrl+Alt+V", "Select All ",
                                     QStringLiteral("Find… Ctrl+Alt+F")}));

        for (int i = 0; i < 100; ++i)
            view.feed("line " + std::to_string(i) + "\r\n");
        Buffer& buffer = view.terminal().activeBuffer();
        const int bottom = buffer.yBase();
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), Qt::AltModifier);
        QCOMPARE(buffer.yDisp(), bottom - view.terminal().rows);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_End, QString(), Qt::AltModifier);
        QCOMPARE(buffer.yDisp(), bottom);
        QCOMPARE(delegate.allBytes(), ""s);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_PageUp, QString(), Qt::ShiftModifier);
        QCOMPARE(buffer.yDisp(), bottom);
        QCOMPARE(delegate.allBytes(), "\x1b[5;2~"s);
    }
};

QTEST_MAIN(KeyEncodingTests)
#include "KeyEncodingTests.moc"
