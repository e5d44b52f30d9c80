#include "quillmar/snippets/Snippet.h"

#include "platform/Crypto.h"

#include <chrono>
#include <random>

namespace quillmar {
namespace {

bool isBlank(std::string_view s) { return s.find_first_not_of(" \t\r\n") == std::string_view::npos; }

}  // namespace

std::string newSnippetId() {
    auto random = platform::randomBytes(16);
    std::string bytes = random.ok() ? random.data : std::string();
    if (bytes.size() != 16) {
        // The system's random source failed: an id need only be unique, not secret.
        std::mt19937_64 gen(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                            std::random_device{}());
        bytes.resize(16);
        for (char& c : bytes) c = static_cast<char>(gen());
    }
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    static const char* digits = "0123456789ABCDEF";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) id.push_back('-');
        const auto b = static_cast<unsigned char>(bytes[i]);
        id.push_back(digits[b >> 4]);
        id.push_back(digits[b & 15]);
    }
    return id;
}

std::optional<std::string> normalizedSnippetId(std::string_view id) {
    if (id.size() != 36) return std::nullopt;
    std::string out(id);
    for (std::size_t i = 0; i < out.size(); ++i) {
        char& c = out[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return std::nullopt;
        } else if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return std::nullopt;
        }
    }
    return out;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xe0) == 0xc0) {
            len = 2;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (overlong || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += len;
    }
    return true;
}

std::optional<std::string> snippetProblem(const Snippet& s) {
    if (!normalizedSnippetId(s.id)) return "The snippet has no valid id.";
    if (isBlank(s.title)) return "A snippet needs a title.";
    if (isBlank(s.command)) return "A snippet needs a command.";
    for (const std::string* text : {&s.title, &s.command, &s.category, &s.note}) {
        if (text->size() > SnippetLimits::maxTextBytes) return "A snippet's text may be at most 256 KiB long.";
        if (!isValidUtf8(*text)) return "A snippet's text must be valid UTF-8.";
    }
    if (s.tags.size() > SnippetLimits::maxTags) return "A snippet may have at most 64 tags.";
    for (const std::string& tag : s.tags) {
        if (tag.size() > SnippetLimits::maxTagBytes) return "A tag may be at most 1024 bytes long.";
        if (!isValidUtf8(tag)) return "A snippet's text must be valid UTF-8.";
    }
    return std::nullopt;
}

}  // namespace quillmar
