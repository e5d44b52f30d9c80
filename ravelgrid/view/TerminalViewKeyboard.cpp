// Key presses and releases: the scrollback keys, the window's chords, the
// xterm encoder and, while a program turned it on, the kitty protocol.
#include "ravelgrid/view/TerminalViewKeyboard.h"

#include "ravelgrid/view/MarkedTextOverlay.h"
#include "ravelgrid/view/TerminalView.h"

#include <QKeyEvent>

namespace ravelgrid {

namespace {

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock: return true;
    default: return false;
    }
}

}  // namespace

KeyboardInput::KeyboardInput(TerminalView& view) : view_(view)
{}

KeyboardInput::~KeyboardInput() = default;

KeyModes KeyboardInput::keyModes() const
{
    const Terminal& terminal = view_.terminal();
    KeyModes modes;
    modes.applicationCursor = terminal.applicationCursor;
    modes.applicationKeypad = terminal.applicationKeypad;
    modes.optionAsMetaKey = optionAsMetaKey_;
    modes.backspaceSendsControlH = backspaceSendsControlH_;
    return modes;
}

std::vector<KeyChord> KeyboardInput::chordsFor(ViewCommand command) const
{
    std::vector<KeyChord> chords;
    for (const ViewKeyBinding& b : commandKeys_)
        if (b.command == command)
            chords.push_back(b.chord);
    return chords;
}

bool KeyboardInput::claimsShortcutOverride(const QKeyEvent& event) const
{
    // The view's own actions and the window's chords go to the shortcuts;
    // the scrollback keys are handled on the key press.
    if (anyMatches(reserved_, event.key(), event.modifiers()))
        return false;
    for (const ViewKeyBinding& b : commandKeys_) {
        switch (b.command) {
        case ViewCommand::scrollPageUp:
        case ViewCommand::scrollPageDown:
        case ViewCommand::scrollToTop:
        case ViewCommand::scrollToBottom: break;
        default:
            if (b.chord.matches(event.key(), event.modifiers()))
                return false;
        }
    }
    return true;
}

// Shift with the Page keys, Home and End pages the normal screen's scrollback
// whatever the cursor-key mode, as Linux terminals do; the alternate screen
// has none, so there the keys go to the program.
bool KeyboardInput::scrollbackKey(int key, Qt::KeyboardModifiers modifiers)
{
    Terminal& terminal = view_.terminal();
    if (terminal.isCurrentBufferAlternate())
        return false;
    for (const ViewKeyBinding& b : commandKeys_) {
        if (!b.chord.matches(key, modifiers))
            continue;
        switch (b.command) {
        case ViewCommand::scrollPageUp: view_.scrollUp(terminal.rows); return true;
        case ViewCommand::scrollPageDown: view_.scrollDown(terminal.rows); return true;
        case ViewCommand::scrollToTop: view_.scrollTo(0, true); return true;
        case ViewCommand::scrollToBottom: view_.scrollTo(view_.maxScroll(), true); return true;
        default: break;
        }
    }
    return false;
}

void KeyboardInput::release(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Control)
        view_.setCommandActive(false);
    if (view_.terminal().keyboardEnhancementFlags().rawValue != 0)
        kittyKeyRelease(event);
}

void KeyboardInput::press(QKeyEvent* event)
{
    Terminal& terminal = view_.terminal();
    if (event->key() == Qt::Key_Control)
        view_.setCommandActive(true);
    // The window's chord when its shortcut did not take it: still not the program's.
    if (anyMatches(reserved_, event->key(), event->modifiers())) {
        event->ignore();
        return;
    }
    if (scrollbackKey(event->key(), event->modifiers())) {
        event->accept();
        return;
    }
    // Every key drops the selection; modifiers alone are no key (Ctrl+Shift+C
    // must still find it).
    if (!isModifierKey(event->key()))
        view_.selection().setActive(false);
    // Kitty keyboard programs get the key itself; the others the arrow that
    // matches what the row shows.
    if ((event->key() == Qt::Key_Left || event->key() == Qt::Key_Right) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
        terminal.keyboardEnhancementFlags().rawValue == 0) {
        view_.sendBidiAwareArrow(event->key() == Qt::Key_Left);
        event->accept();
        return;
    }
    const KeyResult result = encodeKey(KeyInput{event->key(), event->modifiers(), event->text()}, keyModes());
    if (terminal.keyboardEnhancementFlags().rawValue != 0 && result.action != KeyAction::toggleOptionAsMeta) {
        if (kittyKeyPress(event))
            event->accept();
        else
            event->ignore();
        return;
    }
    switch (result.action) {
    case KeyAction::send:
        view_.send(std::string_view(result.bytes));
        event->accept();
        return;
    case KeyAction::toggleOptionAsMeta:
        optionAsMetaKey_ = !optionAsMetaKey_;
        event->accept();
        return;
    case KeyAction::none: event->ignore(); return;
    }
}

}  // namespace ravelgrid
