#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <algorithm>

namespace quillmar {

bool SSHKeyInfo::needsAttention() const
{
    if (!hasPrivate && !hasPublic)
        return true;
    return hasPrivate && privatePerms && (*privatePerms & 077) != 0;
}

std::string SSHKeyInfo::typeLabel(std::string_view word)
{
    if (word == "ssh-ed25519")
        return "ED25519";
    if (word == "sk-ssh-ed25519@openssh.com")
        return "ED25519-SK";
    if (word == "ssh-rsa")
        return "RSA";
    if (word == "ssh-dss")
        return "DSA";
    if (word.starts_with("ecdsa-sha2-")) {
        constexpr std::size_t curvePrefix = 16;  // "ecdsa-sha2-nistp"
        return "ECDSA " + std::string(word.size() > curvePrefix ? word.substr(curvePrefix) : std::string_view{});
    }
    if (word.starts_with("sk-ecdsa-"))
        return "ECDSA-SK";
    return std::string(word);
}

namespace {

std::string joined(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += separator;
        out += parts[i];
    }
    return out;
}

}  // namespace

std::string SSHKeyInfo::usageText(const SSHKeyInfo& key)
{
    if (!key.hasPrivate && !key.hasPublic) {
        return key.hosts.empty() ? "named in your config" : "named for " + joined(key.hosts, ", ");
    }
    std::vector<std::string> parts;
    if (std::find(key.hosts.begin(), key.hosts.end(), "*") != key.hosts.end())
        parts.push_back("all hosts (Host *)");
    std::vector<std::string> names;
    for (const auto& h : key.hosts) {
        if (h != "*")
            names.push_back(h);
    }
    if (!names.empty()) {
        parts.push_back(names.size() < 4 ? joined(names, ", ") : std::to_string(names.size()) + " hosts");
    }
    if (parts.empty()) {
        if (defaultIdentityNames().contains(key.name))
            return "default key (tried when a host names none)";
        return "no host names it";
    }
    return joined(parts, " \u00B7 ");
}

const std::set<std::string, std::less<>>& SSHKeyInfo::defaultIdentityNames()
{
    static const std::set<std::string, std::less<>> names{"id_rsa",        "id_ecdsa", "id_ecdsa_sk", "id_ed25519",
                                                          "id_ed25519_sk", "id_xmss",  "id_dsa"};
    return names;
}

}  // namespace quillmar
