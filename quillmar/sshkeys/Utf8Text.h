#pragma once

#include <string>
#include <string_view>

namespace quillmar {

// Strict UTF-8 checks for text that comes from files and tools.
struct Utf8Text {
    static bool isValid(std::string_view bytes);
    // Each invalid sequence becomes U+FFFD.
    static std::string withReplacements(std::string_view bytes);
};

}  // namespace quillmar
