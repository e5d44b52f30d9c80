#include "ravelgrid/protocols/KittyKeyEvent.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ravelgrid {
namespace {

using Key = KittyFunctionalKey;
using M = KittyKeyboardModifiers;
using F = KittyKeyboardFlags;
using T = KittyKeyboardEventType;

constexpr uint32_t kNone = 0;
constexpr uint32_t kDis = F::disambiguate;
constexpr uint32_t kEvents = F::reportEvents;
constexpr uint32_t kAlternates = F::reportAlternates;
constexpr uint32_t kAll = F::reportAllKeys;
constexpr uint32_t kText = F::reportText;

KittyKeyEvent ch(char32_t c, uint32_t mods = 0, std::optional<std::string> text = std::nullopt)
{
    KittyKeyEvent e;
    e.key = KittyKey::unicodeKey(c);
    e.modifiers.rawValue = mods;
    e.text = std::move(text);
    return e;
}

KittyKeyEvent fn(Key k, uint32_t mods = 0, std::optional<std::string> text = std::nullopt)
{
    KittyKeyEvent e;
    e.key = KittyKey::functionalKey(k);
    e.modifiers.rawValue = mods;
    e.text = std::move(text);
    return e;
}

KittyKeyEvent as(KittyKeyEvent e, T type)
{
    e.eventType = type;
    return e;
}

struct Case {
    const char* what;
    uint32_t flags;
    KittyKeyEvent event;
    std::optional<std::string> expected;
    bool applicationCursor = false;
    bool applicationKeypad = false;
    bool backspaceSendsControlH = false;
};

std::string printable(const std::optional<std::string>& bytes)
{
    if (!bytes)
        return "(nothing)";
    std::string out;
    for (unsigned char c : *bytes)
        out += c == 0x1b               ? std::string("ESC")
               : c < 0x20 || c == 0x7f ? "<" + std::to_string(c) + ">"
                                       : std::string(1, static_cast<char>(c));
    return out;
}

void runCases(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        const auto got = c.event.encode(KittyKeyboardFlags{c.flags}, c.applicationCursor, c.applicationKeypad,
                                        c.backspaceSendsControlH);
        EXPECT_EQ(printable(got), printable(c.expected)) << c.what;
    }
}

KittyKeyEvent withAlternates(KittyKeyEvent e, std::optional<char32_t> shifted, std::optional<char32_t> base)
{
    e.shiftedKey = shifted;
    e.baseLayoutKey = base;
    return e;
}

KittyKeyEvent composing(KittyKeyEvent e)
{
    e.composing = true;
    return e;
}

TEST(KittyKeyEncoder, DocumentedExamples)
{
    runCases({
        {"up", kNone, fn(Key::up), "\x1b[A"},
        {"up, application cursor", kNone, fn(Key::up), "\x1bOA", true},
        {"shift+up", kNone, fn(Key::up, M::shift), "\x1b[1;2A"},
        {"ctrl+a", kNone, ch('a', M::ctrl), "\x01"},
        {"ctrl+shift+a", kNone, ch('a', M::ctrl | M::shift), "\x1b[97;6u"},
        {"alt+x", kNone, ch('x', M::alt), "\x1bx"},
        {"text, no flags", kNone, ch('q', 0, "q"), "q"},
        {"ctrl+f5", kNone, fn(Key::f5, M::ctrl), "\x1b[15;5~"},
        {"f13", kNone, fn(Key::f13), "\x1b[1;2P"},
        {"escape, disambiguate", kDis, fn(Key::escape, 0, "\x1b"), "\x1b[27u"},
        {"ctrl+a text, disambiguate", kDis, ch('a', M::ctrl, "\x01"), "\x1b[97;5u"},
        {"ctrl+a, disambiguate", kDis, ch('a', M::ctrl), "\x1b[97;5u"},
        {"a, disambiguate", kDis, ch('a', 0, "a"), "a"},
        {"a, all keys", kAll, ch('a', 0, "a"), "\x1b[97u"},
        {"a, all keys and text", kAll | kText, ch('a', 0, "a"), "\x1b[97;;97u"},
        {"shift+a, alternates and text", kAll | kAlternates | kText,
         withAlternates(ch('a', M::shift, "A"), U'A', std::nullopt), "\x1b[97:65;2;65u"},
        {"release of a", kAll | kEvents, as(ch('a', 0, "a"), T::release), "\x1b[97;1:3u"},
        {"press of a carries no event field", kAll | kEvents, ch('a', 0, "a"), "\x1b[97u"},
        {"release of enter, events only", kEvents, as(fn(Key::enter, 0, "\r"), T::release), std::nullopt},
        {"left shift", kNone, fn(Key::leftShift, M::shift), std::nullopt},
        {"left shift, disambiguate", kDis, fn(Key::leftShift, M::shift), std::nullopt},
        {"left shift, all keys", kAll, fn(Key::leftShift), "\x1b[57441u"},
        {"caps lock on, all keys", kAll, ch('a', M::capsLock, "a"), "\x1b[97;65u"},
        {"backspace as ^H", kNone, fn(Key::backspace), "\x08", false, false, true},
        {"alt+backspace", kNone, fn(Key::backspace, M::alt), "\x1b\x7f"},
    });
}

