// Key events as kitty keyboard events, while the program in the terminal has
// turned the protocol on (non-zero flags); with flags 0 the legacy encoder
// answers. Modifier keys arrive from Qt as key events of their own.
#include "ravelgrid/view/TerminalViewKeyboard.h"

#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/protocols/KittyKeyEvent.h"
#include "ravelgrid/screen/Utf8.h"

#include <QKeyEvent>

#include <array>

namespace ravelgrid {

namespace {

using Fn = KittyFunctionalKey;
using Mods = KittyKeyboardModifiers;

// X's lock mask in the native modifier state: Caps Lock.
constexpr quint32 xLockMask = 1u << 1;

// The US layout's unshifted characters by X keycode (evdev code + 8), for
// the base-layout key of other layouts.
char32_t usBaseLayoutKey(quint32 scanCode)
{
    static constexpr std::array<std::pair<quint32, char>, 48> table{{
        {10, '1'}, {11, '2'}, {12, '3'}, {13, '4'}, {14, '5'},  {15, '6'}, {16, '7'},  {17, '8'}, {18, '9'}, {19, '0'},
        {20, '-'}, {21, '='}, {24, 'q'}, {25, 'w'}, {26, 'e'},  {27, 'r'}, {28, 't'},  {29, 'y'}, {30, 'u'}, {31, 'i'},
        {32, 'o'}, {33, 'p'}, {34, '['}, {35, ']'}, {38, 'a'},  {39, 's'}, {40, 'd'},  {41, 'f'}, {42, 'g'}, {43, 'h'},
        {44, 'j'}, {45, 'k'}, {46, 'l'}, {47, ';'}, {48, '\''}, {49, '`'}, {51, '\\'}, {52, 'z'}, {53, 'x'}, {54, 'c'},
        {55, 'v'}, {56, 'b'}, {57, 'n'}, {58, 'm'}, {59, ','},  {60, '.'}, {61, '/'},  {65, ' '},
    }};
    for (const auto& [code, ch] : table)
        if (code == scanCode)
            return char32_t(ch);
    return 0;
}

std::optional<Fn> functionalKey(const QKeyEvent& e)
{
    const bool keypad = e.modifiers().testFlag(Qt::KeypadModifier);
    const int key = e.key();
    if (keypad) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9)
            return Fn(int(Fn::keypad0) + (key - Qt::Key_0));
        switch (key) {
        case Qt::Key_Period: return Fn::keypadDecimal;
        case Qt::Key_Comma: return Fn::keypadSeparator;
        case Qt::Key_Slash: return Fn::keypadDivide;
        case Qt::Key_Asterisk: return Fn::keypadMultiply;
        case Qt::Key_Minus: return Fn::keypadSubtract;
        case Qt::Key_Plus: return Fn::keypadAdd;
        case Qt::Key_Enter: return Fn::keypadEnter;
        case Qt::Key_Equal: return Fn::keypadEqual;
        case Qt::Key_Left: return Fn::keypadLeft;
        case Qt::Key_Right: return Fn::keypadRight;
        case Qt::Key_Up: return Fn::keypadUp;
        case Qt::Key_Down: return Fn::keypadDown;
        case Qt::Key_PageUp: return Fn::keypadPageUp;
        case Qt::Key_PageDown: return Fn::keypadPageDown;
        case Qt::Key_Home: return Fn::keypadHome;
        case Qt::Key_End: return Fn::keypadEnd;
        case Qt::Key_Insert: return Fn::keypadInsert;
        case Qt::Key_Delete: return Fn::keypadDelete;
        case Qt::Key_Clear: return Fn::keypadBegin;
        default: break;
        }
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return Fn(int(Fn::f1) + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Escape: return Fn::escape;
    case Qt::Key_Return:
    case Qt::Key_Enter: return Fn::enter;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return Fn::tab;
    case Qt::Key_Backspace: return Fn::backspace;
    case Qt::Key_Insert: return Fn::insert;
    case Qt::Key_Delete: return Fn::delete_;
    case Qt::Key_Up: return Fn::up;
    case Qt::Key_Down: return Fn::down;
    case Qt::Key_Left: return Fn::left;
    case Qt::Key_Right: return Fn::right;
    case Qt::Key_Home: return Fn::home;
    case Qt::Key_End: return Fn::end;
    case Qt::Key_PageUp: return Fn::pageUp;
    case Qt::Key_PageDown: return Fn::pageDown;
    case Qt::Key_Menu: return Fn::menu;
    case Qt::Key_ScrollLock: return Fn::scrollLock;
    case Qt::Key_NumLock: return Fn::numLock;
    case Qt::Key_Print: return Fn::printScreen;
    case Qt::Key_Pause: return Fn::pause;
    case Qt::Key_MediaPlay: return Fn::mediaPlay;
    case Qt::Key_MediaPause: return Fn::mediaPause;
    case Qt::Key_MediaTogglePlayPause: return Fn::mediaPlayPause;
    case Qt::Key_MediaStop: return Fn::mediaStop;
    case Qt::Key_MediaNext: return Fn::mediaTrackNext;
    case Qt::Key_MediaPrevious: return Fn::mediaTrackPrevious;
    case Qt::Key_MediaRecord: return Fn::mediaRecord;
    case Qt::Key_VolumeDown: return Fn::volumeDown;
    case Qt::Key_VolumeUp: return Fn::volumeUp;
    case Qt::Key_VolumeMute: return Fn::volumeMute;
    default: return std::nullopt;
    }
}

// A modifier key and the modifier bit it holds. Left and right come from
// the X keysym; without one (synthetic events) the left key is assumed.
struct ModifierKey {
    Fn key;
    uint32_t bit;
};

std::optional<ModifierKey> modifierKey(const QKeyEvent& e)
{
    switch (e.nativeVirtualKey()) {
    case 0xffe1: return ModifierKey{Fn::leftShift, Mods::shift};
    case 0xffe2: return ModifierKey{Fn::rightShift, Mods::shift};
    case 0xffe3: return ModifierKey{Fn::leftControl, Mods::ctrl};
    case 0xffe4: return ModifierKey{Fn::rightControl, Mods::ctrl};
    case 0xffe5: return ModifierKey{Fn::capsLock, Mods::capsLock};
    case 0xffe7: return ModifierKey{Fn::leftMeta, Mods::meta};
    case 0xffe8: return ModifierKey{Fn::rightMeta, Mods::meta};
    case 0xffe9: return ModifierKey{Fn::leftAlt, Mods::alt};
    case 0xffea: return ModifierKey{Fn::rightAlt, Mods::alt};
    case 0xffeb: return ModifierKey{Fn::leftSuper, Mods::super};
    case 0xffec: return ModifierKey{Fn::rightSuper, Mods::super};
    case 0xffed: return ModifierKey{Fn::leftHyper, Mods::hyper};
    case 0xffee: return ModifierKey{Fn::rightHyper, Mods::hyper};
    case 0xfe03: return ModifierKey{Fn::isoLevel3Shift, 0};
    case 0xfe11: return ModifierKey{Fn::isoLevel5Shift, 0};
    default: break;
    }
    switch (e.key()) {
    case Qt::Key_Shift: return ModifierKey{Fn::leftShift, Mods::shift};
    case Qt::Key_Control: return ModifierKey{Fn::leftControl, Mods::ctrl};
    case Qt::Key_Alt: return ModifierKey{Fn::leftAlt, Mods::alt};
    case Qt::Key_Meta:
    case Qt::Key_Super_L: return ModifierKey{Fn::leftSuper, Mods::super};
    case Qt::Key_Super_R: return ModifierKey{Fn::rightSuper, Mods::super};
    case Qt::Key_Hyper_L: return ModifierKey{Fn::leftHyper, Mods::hyper};
    case Qt::Key_Hyper_R: return ModifierKey{Fn::rightHyper, Mods::hyper};
    case Qt::Key_AltGr: return ModifierKey{Fn::isoLevel3Shift, 0};
    case Qt::Key_CapsLock: return ModifierKey{Fn::capsLock, Mods::capsLock};
    default: return std::nullopt;
    }
}

Mods kittyModifiers(const QKeyEvent& e, bool includeAlt)
{
    const Qt::KeyboardModifiers m = e.modifiers();
    Mods mods;
    if (m & Qt::ShiftModifier)
        mods.rawValue |= Mods::shift;
    if ((m & Qt::AltModifier) && includeAlt)
        mods.rawValue |= Mods::alt;
    if (m & Qt::ControlModifier)
        mods.rawValue |= Mods::ctrl;
    if (m & Qt::MetaModifier)
        mods.rawValue |= Mods::super;
    if (e.nativeModifiers() & xLockMask)
        mods.rawValue |= Mods::capsLock;
    return mods;
}

std::optional<std::string> keypadText(Fn key, const QKeyEvent& e)
{
    const bool typed =
        (key >= Fn::keypad0 && key <= Fn::keypadAdd) || key == Fn::keypadEqual || key == Fn::keypadSeparator;
    if (!typed || e.text().isEmpty())
        return std::nullopt;
    return e.text().toStdString();
}

bool isPlainPrintableText(std::string_view text)
{
    if (text.empty())
        return false;
    for (char32_t c : QString::fromUtf8(text.data(), qsizetype(text.size())).toUcs4())
        if (c < 0x20 || (c >= 0x7f && c <= 0x9f))
            return false;
    return true;
}

char32_t firstScalar(const QString& s)
{
    const QList<uint> scalars = s.toUcs4();
    return scalars.isEmpty() ? 0 : char32_t(scalars.front());
}

}  // namespace

