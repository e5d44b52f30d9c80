#include "quillmar/snippets/Snippet.h"

#include "platform/Crypto.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace quillmar {
namespace {

bool isBlank(std::string_view s)
{
    return s.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string trimmed(std::string_view s)
{
    constexpr std::string_view space = " \t\r\n\v\f";
    const auto begin = s.find_first_not_of(space);
    if (begin == std::string_view::npos)
        return {};
    return std::string(s.substr(begin, s.find_last_not_of(space) - begin + 1));
}

std::string plainLineBreaks(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\r') {
            out.push_back(s[i]);
            continue;
        }
        out.push_back('\n');
        if (i + 1 < s.size() && s[i + 1] == '\n')
            ++i;
    }
    return out;
}

// C0, DEL and C1 (U+0080...U+009F, "\xC2\x80"..."\xC2\x9F" in valid UTF-8).
bool hasControl(std::string_view s, bool lineBreaksAndTabs)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (lineBreaksAndTabs && (c == '\t' || c == '\n' || c == '\r'))
            continue;
        if (c < 0x20 || c == 0x7f)
            return true;
        if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9f)
            return true;
    }
    return false;
}

}  // namespace

std::string newSnippetId()
{
    auto random = platform::randomBytes(16);
    std::string bytes = random.ok() ? random.data : std::string();
    if (bytes.size() != 16) {
        // The system's random source failed: an id need only be unique, not secret.
        std::mt19937_64 gen(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            std::random_device{}());
        bytes.resize(16);
        for (char& c : bytes)
            c = static_cast<char>(gen());
    }
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id.push_back('-');
        const auto b = static_cast<unsigned char>(bytes[i]);
        id.push_back(digits[b >> 4]);
        id.push_back(digits[b & 15]);
    }
    return id;
}

std::optional<std::string> normalizedSnippetId(std::string_view id)
{
    if (id.size() != 36)
        return std::nullopt;
    std::string out(id);
    for (std::size_t i = 0; i < out.size(); ++i) {
        char& c = out[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return std::nullopt;
        } else if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> snippetProblem(const Snippet& s)
{
    if (!normalizedSnippetId(s.id))
        return "The snippet has no valid id.";
    if (isBlank(s.title))
        return "A snippet needs a title.";
    if (isBlank(s.command))
        return "A snippet needs a command.";
    for (const std::string* text : {&s.title, &s.command, &s.category, &s.note}) {
        if (text->size() > SnippetLimits::maxTextBytes)
            return "A snippet's text may be at most 256 KiB long.";
        if (!isValidUtf8(*text))
            return "A snippet's text must be valid UTF-8.";
    }
    if (s.tags.size() > SnippetLimits::maxTags)
        return "A snippet may have at most 64 tags.";
    for (const std::string& tag : s.tags) {
        if (tag.size() > SnippetLimits::maxTagBytes)
            return "A tag may be at most 1024 bytes long.";
        if (!isValidUtf8(tag))
            return "A snippet's text must be valid UTF-8.";
    }
    if (hasControl(s.title, false))
        return "A snippet's title can't hold control characters.";
    if (hasControl(s.category, false))
        return "A snippet's category can't hold control characters.";
    for (const std::string& tag : s.tags)
        if (hasControl(tag, false))
            return "A snippet's tags can't hold control characters.";
    if (hasControl(s.command, true))
        return "A snippet's command can't hold control characters other than tabs and line breaks.";
    if (hasControl(s.note, true))
        return "A snippet's note can't hold control characters other than tabs and line breaks.";
    return std::nullopt;
}

Snippet tidiedSnippet(Snippet s)
{
    s.title = trimmed(s.title);
    s.category = trimmed(s.category);
    if (s.category.empty())
        s.category = defaultSnippetCategory;
    std::vector<std::string> tags;
    for (const std::string& tag : s.tags) {
        const std::string_view whole = tag;
        for (std::size_t start = 0; start <= whole.size();) {
            const std::size_t comma = std::min(whole.find(',', start), whole.size());
            if (std::string piece = trimmed(whole.substr(start, comma - start)); !piece.empty())
                tags.push_back(std::move(piece));
            start = comma + 1;
        }
    }
    s.tags = std::move(tags);
    s.command = plainLineBreaks(s.command);
    s.note = plainLineBreaks(s.note);
    return s;
}

}  // namespace quillmar
