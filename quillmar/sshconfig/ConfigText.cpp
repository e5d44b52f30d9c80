#include "quillmar/sshconfig/ConfigText.h"

#include <cstdint>

namespace quillmar::configtext {
namespace {

// Decodes one UTF-8 sequence at `i`; gives U+FFFD and one byte for a bad one.
char32_t decodeAt(std::string_view s, std::size_t i, std::size_t& len) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        len = 1;
        return b;
    }
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size()) {
        len = 1;
        return 0xFFFD;
    }
    char32_t cp = b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((c & 0xC0) != 0x80) {
            len = 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    len = static_cast<std::size_t>(extra) + 1;
    return cp;
}

bool isUnicodeSpace(char32_t c) {
    return c == 0x20 || c == 0x09 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

}  // namespace

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when none starts there.
std::size_t validSequenceAt(std::string_view s, std::size_t i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    std::size_t need;
    char32_t min;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + need >= s.size()) return 0;
    char32_t cp = b & (0x7F >> (need + 1));
    for (std::size_t k = 1; k <= need; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return need + 1;
}

}  // namespace

bool isValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = validSequenceAt(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string lenientUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = validSequenceAt(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimSpacesTabs(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    return text.substr(b, e - b);
}

bool isBlank(std::string_view text) {
    std::size_t i = 0, len = 1;
    for (; i < text.size(); i += len)
        if (!isUnicodeSpace(decodeAt(text, i, len))) return false;
    return true;
}

bool containsWhitespace(std::string_view text) {
    std::size_t len = 1;
    for (std::size_t i = 0; i < text.size(); i += len) {
        char32_t c = decodeAt(text, i, len);
        if (isUnicodeSpace(c) || isLineBreak(c)) return true;
    }
    return false;
}

bool containsControl(std::string_view text) {
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

std::vector<std::string_view> splitAtLineBreaks(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0, i = 0, len = 1;
    for (; i < text.size(); i += len) {
        char32_t c = decodeAt(text, i, len);
        if (isLineBreak(c)) {
            lines.push_back(text.substr(start, i - start));
            start = i + len;
        }
    }
    lines.push_back(text.substr(start));
    return lines;
}

}  // namespace quillmar::configtext
