#pragma once

#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// What the scanner needs of the configuration reader, both started at the
// top configuration file: every file read (for the poll) and every
// IdentityFile line with the patterns it stands under.
struct ConfigSource {
    std::function<std::vector<std::string>(const std::string& configPath)> filesRead;
    std::function<std::vector<IdentityFileRecord>(const std::string& configPath)> identityFiles;

    // The real reader of ~/.ssh/config and its includes under this home.
    static ConfigSource forHome(const std::string& home);
};

// Modification times (nanoseconds since the epoch) of the key directory and
// every configuration file; kDistantPast when a time cannot be read.
using DirectorySignature = std::map<std::string, std::int64_t>;

// Reads ~/.ssh and the configuration into the sorted key list. File system
// reads only; private key files are never opened.
class KeyScanner {
public:
    static constexpr std::int64_t kDistantPast = std::numeric_limits<std::int64_t>::min();
    static constexpr std::size_t kMaxPublicFileBytes = 64 * 1024;
    static constexpr std::size_t kMaxDirectoryEntries = 4096;

    KeyScanner(std::string home, std::string userName, ConfigSource config);

    std::string keyDirectory() const { return home_ + "/.ssh"; }
    std::string configPath() const { return home_ + "/.ssh/config"; }

    std::vector<SSHKeyInfo> scanKeys() const;
    DirectorySignature directorySignature() const;

    // An IdentityFile value as an absolute path; none when it holds a token
    // other than %d, %u and %%.
    static std::optional<std::string> expandIdentityPath(std::string_view value, std::string_view home,
                                                         std::string_view userName);
    static std::optional<int> filePermissions(const std::string& path);

private:
    std::string home_;
    std::string userName_;
    ConfigSource config_;
};

}  // namespace quillmar
