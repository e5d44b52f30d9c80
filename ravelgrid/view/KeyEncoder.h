#pragma once

#include <QString>
#include <Qt>

#include <optional>
#include <string>

namespace ravelgrid {

// Terminal and view state the legacy (xterm) key encoding depends on.
struct KeyModes {
    bool applicationCursor = false;  // DECCKM
    bool applicationKeypad = false;  // DECKPAM
    bool optionAsMetaKey = true;     // Alt sends ESC before the key
    bool backspaceSendsControlH = false;
};

// What a key press asks of the view.
enum class KeyAction {
    none,                // nothing to send
    send,                // write `bytes` to the child, in one write
    toggleOptionAsMeta,  // Ctrl+Shift+Alt+O
};

struct KeyResult {
    KeyAction action = KeyAction::none;
    std::string bytes;
};

// One key press as Qt reports it.
struct KeyInput {
    int key = 0;                      // Qt::Key
    Qt::KeyboardModifiers modifiers;  // Qt::KeypadModifier marks keypad keys
    QString text;                     // what the key types, if anything
};

// The xterm byte sequence for a key press. Ctrl+Shift with a letter is the
// application's shortcut chord and sends nothing here.
KeyResult encodeKey(const KeyInput& input, const KeyModes& modes);

// Control+character: A-Z and a-z to 0x01-0x1A, [ \ ] to 0x1B-0x1D, ^ and 6 to
// 0x1E, _ and / to 0x1F, space and @ to NUL, ? to DEL; nothing otherwise.
std::optional<char> controlCharacterForKey(char32_t ch);

}  // namespace ravelgrid
