#include "platform/Utf8.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace platform {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// ICU's U8_NEXT already stops after the maximal subpart of a bad sequence;
// negative for an ill-formed one.
int32_t decodeAt(std::string_view text, std::size_t& pos)
{
    int32_t c = 0;
    U8_NEXT(text.data(), pos, text.size(), c);
    return c;
}

bool isAscii(char c)
{
    return static_cast<unsigned char>(c) < 0x80;
}

}  // namespace

bool isValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        if (isAscii(text[i])) {
            ++i;
            continue;
        }
        if (decodeAt(text, i) < 0)
            return false;
    }
    return true;
}

std::size_t utf8SequenceLength(std::string_view text)
{
    std::size_t end = 0;
    if (text.empty() || decodeAt(text, end) < 0)
        return 0;
    return end;
}

char32_t nextUtf8Scalar(std::string_view text, std::size_t& pos)
{
    const int32_t c = decodeAt(text, pos);
    return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

std::string lenientUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t run = 0;  // start of the well-formed bytes not yet copied
    for (std::size_t i = 0; i < text.size();) {
        if (isAscii(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        if (decodeAt(text, i) >= 0)
            continue;
        out.append(text.substr(run, start - run));
        out.append(kReplacement);
        run = i;
    }
    out.append(text.substr(run));
    return out;
}

bool isHiddenCharacter(char32_t c)
{
    switch (c) {
    case 0x034F:  // combining grapheme joiner
    case 0x115F:
    case 0x1160:
    case 0x3164:
    case 0xFFA0:  // Hangul fillers, drawn as blanks
    case 0x17B4:
    case 0x17B5:
    case 0x2028:
    case 0x2029: return true;
    default: break;
    }
    // Bidi embeddings, overrides, isolates and marks, zero-width spaces and
    // joiners, the byte order mark and tag characters are all format controls.
    return u_charType(UChar32(c)) == U_FORMAT_CHAR;
}

bool containsHiddenCharacter(std::string_view text)
{
    for (std::size_t pos = 0; pos < text.size();)
        if (isHiddenCharacter(nextUtf8Scalar(text, pos)))
            return true;
    return false;
}

}  // namespace platform