bool KeyboardInput::sendKittyKeyEvent(const KittyKeyEvent& event)
{
    const Terminal& terminal = view_.terminal();
    const auto bytes = event.encode(terminal.keyboardEnhancementFlags(), terminal.applicationCursor,
                                    terminal.applicationKeypad, backspaceSendsControlH_);
    if (!bytes)
        return false;
    view_.send(std::string_view(*bytes));
    return true;
}

std::optional<KittyKeyEvent> KeyboardInput::kittyKeyEvent(const QKeyEvent& e, KittyKeyboardEventType type,
                                                          std::optional<std::string> text) const
{
    // The key is the layout's unshifted character. Qt names letters by their
    // capital; a shifted symbol's own key comes from the base layout.
    const bool shift = e.modifiers().testFlag(Qt::ShiftModifier);
    const char32_t base = usBaseLayoutKey(e.nativeScanCode());
    char32_t key = 0;
    const int qtKey = e.key();
    if (qtKey >= 0x20 && qtKey < 0x110000 && QChar::isPrint(char32_t(qtKey)))
        key = char32_t(QChar::toLower(char32_t(qtKey)));
    else
        key = char32_t(QChar::toLower(firstScalar(e.text())));
    if (key < 0x20)
        return std::nullopt;
    if (shift && base && QChar::toUpper(key) == key && QChar::toLower(key) == key && key != base)
        key = base;

    KittyKeyEvent event;
    event.key = KittyKey::unicodeKey(key);
    event.eventType = type;
    event.text = std::move(text);
    if (shift) {
        const char32_t typed = firstScalar(e.text());
        if (typed >= 0x20 && typed != 0x7f)
            event.shiftedKey = typed;
        else if (const char32_t upper = QChar::toUpper(key); upper != key)
            event.shiftedKey = upper;
    }
    if (base && base != key)
        event.baseLayoutKey = base;
    event.modifiers = kittyModifiers(e, optionAsMetaKey_);
    event.composing = kittyIsComposing_;
    return event;
}

