#pragma once

#include <unicode/utf8.h>

#include <cstddef>
#include <string>
#include <string_view>

// Byte strings with what a strict reader and a lenient one make of them,
// shared by the tests of every UTF-8 reader so that they cannot drift apart.
namespace platform::testing {

struct Utf8Case {
    std::string_view name;
    std::string_view bytes;
    bool valid;
    // One U+FFFD for each ill-formed maximal subpart.
    std::u32string_view scalars;
};

using namespace std::string_view_literals;

inline constexpr Utf8Case kUtf8Cases[] = {
    {"empty", ""sv, true, U""},
    {"ascii with NUL", "a\0b"sv, true, U"a\0b"sv},
    {"two bytes, lowest", "\xC2\x80"sv, true, U"\u0080"},
    {"two bytes, highest", "\xDF\xBF"sv, true, U"\u07FF"},
    {"three bytes, lowest", "\xE0\xA0\x80"sv, true, U"\u0800"},
    {"three bytes, below surrogates", "\xED\x9F\xBF"sv, true, U"\uD7FF"},
    {"three bytes, above surrogates", "\xEE\x80\x80"sv, true, U"\uE000"},
    {"three bytes, highest", "\xEF\xBF\xBF"sv, true, U"\uFFFF"},
    {"four bytes, lowest", "\xF0\x90\x80\x80"sv, true, U"\U00010000"},
    {"four bytes, highest", "\xF4\x8F\xBF\xBF"sv, true, U"\U0010FFFF"},
    {"mixed", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x89z"sv, true, U"a\u00E9\u20AC\U0001F389z"},

    {"overlong two bytes", "\xC0\xAF"sv, false, U"\uFFFD\uFFFD"},
    {"overlong NUL", "\xC1\x80"sv, false, U"\uFFFD\uFFFD"},
    {"overlong three bytes", "\xE0\x80\x80"sv, false, U"\uFFFD\uFFFD\uFFFD"},
    {"overlong four bytes", "\xF0\x8F\xBF\xBF"sv, false, U"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"high surrogate", "\xED\xA0\x80"sv, false, U"\uFFFD\uFFFD\uFFFD"},
    {"low surrogate", "\xED\xBF\xBF"sv, false, U"\uFFFD\uFFFD\uFFFD"},
    {"past U+10FFFF", "\xF4\x90\x80\x80"sv, false, U"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"lead past F4", "\xF5\x80\x80\x80"sv, false, U"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"FE and FF", "\xFE\xFF"sv, false, U"\uFFFD\uFFFD"},
    {"lone continuation", "a\x80z"sv, false, U"a\uFFFDz"},
    {"run of continuations", "\x80\xBF\x80"sv, false, U"\uFFFD\uFFFD\uFFFD"},
    {"two-byte lead at end", "a\xC3"sv, false, U"a\uFFFD"},
    {"three-byte lead and one at end", "a\xE2\x82"sv, false, U"a\uFFFD"},
    {"four-byte lead and two at end", "a\xF0\x9F\x8E"sv, false, U"a\uFFFD"},
    {"cut short before ASCII", "\xE2\x82z"sv, false, U"\uFFFDz"},
    {"cut short before a lead", "\xF0\x9F\xC3\xA9"sv, false, U"\uFFFD\u00E9"},
    {"cut short twice", "\xE2\x82\xE2\x82\xAC\xE2"sv, false, U"\uFFFD\u20AC\uFFFD"},
    {"Latin-1 text", "caf\xE9 au lait"sv, false, U"caf\uFFFD au lait"},
};

// The expected bytes, built by ICU rather than by any reader under test.
inline std::string encodeUtf8(std::u32string_view scalars)
{
    std::string out;
    for (char32_t c : scalars) {
        char bytes[U8_MAX_LENGTH];
        std::size_t n = 0;
        U8_APPEND_UNSAFE(bytes, n, c);
        out.append(bytes, n);
    }
    return out;
}

}  // namespace platform::testing