TEST(KittyKeyEncoder, LegacyWithoutFlags)
{
    runCases({
        {"release", kNone, as(ch('a', 0, "a"), T::release), std::nullopt},
        {"shift+tab", kNone, fn(Key::tab, M::shift), "\x1b[Z"},
        {"enter", kNone, fn(Key::enter, 0, "\r"), "\r"},
        {"enter text without control character", kNone, fn(Key::enter, 0, "x"), "x"},
        {"backspace text without control character", kNone, fn(Key::backspace, 0, "x"), std::nullopt},
        {"ctrl+backspace", kNone, fn(Key::backspace, M::ctrl), "\x08"},
        {"f1", kNone, fn(Key::f1), "\x1bOP"},
        {"ctrl+f1", kNone, fn(Key::f1, M::ctrl), "\x1b[1;5P"},
        {"f3 is a letter here", kNone, fn(Key::f3), "\x1bOR"},
        {"f12", kNone, fn(Key::f12), "\x1b[24~"},
        {"f24 ignores held keys", kNone, fn(Key::f24, M::alt), "\x1b[24;2~"},
        {"f25", kNone, fn(Key::f25), "\x1b[1;5P"},
        {"f35", kNone, fn(Key::f35), "\x1b[23;5~"},
        {"delete", kNone, fn(Key::delete_), "\x1b[3~"},
        {"alt+page down", kNone, fn(Key::pageDown, M::alt), "\x1b[6;3~"},
        {"home, application cursor", kNone, fn(Key::home), "\x1bOH", true},
        {"ctrl+home, application cursor", kNone, fn(Key::home, M::ctrl), "\x1b[1;5H", true},
        {"lock bits are dropped", kNone, fn(Key::up, M::capsLock | M::numLock), "\x1b[A"},
        {"super+up", kNone, fn(Key::up, M::super), std::nullopt},
        {"super+a", kNone, ch('a', M::super), "\x1b[97;9u"},
        {"shift+a takes the shifted key", kNone, withAlternates(ch('a', M::shift), U'A', std::nullopt), "A"},
        {"ctrl+A looks up the lower case", kNone, ch('A', M::ctrl), "\x01"},
        {"ctrl+space", kNone, ch(' ', M::ctrl), std::string(1, '\0')},
        {"ctrl+alt+[", kNone, ch('[', M::ctrl | M::alt), "\x1b\x1b"},
        {"ctrl+é has no control byte", kNone, ch(U'é', M::ctrl), "\xc3\xa9"},
        {"media keys send nothing", kNone, fn(Key::mediaPlay), std::nullopt},
        {"menu sends nothing", kNone, fn(Key::menu), std::nullopt},
        {"none key", kNone, KittyKeyEvent{}, "\x1b[0u"},
    });
}

TEST(KittyKeyEncoder, LegacyKeypad)
{
    runCases({
        {"keypad 5, application", kNone, fn(Key::keypad5, 0, "5"), "\x1bOu", false, true},
        {"keypad enter, application", kNone, fn(Key::keypadEnter, 0, "\r"), "\x1bOM", false, true},
        {"keypad begin, application", kNone, fn(Key::keypadBegin), "\x1bOu", false, true},
        {"keypad delete, application", kNone, fn(Key::keypadDelete), "\x1bOn", false, true},
        {"keypad equal, application", kNone, fn(Key::keypadEqual), "\x1bOX", false, true},
        {"shifted keypad key leaves application mode", kNone, fn(Key::keypad5, M::shift, "5"), "5", false, true},
        {"keypad enter", kNone, fn(Key::keypadEnter), "\r"},
        {"alt+keypad enter", kNone, fn(Key::keypadEnter, M::alt), "\x1b\r"},
        {"alt+keypad 1 text", kNone, fn(Key::keypad1, M::alt, "1"),
         "\x1b"
         "1"},
        {"keypad left", kNone, fn(Key::keypadLeft), "\x1b[D"},
        {"keypad left ignores application cursor", kNone, fn(Key::keypadLeft), "\x1b[D", true},
        {"ctrl+keypad page up", kNone, fn(Key::keypadPageUp, M::ctrl), "\x1b[5;5~"},
        {"keypad begin without text", kNone, fn(Key::keypadBegin), std::nullopt},
    });
}