bool KeyboardInput::kittyKeyPress(QKeyEvent* e)
{
    const KittyKeyboardFlags flags = view_.terminal().keyboardEnhancementFlags();

    if (const auto modifier = modifierKey(*e)) {
        if (!flags.contains(KittyKeyboardFlags::reportAllKeys) || kittyIsComposing_)
            return true;
        // The modifiers as they are after the press.
        KittyKeyEvent event;
        event.key = KittyKey::functionalKey(modifier->key);
        event.modifiers = kittyModifiers(*e, true);
        event.modifiers.rawValue |= modifier->bit;
        event.eventType = e->isAutoRepeat() && flags.contains(KittyKeyboardFlags::reportEvents)
                              ? KittyKeyboardEventType::repeatPress
                              : KittyKeyboardEventType::press;
        sendKittyKeyEvent(event);
        return true;
    }

    const bool reportEvents = flags.contains(KittyKeyboardFlags::reportEvents);
    const KittyKeyboardEventType type =
        e->isAutoRepeat() && reportEvents ? KittyKeyboardEventType::repeatPress : KittyKeyboardEventType::press;
    const Qt::KeyboardModifiers m = e->modifiers();
    if (const auto fn = functionalKey(*e)) {
        KittyKeyEvent event;
        event.key = KittyKey::functionalKey(*fn);
        event.modifiers = kittyModifiers(*e, optionAsMetaKey_);
        event.eventType = type;
        event.text = keypadText(*fn, *e);
        event.composing = kittyIsComposing_;
        if (sendKittyKeyEvent(event))
            return true;
    }
    if ((m & Qt::ControlModifier) || ((m & Qt::AltModifier) && optionAsMetaKey_)) {
        if (auto event = kittyKeyEvent(*e, type, std::nullopt); event && sendKittyKeyEvent(*event))
            return true;
    }

    // The text the key types; the press itself is the pending event.
    const std::string text = e->text().toStdString();
    if (text.empty())
        return false;
    kittyIsComposing_ = false;
    if (!optionAsMetaKey_ && (m & Qt::AltModifier) && !(m & (Qt::ControlModifier | Qt::MetaModifier)) &&
        isPlainPrintableText(text)) {
        // Characters composed with Alt are typed, not encoded.
        view_.send(std::string_view(text));
        return true;
    }
    const KittyKeyboardEventType pendingType =
        e->isAutoRepeat() && reportEvents && flags.contains(KittyKeyboardFlags::reportAllKeys)
            ? KittyKeyboardEventType::repeatPress
            : KittyKeyboardEventType::press;
    std::optional<KittyKeyEvent> event;
    if (e->text().toUcs4().size() == 1)
        event = kittyKeyEvent(*e, pendingType, text);
    if (!event)
        event = kittyTextEvent(text);
    sendKittyKeyEvent(*event);
    return true;
}

