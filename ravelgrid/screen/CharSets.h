#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ravelgrid {

// A translation map for 7-bit bytes: a byte with an entry prints as the
// entry's text (UTF-8), any other byte as itself.
class CharsetMap {
public:
    std::optional<std::string_view> lookup(uint32_t c) const
    {
        if (c >= entries_.size() || entries_[c].empty())
            return std::nullopt;
        return entries_[c];
    }
    bool isEmpty() const { return size_ == 0; }
    int size() const { return size_; }

    void add(uint8_t byte, std::string_view text);

private:
    std::array<std::string_view, 128> entries_{};
    int size_ = 0;
};

// The national and DEC character sets, keyed by the final byte of the
// designating escape sequence. Built once, immutable afterwards.
class CharSets {
public:
    // The map of a designator, or nullptr when the designator is unknown.
    static const CharsetMap* map(uint8_t designator);
    static bool isDesignator(uint8_t designator) { return map(designator) != nullptr; }

    // What a printed character becomes under the active map (nullptr = no
    // translation): the entry for a character up to 0x7E, else nothing.
    static std::optional<std::string_view> translate(const CharsetMap* active, char32_t c)
    {
        if (active == nullptr || c > 0x7E)
            return std::nullopt;
        return active->lookup(c);
    }
};

}  // namespace ravelgrid
