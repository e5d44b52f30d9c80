#include "quillmar/snippets/SnippetFileFormat.h"

namespace quillmar {
namespace {

constexpr std::size_t kBoxOverhead = platform::kGcmNonceBytes + platform::kGcmTagBytes;

}  // namespace

SnippetResult<std::string> SnippetFileFormat::sealSnippets(const platform::SymmetricKey& key, std::string_view json)
{
    std::string file(kSnippetsMagic);
    file.push_back(static_cast<char>(kSnippetsVersion));
    auto box = platform::sealAesGcm(key, json, file);
    if (!box.ok())
        return SnippetError{box.error->message};
    file.append(box.data);
    return file;
}

SnippetStatus SnippetFileFormat::checkSnippetsHeader(std::string_view file)
{
    if (file.size() < kSnippetsMagic.size() || file.substr(0, kSnippetsMagic.size()) != kSnippetsMagic)
        return SnippetError{"The snippets file isn't a quillmar snippets file."};
    if (file.size() < kSnippetsHeaderBytes)
        return SnippetError{"The snippets file is cut short."};
    const auto version = static_cast<std::uint8_t>(file[4]);
    if (version != kSnippetsVersion)
        return SnippetError{"The snippets file has a format version this quillmar doesn't know (" +
                            std::to_string(version) + ")."};
    if (file.size() < kSnippetsHeaderBytes + kBoxOverhead)
        return SnippetError{"The snippets file is cut short."};
    return SnippetDone{};
}

SnippetResult<std::string> SnippetFileFormat::openSnippets(const platform::SymmetricKey& key, std::string_view file)
{
    if (auto header = checkSnippetsHeader(file); !header)
        return header.error();
    auto json = platform::openAesGcm(key, file.substr(kSnippetsHeaderBytes), file.substr(0, kSnippetsHeaderBytes));
    if (!json.ok())
        return SnippetError{"The snippets file couldn't be decrypted: it was damaged or changed, or the key in your "
                            "keyring isn't the one it was saved with."};
    return std::move(json.data);
}

SnippetResult<std::string> SnippetFileFormat::sealExport(std::string_view passphrase, std::string_view json,
                                                         std::uint32_t rounds)
{
    if (rounds == 0 || rounds > kMaxExportRounds)
        return SnippetError{"The number of key rounds is out of range."};
    auto salt = platform::randomBytes(kSaltBytes);
    if (!salt.ok())
        return SnippetError{salt.error->message};
    auto key = platform::deriveKeyPbkdf2Sha256(passphrase, salt.data, rounds);
    if (!key)
        return SnippetError{"The key couldn't be derived from the passphrase."};
    std::string file(kExportMagic);
    file.push_back(static_cast<char>(kExportVersion));
    file.append(salt.data);
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<char>((rounds >> shift) & 0xff));
    auto box = platform::sealAesGcm(*key, json, file);
    if (!box.ok())
        return SnippetError{box.error->message};
    file.append(box.data);
    return file;
}

SnippetResult<SnippetFileFormat::ExportHeader> SnippetFileFormat::readExportHeader(std::string_view file)
{
    if (file.size() < kExportMagic.size() || file.substr(0, kExportMagic.size()) != kExportMagic)
        return SnippetError{"The file isn't a quillmar snippets export."};
    if (file.size() < 5)
        return SnippetError{"The export file is cut short."};
    const auto version = static_cast<std::uint8_t>(file[4]);
    if (version != kExportVersion)
        return SnippetError{"The export file has a format version this quillmar doesn't know (" +
                            std::to_string(version) + ")."};
    if (file.size() < kExportHeaderBytes + kBoxOverhead)
        return SnippetError{"The export file is cut short."};
    ExportHeader header;
    header.salt = std::string(file.substr(5, kSaltBytes));
    for (std::size_t i = 0; i < 4; ++i)
        header.rounds = (header.rounds << 8) | static_cast<std::uint8_t>(file[5 + kSaltBytes + i]);
    if (header.rounds == 0 || header.rounds > kMaxExportRounds)
        return SnippetError{"The export file asks for an unusable number of key rounds (" +
                            std::to_string(header.rounds) + ")."};
    return header;
}

SnippetResult<std::string> SnippetFileFormat::openExport(std::string_view passphrase, std::string_view file)
{
    auto header = readExportHeader(file);
    if (!header)
        return header.error();
    auto key = platform::deriveKeyPbkdf2Sha256(passphrase, header.value().salt, header.value().rounds);
    if (!key)
        return SnippetError{"The key couldn't be derived from the passphrase."};
    auto json = platform::openAesGcm(*key, file.substr(kExportHeaderBytes), file.substr(0, kExportHeaderBytes));
    if (!json.ok())
        return SnippetError{"The passphrase is wrong, or the export file was damaged or changed."};
    return std::move(json.data);
}

}  // namespace quillmar