TEST(KittyKeyEncoder, Disambiguate)
{
    runCases({
        {"up", kDis, fn(Key::up), "\x1b[A"},
        {"up ignores application cursor", kDis, fn(Key::up), "\x1b[A", true},
        {"f1", kDis, fn(Key::f1), "\x1b[P"},
        {"f3", kDis, fn(Key::f3), "\x1b[13~"},
        {"shift+f3", kDis, fn(Key::f3, M::shift), "\x1b[13;2~"},
        {"enter", kDis, fn(Key::enter, 0, "\r"), "\r"},
        {"shift+enter", kDis, fn(Key::enter, M::shift, "\r"), "\x1b[13;2u"},
        {"alt+a", kDis, ch('a', M::alt, "a"), "\x1b[97;3u"},
        {"shift+a text", kDis, ch('a', M::shift, "A"), "A"},
        {"f13", kDis, fn(Key::f13), "\x1b[57376u"},
        {"keypad 0", kDis, fn(Key::keypad0, 0, "0"), "\x1b[57399u"},
        {"caps lock key", kDis, fn(Key::capsLock), "\x1b[57358u"},
        {"media play", kDis, fn(Key::mediaPlay), "\x1b[57428u"},
        {"composing swallows keys", kDis, composing(ch('a', 0, "a")), std::nullopt},
    });
}

TEST(KittyKeyEncoder, ReportEvents)
{
    runCases({
        {"repeat of up", kDis | kEvents, as(fn(Key::up), T::repeatPress), "\x1b[1;1:2A"},
        {"release of f5", kDis | kEvents, as(fn(Key::f5), T::release), "\x1b[15;1:3~"},
        {"release of escape", kDis | kEvents, as(fn(Key::escape), T::release), "\x1b[27;1:3u"},
        {"release of tab", kDis | kEvents, as(fn(Key::tab, 0, "\t"), T::release), std::nullopt},
        {"release of a text key", kDis | kEvents, as(ch('a', 0, "a"), T::release), std::nullopt},
        {"repeat of ctrl+a", kDis | kEvents, as(ch('a', M::ctrl), T::repeatPress), "\x1b[97;5:2u"},
        {"release of up without event reports", kDis, as(fn(Key::up), T::release), std::nullopt},
    });
}

TEST(KittyKeyEncoder, ReportAllKeysAndText)
{
    runCases({
        {"enter", kAll, fn(Key::enter, 0, "\r"), "\x1b[13u"},
        {"enter has no text field", kAll | kText, fn(Key::enter, 0, "\r"), "\x1b[13u"},
        {"escape", kAll | kText, fn(Key::escape, 0, "\x1b"), "\x1b[27u"},
        {"up", kAll, fn(Key::up), "\x1b[A"},
        {"release of up", kAll | kEvents, as(fn(Key::up), T::release), "\x1b[1;1:3A"},
        {"release of enter", kAll | kEvents, as(fn(Key::enter, 0, "\r"), T::release), "\x1b[13;1:3u"},
        {"f13 with text field", kAll | kText, fn(Key::f13), "\x1b[57376u"},
        {"ctrl drops the text field", kAll | kText, ch('a', M::ctrl, "a"), "\x1b[97;5u"},
        {"release drops the text field", kAll | kText | kEvents, as(ch('a', 0, "a"), T::release), "\x1b[97;1:3u"},
        {"several scalars", kAll | kText, ch('e', 0, "e\xcc\x81"), "\x1b[101;;101:769u"},
        {"base layout key", kAll | kAlternates, withAlternates(ch('q', 0, "q"), std::nullopt, U'a'), "\x1b[113::97u"},
        {"shifted and base layout", kAll | kAlternates, withAlternates(ch('q', M::shift, "Q"), U'Q', U'a'),
         "\x1b[113:81:97;2u"},
        {"shifted key without shift is not written", kAll | kAlternates,
         withAlternates(ch('q', 0, "q"), U'Q', std::nullopt), "\x1b[113u"},
        {"composing modifier key", kAll, composing(fn(Key::rightAlt)), "\x1b[57449u"},
        {"composing text key", kAll, composing(ch('a', 0, "a")), std::nullopt},
        {"none key", kAll, KittyKeyEvent{}, "\x1b[0u"},
    });
}

TEST(KittyKeyEncoder, FunctionalKeyCodes)
{
    EXPECT_EQ(kKittyFunctionalKeyCount, 111);
    EXPECT_EQ(kittyFunctionalKeyCode(Key::f35).number, 57398u);
    EXPECT_EQ(kittyFunctionalKeyCode(Key::keypad0).number, 57399u);
    EXPECT_EQ(kittyFunctionalKeyCode(Key::keypadBegin).number, 57427u);
    EXPECT_EQ(kittyFunctionalKeyCode(Key::volumeMute).number, 57440u);
    // 56 codes from keypad 0 to the last modifier key.
    EXPECT_EQ(kittyFunctionalKeyCode(Key::isoLevel5Shift).number, 57454u);
    EXPECT_EQ(kittyKeyboardEventType(2), T::repeatPress);
    EXPECT_FALSE(kittyKeyboardEventType(0));
    EXPECT_FALSE(kittyKeyboardEventType(4));
}

}  // namespace
}  // namespace ravelgrid
