#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// One key pair of ~/.ssh, or a key file the SSH configuration names.
struct SSHKeyInfo {
    std::string name;
    std::string privatePath;  // the record's identity
    bool hasPrivate = false;
    bool hasPublic = false;
    std::optional<std::string> type;
    std::optional<std::string> fingerprint;
    std::optional<std::string> comment;
    std::optional<std::string> publicLine;
    std::optional<int> privatePerms;
    std::vector<std::string> hosts;
    std::optional<std::string> configFile;
    bool loaded = false;

    const std::string& id() const { return privatePath; }

    // Group or other bits on the private file, or no file at all.
    bool needsAttention() const;

    static std::string typeLabel(std::string_view typeWord);
    // One line naming the hosts that use the key, shown under it.
    static std::string usageText(const SSHKeyInfo& key);
    // The file names OpenSSH tries when a host names no key.
    static const std::set<std::string, std::less<>>& defaultIdentityNames();

    friend bool operator==(const SSHKeyInfo&, const SSHKeyInfo&) = default;
};

}  // namespace quillmar
