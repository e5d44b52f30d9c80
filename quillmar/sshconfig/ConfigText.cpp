#include "quillmar/sshconfig/ConfigText.h"

#include "platform/Utf8.h"

namespace quillmar::configtext {
namespace {

// The scalar at `i` and its length; U+FFFD for an ill-formed sequence.
char32_t decodeAt(std::string_view s, std::size_t i, std::size_t& len)
{
    std::size_t end = i;
    const char32_t c = platform::nextUtf8Scalar(s, end);
    len = end - i;
    return c;
}

bool isUnicodeSpace(char32_t c)
{
    return c == 0x20 || c == 0x09 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

}  // namespace

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimSpacesTabs(std::string_view text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    return text.substr(b, e - b);
}

bool isBlank(std::string_view text)
{
    std::size_t i = 0, len = 1;
    for (; i < text.size(); i += len)
        if (!isUnicodeSpace(decodeAt(text, i, len)))
            return false;
    return true;
}

bool containsWhitespace(std::string_view text)
{
    std::size_t len = 1;
    for (std::size_t i = 0; i < text.size(); i += len) {
        char32_t c = decodeAt(text, i, len);
        if (isUnicodeSpace(c) || isLineBreak(c))
            return true;
    }
    return false;
}

bool containsControl(std::string_view text)
{
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

std::vector<std::string_view> splitAtLineBreaks(std::string_view text)
{
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
