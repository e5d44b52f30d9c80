#pragma once

#include "platform/Crypto.h"
#include "quillmar/snippets/SnippetError.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmar {

// The two encrypted containers of snippet JSON (see README, "File formats").
//
//   snippets file: "QMSN" | version 1 | nonce (12) | ciphertext | tag (16)
//   export file:   "QMSX" | version 1 | salt (16) | rounds (u32, big-endian)
//                  | nonce (12) | ciphertext | tag (16)
//
// Everything before the nonce is the box's associated data: it is
// authenticated along with the ciphertext.
class SnippetFileFormat {
public:
    static constexpr std::string_view kSnippetsMagic = "QMSN";
    static constexpr std::string_view kExportMagic = "QMSX";
    static constexpr std::uint8_t kSnippetsVersion = 1;
    static constexpr std::uint8_t kExportVersion = 1;
    static constexpr std::size_t kSaltBytes = 16;
    static constexpr std::uint32_t kExportRounds = 600000;
    // A file asking for more would keep the window busy for seconds.
    static constexpr std::uint32_t kMaxExportRounds = 4000000;
    static constexpr std::size_t kSnippetsHeaderBytes = 5;
    static constexpr std::size_t kExportHeaderBytes = 5 + kSaltBytes + 4;

    static SnippetResult<std::string> sealSnippets(const platform::SymmetricKey& key, std::string_view json);
    // Checks magic, version and length without a key.
    static SnippetStatus checkSnippetsHeader(std::string_view file);
    static SnippetResult<std::string> openSnippets(const platform::SymmetricKey& key, std::string_view file);

    static SnippetResult<std::string> sealExport(std::string_view passphrase, std::string_view json,
                                                 std::uint32_t rounds = kExportRounds);
    struct ExportHeader {
        std::string salt;
        std::uint32_t rounds = 0;
    };
    // Checks magic, version, round count and length without deriving the key.
    static SnippetResult<ExportHeader> readExportHeader(std::string_view file);
    static SnippetResult<std::string> openExport(std::string_view passphrase, std::string_view file);
};

}  // namespace quillmar
