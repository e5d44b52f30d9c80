#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "ravelgrid/screen/Attribute.h"
#include "ravelgrid/screen/SemanticPrompt.h"
#include "ravelgrid/screen/TinyAtom.h"

namespace ravelgrid {

// One cell: a plain value, copied bytewise in and out of line storage.
struct CharData {
    // 0 = empty; 1..0x3FFFFF a Unicode scalar; from firstClusterCode on, a
    // grapheme cluster interned by the Terminal.
    int32_t code = 0;
    int8_t width = 1;
    TinyAtom payload;
    uint8_t semanticContentCode = 0;
    Attribute attribute;

    static constexpr int32_t maxRune = 0x400000;
    static constexpr int32_t firstClusterCode = 0x400001;

    // code 0, width 1, no payload, no semantic content, default attribute.
    static const CharData Null;

    // Stores code and width; a width that does not fit in 8 signed bits is a
    // programming error and stops the process.
    void setValue(int32_t newCode, int size);

    bool isSimpleRune() const { return code < maxRune; }
    bool hasPayload() const { return payload.code != 0; }
    SemanticContent semanticContent() const { return SemanticContent::fromCode(semanticContentCode); }
    void setSemanticContent(SemanticContent c) { semanticContentCode = c.code(); }

    // The code as a scalar; " " for cluster codes, surrogates and values
    // beyond Unicode. Cluster text comes from the Terminal.
    char32_t getCharacter() const;

    void setPayload(TinyAtom atom) { payload = atom; }

    // "CharData: <code> <character>" ("?" for a code that is not a scalar).
    std::string debugDescription() const;

    friend bool operator==(const CharData&, const CharData&) = default;
};

inline constexpr CharData CharData::Null{};

static_assert(std::is_trivially_copyable_v<CharData>);
static_assert(sizeof(CharData) <= 24);

// True for a valid Unicode scalar value (not a surrogate, below 0x110000).
constexpr bool isUnicodeScalar(uint32_t c)
{
    return c < 0x110000 && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace ravelgrid
