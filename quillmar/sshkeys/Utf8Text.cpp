#include "quillmar/sshkeys/Utf8Text.h"

#include <cstdint>

namespace quillmar {
namespace {

// Length of the valid sequence at bytes[i], or 0 when it is not one
// (overlong forms, surrogates and code points past U+10FFFF are invalid).
std::size_t validSequenceAt(std::string_view bytes, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
    const std::uint8_t lead = b(i);
    if (lead < 0x80) return 1;
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > bytes.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    }
    return len;
}

}  // namespace

bool Utf8Text::isValid(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = validSequenceAt(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Utf8Text::withReplacements(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = validSequenceAt(bytes, i);
        if (n == 0) {
            out += "\uFFFD";
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace quillmar
