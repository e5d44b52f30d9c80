#include "ravelgrid/protocols/KittyKeyEvent.h"

#include "ravelgrid/screen/Utf8.h"

#include <string_view>
#include <vector>

namespace ravelgrid {

namespace {

using Key = KittyFunctionalKey;
using Mods = KittyKeyboardModifiers;
using Flags = KittyKeyboardFlags;
using Form = KittyFunctionalKeyCode::Form;

constexpr std::string_view kCsi = "\x1b[";
constexpr std::string_view kSs3 = "\x1bO";

int index(Key key)
{
    return static_cast<int>(key);
}

bool inRange(Key key, Key first, Key last)
{
    return index(key) >= index(first) && index(key) <= index(last);
}

bool isModifierKey(Key key)
{
    return inRange(key, Key::leftShift, Key::isoLevel5Shift);
}
bool isKeypadKey(Key key)
{
    return inRange(key, Key::keypad0, Key::keypadBegin);
}

bool isControlScalar(char32_t s)
{
    return s < 0x20 || (s >= 0x7F && s <= 0x9F);
}

std::vector<char32_t> scalarsOf(std::string_view text)
{
    std::vector<char32_t> out;
    for (size_t pos = 0; pos < text.size();)
        out.push_back(utf8::next(text, pos));
    return out;
}

bool hasControlScalar(std::string_view text)
{
    for (char32_t s : scalarsOf(text)) {
        if (isControlScalar(s))
            return true;
    }
    return false;
}

bool isValidScalar(char32_t s)
{
    return s <= 0x10FFFF && !(s >= 0xD800 && s <= 0xDFFF);
}

std::optional<uint8_t> controlByte(char32_t key)
{
    if (key >= 'a' && key <= 'z')
        return static_cast<uint8_t>(key - 'a' + 1);
    switch (key) {
    case ' ': return 0;
    case '/': return 31;
    case '0': return 48;
    case '1': return 49;
    case '2': return 0;
    case '3': return 27;
    case '4': return 28;
    case '5': return 29;
    case '6': return 30;
    case '7': return 31;
    case '8': return 127;
    case '9': return 57;
    case '?': return 127;
    case '@': return 0;
    case '[': return 27;
    case '\\': return 28;
    case ']': return 29;
    case '^': return 30;
    case '_': return 31;
    case '~': return 30;
    default: return std::nullopt;
    }
}

char32_t asciiLower(char32_t c)
{
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

class Encoder {
public:
    Encoder(const KittyKeyEvent& event, Flags flags, bool applicationCursor, bool applicationKeypad,
            bool backspaceSendsControlH)
        : e_(event), flags_(flags), applicationCursor_(applicationCursor), applicationKeypad_(applicationKeypad),
          backspaceSendsControlH_(backspaceSendsControlH)
    {}

    std::optional<std::string> run();

private:
    bool has(uint32_t flag) const { return flags_.contains(flag); }
    bool isRelease() const { return e_.eventType == KittyKeyboardEventType::release; }
    bool isFunctional(Key key) const { return e_.key.kind == KittyKey::Kind::functional && e_.key.functional == key; }
    // Only repeats and releases carry the event field, and only when asked.
    bool eventFieldDue() const { return has(Flags::reportEvents) && e_.eventType != KittyKeyboardEventType::press; }

    std::string csiU(uint32_t code, uint32_t mods, bool withText) const;
    std::string letterForm(char letter, uint32_t mods) const;
    std::string tildeForm(uint32_t number, uint32_t mods) const;
    static std::string legacyLetter(char letter, uint32_t p, bool applicationCursor);
    static std::string legacyTilde(uint32_t number, uint32_t p);

    std::optional<std::string> kittyForms() const;
    std::optional<std::string> legacy() const;
    std::optional<std::string> legacyText(uint32_t mods) const;
    std::optional<std::string> legacyFunctionalNoFlags(uint32_t mods) const;
    std::optional<std::string> legacyBytes(Key key, uint32_t mods) const;

    const KittyKeyEvent& e_;
    Flags flags_;
    bool applicationCursor_;
    bool applicationKeypad_;
    bool backspaceSendsControlH_;
    bool reportText_ = false;
};

std::string Encoder::csiU(uint32_t code, uint32_t mods, bool withText) const
{
    std::string out(kCsi);
    out += std::to_string(code);
    if (has(Flags::reportAlternates)) {
        const bool shifted = (mods & Mods::shift) && e_.shiftedKey;
        if (shifted)
            out += ':' + std::to_string(static_cast<uint32_t>(*e_.shiftedKey));
        if (e_.baseLayoutKey) {
            out += shifted ? ":" : "::";
            out += std::to_string(static_cast<uint32_t>(*e_.baseLayoutKey));
        }
    }
    const bool eventField = eventFieldDue();
    const bool modifierField = mods != 0 || eventField;
    if (modifierField) {
        out += ';' + std::to_string(mods + 1);
        if (eventField)
            out += ':' + std::to_string(static_cast<int>(e_.eventType));
    }
    if (withText && reportText_ && e_.text) {
        std::string field;
        for (char32_t s : scalarsOf(*e_.text)) {
            if (isControlScalar(s))
                continue;
            if (!field.empty())
                field += ':';
            field += std::to_string(static_cast<uint32_t>(s));
        }
        if (!field.empty())
            out += (modifierField ? ";" : ";;") + field;
    }
    out += 'u';
    return out;
}

std::string Encoder::letterForm(char letter, uint32_t mods) const
{
    std::string out(kCsi);
    const bool eventField = eventFieldDue();
    if (mods != 0 || eventField) {
        out += "1;" + std::to_string(mods + 1);
        if (eventField)
            out += ':' + std::to_string(static_cast<int>(e_.eventType));
    }
    out += letter;
    return out;
}

std::string Encoder::tildeForm(uint32_t number, uint32_t mods) const
{
    std::string out(kCsi);
    out += std::to_string(number);
    const bool eventField = eventFieldDue();
    if (mods != 0 || eventField) {
        out += ';' + std::to_string(mods + 1);
        if (eventField)
            out += ':' + std::to_string(static_cast<int>(e_.eventType));
    }
    out += '~';
    return out;
}

std::string Encoder::legacyLetter(char letter, uint32_t p, bool applicationCursor)
{
    if (p != 1)
        return std::string(kCsi) + "1;" + std::to_string(p) + letter;
    return std::string(applicationCursor ? kSs3 : kCsi) + letter;
}

std::string Encoder::legacyTilde(uint32_t number, uint32_t p)
{
    std::string out = std::string(kCsi) + std::to_string(number);
    if (p != 1)
        out += ';' + std::to_string(p);
    return out + '~';
}

std::optional<std::string> Encoder::run()
{
    const bool allKeys = has(Flags::reportAllKeys);
    reportText_ = allKeys && has(Flags::reportText) && !isRelease() &&
                  (e_.modifiers.rawValue & ~(Mods::shift | Mods::capsLock | Mods::numLock)) == 0;
    const bool functional = e_.key.kind == KittyKey::Kind::functional;
    const bool modifierKey = functional && isModifierKey(e_.key.functional);

    if (isRelease() && !has(Flags::reportEvents))
        return std::nullopt;
    if (has(Flags::reportEvents) && !allKeys && isRelease() &&
        (isFunctional(Key::enter) || isFunctional(Key::tab) || isFunctional(Key::backspace))) {
        return std::nullopt;
    }
    if (!allKeys && modifierKey)
        return std::nullopt;
    if (e_.composing && !(modifierKey && allKeys))
        return std::nullopt;

    if (e_.text && !e_.text->empty()) {
        if ((isFunctional(Key::enter) || isFunctional(Key::backspace)) && !hasControlScalar(*e_.text)) {
            if (isFunctional(Key::backspace))
                return std::nullopt;
            return *e_.text;
        }
        if (allKeys)
            return kittyForms();
        if (functional)
            return legacy();
        if (e_.key.kind == KittyKey::Kind::unicode && e_.modifiers.any(Mods::alt | Mods::ctrl) &&
            has(Flags::disambiguate)) {
            return legacy();
        }
        if (isRelease())
            return std::nullopt;
        return *e_.text;
    }
    return allKeys ? kittyForms() : legacy();
}

std::optional<std::string> Encoder::kittyForms() const
{
    const uint32_t mods = e_.modifiers.rawValue;
    switch (e_.key.kind) {
    case KittyKey::Kind::none: return csiU(0, mods, false);
    case KittyKey::Kind::unicode: return csiU(static_cast<uint32_t>(e_.key.scalar), mods, true);
    case KittyKey::Kind::functional: break;
    }
    const Key key = e_.key.functional;
    if (key == Key::escape)
        return csiU(27, mods, false);
    const KittyFunctionalKeyCode code = kittyFunctionalKeyCode(key);
    switch (code.form) {
    case Form::letter: return letterForm(static_cast<char>(code.number), mods);
    case Form::tilde: return tildeForm(code.number, mods);
    case Form::u: return csiU(code.number, mods, true);
    }
    return std::nullopt;
}

std::optional<std::string> Encoder::legacy() const
{
    uint32_t mods = e_.modifiers.rawValue;
    if (flags_.rawValue == 0)
        mods &= ~(Mods::capsLock | Mods::numLock);
    const bool disambiguate = has(Flags::disambiguate) || has(Flags::reportAllKeys);

    switch (e_.key.kind) {
    case KittyKey::Kind::unicode: {
        const uint32_t scalar = static_cast<uint32_t>(e_.key.scalar);
        if (disambiguate)
            return csiU(scalar, mods, false);
        if (auto text = legacyText(mods))
            return text;
        return csiU(scalar, mods, false);
    }
    case KittyKey::Kind::none: return csiU(0, mods, false);
    case KittyKey::Kind::functional: break;
    }
    const Key key = e_.key.functional;
    if (flags_.rawValue == 0)
        return legacyFunctionalNoFlags(mods);

    const bool hasMods = mods != 0 || eventFieldDue();
    if (key == Key::enter || key == Key::tab || key == Key::backspace) {
        if (disambiguate && hasMods)
            return csiU(kittyFunctionalKeyCode(key).number, mods, false);
        return legacyBytes(key, mods);
    }
    if (key == Key::escape) {
        if (disambiguate)
            return csiU(27, mods, false);
        return legacyBytes(key, mods);
    }
    const KittyFunctionalKeyCode code = kittyFunctionalKeyCode(key);
    switch (code.form) {
    case Form::letter: {
        const char letter = static_cast<char>(code.number);
        if (disambiguate || hasMods)
            return letterForm(letter, mods);
        if (key == Key::f1 || key == Key::f2 || key == Key::f4)
            return std::string(kSs3) + letter;
        return std::string(applicationCursor_ ? kSs3 : kCsi) + letter;
    }
    case Form::tilde: return tildeForm(code.number, mods);
    case Form::u: return csiU(code.number, mods, false);
    }
    return std::nullopt;
}

std::optional<std::string> Encoder::legacyText(uint32_t mods) const
{
    const char32_t key = e_.key.scalar;
    if (isRelease() || !isValidScalar(key))
        return std::nullopt;
    if (mods & (Mods::super | Mods::hyper | Mods::meta))
        return std::nullopt;
    if ((mods & Mods::shift) && (mods & Mods::ctrl))
        return std::nullopt;
    std::string out;
    if (mods & Mods::alt)
        out += '\x1b';
    if (mods & Mods::ctrl) {
        std::optional<uint8_t> byte = controlByte(asciiLower(key));
        if (!byte)
            byte = controlByte(key);
        if (byte) {
            out += static_cast<char>(*byte);
            return out;
        }
    }
    if (e_.text && !e_.text->empty()) {
        out += *e_.text;
    } else if ((mods & Mods::shift) && e_.shiftedKey && isValidScalar(*e_.shiftedKey)) {
        utf8::append(out, *e_.shiftedKey);
    } else {
        utf8::append(out, key);
    }
    return out;
}

std::optional<std::string> Encoder::legacyFunctionalNoFlags(uint32_t mods) const
{
    const Key key = e_.key.functional;
    if (isRelease() || (mods & (Mods::super | Mods::hyper | Mods::meta)))
        return std::nullopt;
    const uint32_t p = mods + 1;
    const bool alt = mods & Mods::alt;

    if (isKeypadKey(key)) {
        static constexpr char kApplicationLetters[] = "pqrstuvwxynojmkMXltvxrysqwpnu";
        if (applicationKeypad_ && mods == 0) {
            return std::string(kSs3) + kApplicationLetters[index(key) - index(Key::keypad0)];
        }
        if (key == Key::keypadEnter)
            return std::string(alt ? "\x1b\r" : "\r");
        if (e_.text && !e_.text->empty())
            return (alt ? std::string("\x1b") : std::string()) + *e_.text;
        switch (key) {
        case Key::keypadLeft: return legacyLetter('D', p, false);
        case Key::keypadRight: return legacyLetter('C', p, false);
        case Key::keypadUp: return legacyLetter('A', p, false);
        case Key::keypadDown: return legacyLetter('B', p, false);
        case Key::keypadHome: return legacyLetter('H', p, false);
        case Key::keypadEnd: return legacyLetter('F', p, false);
        case Key::keypadPageUp: return legacyTilde(5, p);
        case Key::keypadPageDown: return legacyTilde(6, p);
        case Key::keypadInsert: return legacyTilde(2, p);
        case Key::keypadDelete: return legacyTilde(3, p);
        default: return std::nullopt;
        }
    }

    // F13 and up are sent as shifted (F13-F24) or control (F25-F35) F1-F12.
    auto functionKey = [](int n, uint32_t param) -> std::string {
        static constexpr char kLetters[] = "PQRS";
        static constexpr uint32_t kTilde[] = {15, 17, 18, 19, 20, 21, 23, 24};
        if (n < 4) {
            if (param == 1)
                return std::string(kSs3) + kLetters[n];
            return legacyLetter(kLetters[n], param, false);
        }
        return legacyTilde(kTilde[n - 4], param);
    };
    if (inRange(key, Key::f1, Key::f12))
        return functionKey(index(key) - index(Key::f1), p);
    if (inRange(key, Key::f13, Key::f24))
        return functionKey(index(key) - index(Key::f13), 2);
    if (inRange(key, Key::f25, Key::f35))
        return functionKey(index(key) - index(Key::f25), 5);

    switch (key) {
    case Key::insert: return legacyTilde(2, p);
    case Key::delete_: return legacyTilde(3, p);
    case Key::pageUp: return legacyTilde(5, p);
    case Key::pageDown: return legacyTilde(6, p);
    case Key::up: return legacyLetter('A', p, applicationCursor_);
    case Key::down: return legacyLetter('B', p, applicationCursor_);
    case Key::right: return legacyLetter('C', p, applicationCursor_);
    case Key::left: return legacyLetter('D', p, applicationCursor_);
    case Key::home: return legacyLetter('H', p, applicationCursor_);
    case Key::end: return legacyLetter('F', p, applicationCursor_);
    case Key::escape:
    case Key::enter:
    case Key::tab:
    case Key::backspace: return legacyBytes(key, mods);
    default: return std::nullopt;
    }
}

std::optional<std::string> Encoder::legacyBytes(Key key, uint32_t mods) const
{
    if (isRelease())
        return std::nullopt;
    std::string out;
    if (mods & Mods::alt)
        out += '\x1b';
    switch (key) {
    case Key::escape: out += '\x1b'; break;
    case Key::enter: out += '\r'; break;
    case Key::tab: out += (mods & Mods::shift) ? std::string(kCsi) + 'Z' : std::string("\t"); break;
    case Key::backspace: out += (backspaceSendsControlH_ || (mods & Mods::ctrl)) ? '\x08' : '\x7f'; break;
    default: return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<KittyKeyboardEventType> kittyKeyboardEventType(int rawValue)
{
    if (rawValue < 1 || rawValue > 3)
        return std::nullopt;
    return static_cast<KittyKeyboardEventType>(rawValue);
}

KittyFunctionalKeyCode kittyFunctionalKeyCode(KittyFunctionalKey key)
{
    switch (key) {
    case Key::escape: return {Form::u, 27};
    case Key::enter: return {Form::u, 13};
    case Key::tab: return {Form::u, 9};
    case Key::backspace: return {Form::u, 127};
    case Key::insert: return {Form::tilde, 2};
    case Key::delete_: return {Form::tilde, 3};
    case Key::pageUp: return {Form::tilde, 5};
    case Key::pageDown: return {Form::tilde, 6};
    case Key::up: return {Form::letter, 'A'};
    case Key::down: return {Form::letter, 'B'};
    case Key::right: return {Form::letter, 'C'};
    case Key::left: return {Form::letter, 'D'};
    case Key::home: return {Form::letter, 'H'};
    case Key::end: return {Form::letter, 'F'};
    case Key::f1: return {Form::letter, 'P'};
    case Key::f2: return {Form::letter, 'Q'};
    case Key::f3: return {Form::tilde, 13};
    case Key::f4: return {Form::letter, 'S'};
    case Key::menu: return {Form::u, 57363};
    case Key::capsLock: return {Form::u, 57358};
    case Key::scrollLock: return {Form::u, 57359};
    case Key::numLock: return {Form::u, 57360};
    case Key::printScreen: return {Form::u, 57361};
    case Key::pause: return {Form::u, 57362};
    default: break;
    }
    if (inRange(key, Key::f5, Key::f12)) {
        static constexpr uint32_t kTilde[] = {15, 17, 18, 19, 20, 21, 23, 24};
        return {Form::tilde, kTilde[index(key) - index(Key::f5)]};
    }
    if (inRange(key, Key::f13, Key::f35))
        return {Form::u, 57376 + static_cast<uint32_t>(index(key) - index(Key::f13))};
    // Keypad, media and modifier keys: 56 codes from 57399 in case order.
    return {Form::u, 57399 + static_cast<uint32_t>(index(key) - index(Key::keypad0))};
}

std::optional<std::string> KittyKeyEvent::encode(KittyKeyboardFlags flags, bool applicationCursor,
                                                 bool applicationKeypad, bool backspaceSendsControlH) const
{
    return Encoder(*this, flags, applicationCursor, applicationKeypad, backspaceSendsControlH).run();
}

}  // namespace ravelgrid
