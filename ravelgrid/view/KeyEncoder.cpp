#include "ravelgrid/view/KeyEncoder.h"

namespace ravelgrid {
namespace {

constexpr char ESC = '\x1b';

// xterm's modifier parameter, less one: shift 1, alt 2, ctrl 4.
int modifierParameter(Qt::KeyboardModifiers m, bool altCounts)
{
    int p = 0;
    if (m & Qt::ShiftModifier)
        p |= 1;
    if (altCounts && (m & Qt::AltModifier))
        p |= 2;
    if (m & Qt::ControlModifier)
        p |= 4;
    return p;
}

KeyResult send(std::string bytes)
{
    return {KeyAction::send, std::move(bytes)};
}

// Cursor-style keys: ESC [ X or ESC O X, ESC [ 1 ; m X with modifiers.
KeyResult cursorKey(char final, int mods, bool application)
{
    if (mods == 0)
        return send(std::string{ESC, application ? 'O' : '[', final});
    return send(std::string{ESC, '['} + "1;" + std::to_string(mods + 1) + final);
}

// Tilde keys: ESC [ n ~, ESC [ n ; m ~ with modifiers.
KeyResult tildeKey(int number, int mods)
{
    std::string s{ESC, '['};
    s += std::to_string(number);
    if (mods != 0) {
        s += ';';
        s += std::to_string(mods + 1);
    }
    s += '~';
    return send(std::move(s));
}

// F1-F4 are SS3 P-S without modifiers, ESC [ 1 ; m P-S with them.
KeyResult pfKey(char final, int mods)
{
    if (mods == 0)
        return send(std::string{ESC, 'O', final});
    return send(std::string{ESC, '['} + "1;" + std::to_string(mods + 1) + final);
}

std::optional<KeyResult> functionalKey(const KeyInput& in, const KeyModes& modes)
{
    const Qt::KeyboardModifiers m = in.modifiers;
    const bool alt = (m & Qt::AltModifier) && modes.optionAsMetaKey;
    const int mods = modifierParameter(m, modes.optionAsMetaKey);
    // F13 to F24 are xterm's shifted F1 to F12, F25 to F35 its control ones.
    if (in.key >= Qt::Key_F13 && in.key <= Qt::Key_F24)
        return functionalKey(KeyInput{in.key - 12, Qt::ShiftModifier, {}}, modes);
    if (in.key >= Qt::Key_F25 && in.key <= Qt::Key_F35)
        return functionalKey(KeyInput{in.key - 24, Qt::ControlModifier, {}}, modes);
    switch (in.key) {
    case Qt::Key_Up: return cursorKey('A', mods, modes.applicationCursor);
    case Qt::Key_Down: return cursorKey('B', mods, modes.applicationCursor);
    case Qt::Key_Right: return cursorKey('C', mods, modes.applicationCursor);
    case Qt::Key_Left: return cursorKey('D', mods, modes.applicationCursor);
    case Qt::Key_Home: return cursorKey('H', mods, modes.applicationCursor);
    case Qt::Key_End: return cursorKey('F', mods, modes.applicationCursor);
    case Qt::Key_Insert: return tildeKey(2, mods);
    case Qt::Key_Delete: return tildeKey(3, mods);
    // The program's own: Shift+PageUp/PageDown page the scrollback (the view
    // takes those before encoding).
    case Qt::Key_PageUp: return tildeKey(5, mods);
    case Qt::Key_PageDown: return tildeKey(6, mods);
    case Qt::Key_F1: return pfKey('P', mods);
    case Qt::Key_F2: return pfKey('Q', mods);
    case Qt::Key_F3: return pfKey('R', mods);
    case Qt::Key_F4: return pfKey('S', mods);
    case Qt::Key_F5: return tildeKey(15, mods);
    case Qt::Key_F6: return tildeKey(17, mods);
    case Qt::Key_F7: return tildeKey(18, mods);
    case Qt::Key_F8: return tildeKey(19, mods);
    case Qt::Key_F9: return tildeKey(20, mods);
    case Qt::Key_F10: return tildeKey(21, mods);
    case Qt::Key_F11: return tildeKey(23, mods);
    case Qt::Key_F12: return tildeKey(24, mods);
    case Qt::Key_Escape: return send(alt ? std::string{ESC, ESC} : std::string{ESC});
    case Qt::Key_Tab:
        if (m & Qt::ShiftModifier)
            return send(std::string{ESC, '[', 'Z'});
        return send(alt ? std::string{ESC, '\t'} : std::string{'\t'});
    case Qt::Key_Backtab: return send(std::string{ESC, '[', 'Z'});
    case Qt::Key_Backspace: {
        const bool controlH = modes.backspaceSendsControlH || (m & Qt::ControlModifier);
        const char c = controlH ? '\x08' : '\x7f';
        return send(alt ? std::string{ESC, c} : std::string{c});
    }
    case Qt::Key_Return:
    case Qt::Key_Enter: return send(alt ? std::string{ESC, '\r'} : std::string{'\r'});
    default: return std::nullopt;
    }
}

// Keypad keys in application keypad mode: SS3 and a letter. Without num
// lock the navigation keys stand for the digits printed on them.
std::optional<KeyResult> applicationKeypadKey(const KeyInput& in)
{
    char final = 0;
    switch (in.key) {
    case Qt::Key_Insert: final = 'p'; break;
    case Qt::Key_End: final = 'q'; break;
    case Qt::Key_Down: final = 'r'; break;
    case Qt::Key_PageDown: final = 's'; break;
    case Qt::Key_Left: final = 't'; break;
    case Qt::Key_Clear: final = 'u'; break;
    case Qt::Key_Right: final = 'v'; break;
    case Qt::Key_Home: final = 'w'; break;
    case Qt::Key_Up: final = 'x'; break;
    case Qt::Key_PageUp: final = 'y'; break;
    case Qt::Key_Delete: final = 'n'; break;
    case Qt::Key_Enter: final = 'M'; break;
    case Qt::Key_0: final = 'p'; break;
    case Qt::Key_1: final = 'q'; break;
    case Qt::Key_2: final = 'r'; break;
    case Qt::Key_3: final = 's'; break;
    case Qt::Key_4: final = 't'; break;
    case Qt::Key_5: final = 'u'; break;
    case Qt::Key_6: final = 'v'; break;
    case Qt::Key_7: final = 'w'; break;
    case Qt::Key_8: final = 'x'; break;
    case Qt::Key_9: final = 'y'; break;
    case Qt::Key_Period: final = 'n'; break;
    case Qt::Key_Comma: final = 'l'; break;
    case Qt::Key_Plus: final = 'k'; break;
    case Qt::Key_Minus: final = 'm'; break;
    case Qt::Key_Asterisk: final = 'j'; break;
    case Qt::Key_Slash: final = 'o'; break;
    case Qt::Key_Equal: final = 'X'; break;
    default: return std::nullopt;
    }
    return send(std::string{ESC, 'O', final});
}

// The character a key stands for when modifiers are ignored: Qt reports
// Latin letters as upper case key codes.
char32_t keyCharacter(const KeyInput& in)
{
    if (in.key >= 0x20 && in.key < 0x7f)
        return char32_t(in.key);
    if (in.key == Qt::Key_Space)
        return U' ';
    return 0;
}

bool isLetterKey(int key)
{
    return key >= Qt::Key_A && key <= Qt::Key_Z;
}

}  // namespace

std::optional<char> controlCharacterForKey(char32_t ch)
{
    if (ch >= U'A' && ch <= U'Z')
        return char(ch - 0x40);
    if (ch >= U'a' && ch <= U'z')
        return char(ch - 0x60);
    switch (ch) {
    case U'[': return '\x1b';
    case U'\\': return '\x1c';
    case U']': return '\x1d';
    case U'^':
    case U'6': return '\x1e';
    case U'_':
    case U'/': return '\x1f';
    case U' ':
    case U'@': return '\0';
    case U'?': return '\x7f';
    default: return std::nullopt;
    }
}

KeyResult encodeKey(const KeyInput& in, const KeyModes& modes)
{
    const Qt::KeyboardModifiers m = in.modifiers;
    const bool ctrl = m & Qt::ControlModifier;
    const bool shift = m & Qt::ShiftModifier;
    const bool alt = m & Qt::AltModifier;

    // Ctrl+Shift+letter stands for the Command key of other platforms.
    if (ctrl && shift && isLetterKey(in.key)) {
        if (alt && in.key == Qt::Key_O)
            return {KeyAction::toggleOptionAsMeta, {}};
        return {};
    }

    const bool anyModifier = (m & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
    if ((m & Qt::KeypadModifier) && modes.applicationKeypad && !anyModifier) {
        if (auto r = applicationKeypadKey(in))
            return *r;
    }

    if (auto r = functionalKey(in, modes)) {
        // With Super held a functional key is the desktop's, not the child's.
        if (m & Qt::MetaModifier)
            return {};
        return *r;
    }

    const bool meta = alt && modes.optionAsMetaKey;
    if (ctrl) {
        if (auto c = controlCharacterForKey(keyCharacter(in))) {
            std::string bytes;
            if (meta)
                bytes += ESC;
            bytes += *c;
            return send(std::move(bytes));
        }
        return {};
    }

    if (in.text.isEmpty())
        return {};
    // Qt hands over control characters as text for some keys; those are
    // covered above, and the rest is not typed text.
    for (QChar c : in.text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return {};
    }
    std::string bytes;
    if (meta)
        bytes += ESC;
    bytes += in.text.toUtf8().toStdString();
    return send(std::move(bytes));
}

}  // namespace ravelgrid
