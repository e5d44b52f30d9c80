#pragma once

#include "ravelgrid/screen/KittyKeyboardFlags.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ravelgrid {

struct KittyKeyboardModifiers {
    uint32_t rawValue = 0;

    static constexpr uint32_t shift = 1;
    static constexpr uint32_t alt = 2;
    static constexpr uint32_t ctrl = 4;
    static constexpr uint32_t super = 8;
    static constexpr uint32_t hyper = 16;
    static constexpr uint32_t meta = 32;
    static constexpr uint32_t capsLock = 64;
    static constexpr uint32_t numLock = 128;

    constexpr bool contains(uint32_t bits) const { return (rawValue & bits) == bits; }
    constexpr bool any(uint32_t bits) const { return (rawValue & bits) != 0; }
    friend bool operator==(const KittyKeyboardModifiers&, const KittyKeyboardModifiers&) = default;
};

enum class KittyKeyboardEventType : int { press = 1, repeatPress = 2, release = 3 };

// Nothing for a raw value outside 1...3.
std::optional<KittyKeyboardEventType> kittyKeyboardEventType(int rawValue);

enum class KittyFunctionalKey : uint8_t {
    escape,
    enter,
    tab,
    backspace,
    insert,
    delete_,
    up,
    down,
    left,
    right,
    home,
    end,
    pageUp,
    pageDown,
    f1,
    f2,
    f3,
    f4,
    f5,
    f6,
    f7,
    f8,
    f9,
    f10,
    f11,
    f12,
    f13,
    f14,
    f15,
    f16,
    f17,
    f18,
    f19,
    f20,
    f21,
    f22,
    f23,
    f24,
    f25,
    f26,
    f27,
    f28,
    f29,
    f30,
    f31,
    f32,
    f33,
    f34,
    f35,
    menu,
    capsLock,
    scrollLock,
    numLock,
    printScreen,
    pause,
    keypad0,
    keypad1,
    keypad2,
    keypad3,
    keypad4,
    keypad5,
    keypad6,
    keypad7,
    keypad8,
    keypad9,
    keypadDecimal,
    keypadDivide,
    keypadMultiply,
    keypadSubtract,
    keypadAdd,
    keypadEnter,
    keypadEqual,
    keypadSeparator,
    keypadLeft,
    keypadRight,
    keypadUp,
    keypadDown,
    keypadPageUp,
    keypadPageDown,
    keypadHome,
    keypadEnd,
    keypadInsert,
    keypadDelete,
    keypadBegin,
    mediaPlay,
    mediaPause,
    mediaPlayPause,
    mediaReverse,
    mediaStop,
    mediaFastForward,
    mediaRewind,
    mediaTrackNext,
    mediaTrackPrevious,
    mediaRecord,
    volumeDown,
    volumeUp,
    volumeMute,
    leftShift,
    leftControl,
    leftAlt,
    leftSuper,
    leftHyper,
    leftMeta,
    rightShift,
    rightControl,
    rightAlt,
    rightSuper,
    rightHyper,
    rightMeta,
    isoLevel3Shift,
    isoLevel5Shift,
};

inline constexpr int kKittyFunctionalKeyCount = static_cast<int>(KittyFunctionalKey::isoLevel5Shift) + 1;

// How a functional key is written in the kitty forms: CSI number u,
// CSI number ~, or CSI 1 letter.
struct KittyFunctionalKeyCode {
    enum class Form : uint8_t { u, tilde, letter };
    Form form;
    uint32_t number;  // the letter itself for the letter form
};

KittyFunctionalKeyCode kittyFunctionalKeyCode(KittyFunctionalKey key);

// The key of an event: a Unicode scalar (the unshifted key of the layout),
// a functional key, or none.
struct KittyKey {
    enum class Kind : uint8_t { unicode, functional, none };
    Kind kind = Kind::none;
    char32_t scalar = 0;
    KittyFunctionalKey functional = KittyFunctionalKey::escape;

    static KittyKey unicodeKey(char32_t s) { return {Kind::unicode, s, KittyFunctionalKey::escape}; }
    static KittyKey functionalKey(KittyFunctionalKey k) { return {Kind::functional, 0, k}; }
    static KittyKey noKey() { return {}; }
};

struct KittyKeyEvent {
    KittyKey key;
    KittyKeyboardModifiers modifiers;
    KittyKeyboardEventType eventType = KittyKeyboardEventType::press;
    std::optional<std::string> text;  // UTF-8
    std::optional<char32_t> shiftedKey;
    std::optional<char32_t> baseLayoutKey;
    bool composing = false;

    // The bytes for the child under the active flags; nothing when the event
    // sends nothing.
    std::optional<std::string> encode(KittyKeyboardFlags flags, bool applicationCursor, bool applicationKeypad,
                                      bool backspaceSendsControlH) const;
};

}  // namespace ravelgrid
