#pragma once

#include "platform/Utf8.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// Small helpers for reading the text of OSC payloads.
namespace ravelgrid {

inline std::string_view asText(std::span<const uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline bool isValidUtf8(std::span<const uint8_t> s)
{
    return platform::isValidUtf8(asText(s));
}

inline bool isAscii(std::span<const uint8_t> s)
{
    for (uint8_t b : s)
        if (b >= 0x80)
            return false;
    return true;
}

// The pieces between separators, empty ones included. At most maxPieces:
// the last one then holds the rest of the text, separators and all.
inline std::vector<std::string_view> splitAll(std::string_view text, char separator, size_t maxPieces)
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (true) {
        const size_t at = pieces.size() + 1 >= maxPieces ? std::string_view::npos : text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

// A decimal integer with an optional sign and nothing else around it.
inline std::optional<long long> parseSignedInteger(std::string_view text)
{
    const bool plus = !text.empty() && text.front() == '+';
    if (plus)
        text.remove_prefix(1);
    if (text.empty() || (plus && text.front() == '-'))
        return std::nullopt;
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace ravelgrid
