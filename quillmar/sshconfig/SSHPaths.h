#pragma once

#include <cstddef>
#include <string>

namespace quillmar {

// The SSH files the application reads and edits, all under one home folder.
// The home folder is injected so that tests (and ssh -F) can use a scratch one.
class SSHPaths {
public:
    explicit SSHPaths(std::string home);

    // $HOME, else the password database's entry for the current user.
    static SSHPaths fromEnvironment();

    const std::string& home() const { return home_; }
    std::string sshDirectory() const { return home_ + "/.ssh"; }
    std::string configPath() const { return home_ + "/.ssh/config"; }
    std::string ownConfigPath() const { return home_ + "/.ssh/quillmar_config"; }
    std::string backupsDirectory() const { return home_ + "/.ssh/quillmar-backups"; }

    // "~" in place of the home folder, for paths shown to the user.
    std::string tildePath(const std::string& path) const;

    // A leading "~" or "~user" replaced by that home folder; other paths unchanged.
    std::string expandTilde(const std::string& path) const;

private:
    std::string home_;
};

// No SSH file we read or rewrite may be larger than this.
inline constexpr std::size_t kMaxSSHFileBytes = 1024 * 1024;

}  // namespace quillmar