KittyKeyEvent KeyboardInput::kittyTextEvent(std::string_view text) const
{
    KittyKeyEvent event;
    event.key = KittyKey::noKey();
    event.text = std::string(text);
    event.composing = kittyIsComposing_;
    return event;
}

void KeyboardInput::sendKittyText(std::string_view text)
{
    kittyIsComposing_ = false;
    sendKittyKeyEvent(kittyTextEvent(text));
}

void KeyboardInput::kittyKeyRelease(QKeyEvent* e)
{
    const KittyKeyboardFlags flags = view_.terminal().keyboardEnhancementFlags();
    // Qt reports auto-repeat as release and press pairs: only the presses count.
    if (e->isAutoRepeat() || !flags.contains(KittyKeyboardFlags::reportEvents))
        return;
    const bool allKeys = flags.contains(KittyKeyboardFlags::reportAllKeys);
    if (const auto modifier = modifierKey(*e)) {
        if (!allKeys || kittyIsComposing_)
            return;
        KittyKeyEvent event;
        event.key = KittyKey::functionalKey(modifier->key);
        event.modifiers = kittyModifiers(*e, true);
        event.modifiers.rawValue &= ~modifier->bit;
        event.eventType = KittyKeyboardEventType::release;
        sendKittyKeyEvent(event);
        return;
    }
    const Qt::KeyboardModifiers m = e->modifiers();
    const auto fn = functionalKey(*e);
    // Return, Tab and Backspace are text keys here: their release needs
    // "report all keys".
    const bool textLike = !fn || *fn == Fn::enter || *fn == Fn::tab || *fn == Fn::backspace || *fn == Fn::escape;
    if (textLike && !(m & Qt::ControlModifier) && !allKeys && !((m & Qt::AltModifier) && optionAsMetaKey_))
        return;
    if (fn) {
        if (!allKeys && (*fn == Fn::enter || *fn == Fn::tab || *fn == Fn::backspace))
            return;
        KittyKeyEvent event;
        event.key = KittyKey::functionalKey(*fn);
        event.modifiers = kittyModifiers(*e, optionAsMetaKey_);
        event.eventType = KittyKeyboardEventType::release;
        event.composing = kittyIsComposing_;
        sendKittyKeyEvent(event);
        return;
    }
    if (auto event = kittyKeyEvent(*e, KittyKeyboardEventType::release, std::nullopt))
        sendKittyKeyEvent(*event);
}

}  // namespace ravelgrid
