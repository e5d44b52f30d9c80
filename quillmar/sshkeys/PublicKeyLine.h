#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmar {

// The first line of an OpenSSH public key file: "<type> <base64 blob> [comment]".
struct PublicKeyLine {
    std::string line;  // exactly as read
    std::string typeWord;
    std::string blob;  // decoded second field
    std::optional<std::string> comment;

    // Takes the file's text (already known to be UTF-8); empty when it holds
    // no usable key line.
    static std::optional<PublicKeyLine> parse(std::string_view fileText);
    // Strict padded standard base64; any stray character fails.
    static std::optional<std::string> decodeBase64(std::string_view text);
    // "SHA256:" and the unpadded base64 digest, as ssh-keygen -l prints it.
    static std::string fingerprint(std::string_view blob);
};

}  // namespace quillmar
