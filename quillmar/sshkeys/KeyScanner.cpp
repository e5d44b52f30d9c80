#include "quillmar/sshkeys/KeyScanner.h"

#include "platform/FileRead.h"
#include "platform/Utf8.h"
#include "quillmar/sshkeys/KeyNameOrder.h"
#include "quillmar/sshkeys/PublicKeyLine.h"

#include <algorithm>
#include <dirent.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

namespace quillmar {
namespace {

bool somethingExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string lastPathComponent(const std::string& path)
{
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/')
        p.remove_suffix(1);
    const auto slash = p.rfind('/');
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

std::vector<std::string> listDirectory(const std::string& path, std::size_t limit)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir)
        return names;
    while (names.size() < limit) {
        const dirent* entry = ::readdir(dir.get());
        if (!entry)
            break;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.emplace_back(name);
    }
    return names;
}

}  // namespace

ConfigSource ConfigSource::forHome(const std::string& home)
{
    const SSHConfigReader reader{SSHPaths(home)};
    ConfigSource source;
    source.filesRead = [reader](const std::string& configPath) {
        std::vector<std::string> aliases;
        std::set<std::string> seen;
        std::vector<std::string> files;
        reader.parseHostAliases(configPath, 0, aliases, seen, files);
        return files;
    };
    source.identityFiles = [reader](const std::string& configPath) {
        std::vector<std::string> hosts{"*"};
        std::vector<IdentityFileRecord> records;
        reader.parseIdentityFiles(configPath, 0, hosts, records);
        return records;
    };
    return source;
}

KeyScanner::KeyScanner(std::string home, std::string userName, ConfigSource config)
    : home_(std::move(home)), userName_(std::move(userName)), config_(std::move(config))
{}

std::vector<SSHKeyInfo> KeyScanner::scanKeys() const
{
    std::vector<SSHKeyInfo> keys;
    std::unordered_map<std::string, std::size_t> byPath;
    const std::string dir = keyDirectory();

    for (const auto& entry : listDirectory(dir, kMaxDirectoryEntries)) {
        if (!entry.ends_with(".pub"))
            continue;
        const std::string publicPath = dir + "/" + entry;
        const std::string privatePath = publicPath.substr(0, publicPath.size() - 4);
        // A FIFO or device named *.pub is refused without blocking.
        const auto file = platform::readRegularFile(publicPath, kMaxPublicFileBytes);
        if (!file.ok() || !platform::isValidUtf8(file.data))
            continue;
        auto parsed = PublicKeyLine::parse(file.data);
        if (!parsed)
            continue;

        SSHKeyInfo key;
        key.name = entry.substr(0, entry.size() - 4);
        key.privatePath = privatePath;
        key.hasPrivate = somethingExists(privatePath);
        key.hasPublic = true;
        key.type = SSHKeyInfo::typeLabel(parsed->typeWord);
        key.fingerprint = PublicKeyLine::fingerprint(parsed->blob);
        key.comment = std::move(parsed->comment);
        key.publicLine = std::move(parsed->line);
        key.privatePerms = filePermissions(privatePath);
        byPath.emplace(privatePath, keys.size());
        keys.push_back(std::move(key));
    }

    if (config_.identityFiles) {
        for (const auto& ref : config_.identityFiles(configPath())) {
            auto resolved = expandIdentityPath(ref.value, home_, userName_);
            if (!resolved)
                continue;
            if (resolved->ends_with(".pub"))
                resolved->resize(resolved->size() - 4);
            auto it = byPath.find(*resolved);
            if (it == byPath.end()) {
                SSHKeyInfo key;
                key.name = lastPathComponent(*resolved);
                key.privatePath = *resolved;
                key.hasPrivate = somethingExists(*resolved);
                if (key.hasPrivate)
                    key.privatePerms = filePermissions(*resolved);
                it = byPath.emplace(*resolved, keys.size()).first;
                keys.push_back(std::move(key));
            }
            SSHKeyInfo& key = keys[it->second];
            for (const auto& pattern : ref.hosts) {
                if (std::find(key.hosts.begin(), key.hosts.end(), pattern) == key.hosts.end()) {
                    key.hosts.push_back(pattern);
                }
            }
            if (!key.configFile)
                key.configFile = ref.file;
        }
    }

    const KeyNameOrder order;
    std::sort(keys.begin(), keys.end(), std::cref(order));
    return keys;
}

DirectorySignature KeyScanner::directorySignature() const
{
    std::vector<std::string> paths{keyDirectory()};
    if (config_.filesRead) {
        auto files = config_.filesRead(configPath());
        paths.insert(paths.end(), files.begin(), files.end());
    }
    DirectorySignature signature;
    for (const auto& path : paths) {
        struct stat st {};
        std::int64_t when = kDistantPast;
        if (::stat(path.c_str(), &st) == 0) {
            when = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        }
        signature.emplace(path, when);
    }
    return signature;
}

std::optional<std::string> KeyScanner::expandIdentityPath(std::string_view value, std::string_view home,
                                                          std::string_view userName)
{
    std::string out;
    if (value.starts_with("~/")) {
        out = home;
        value.remove_prefix(1);
    }
    // Tokens are read from the value alone, so a "%" inside the home path or
    // a literal "%%d" is never taken for a token.
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out.push_back(value[i]);
            continue;
        }
        if (i + 1 == value.size())
            return std::nullopt;
        switch (value[++i]) {
        case '%': out.push_back('%'); break;
        case 'd': out += home; break;
        case 'u': out += userName; break;
        default: return std::nullopt;
        }
    }
    if (!out.starts_with("/"))
        out = std::string(home) + "/" + out;
    return out;
}

std::optional<int> KeyScanner::filePermissions(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return static_cast<int>(st.st_mode & 07777);
}

}  // namespace quillmar
