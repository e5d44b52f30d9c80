#include "quillmar/sshconfig/SSHPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quillmar {

SSHPaths::SSHPaths(std::string home) : home_(std::move(home))
{
    // "/home/me/" would give "/home/me//.ssh/config", which compares unequal.
    while (home_.size() > 1 && home_.back() == '/')
        home_.pop_back();
}

SSHPaths SSHPaths::fromEnvironment()
{
    if (const char* h = std::getenv("HOME"); h && *h)
        return SSHPaths(h);
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return SSHPaths(found->pw_dir);
    return SSHPaths("/");
}

std::string SSHPaths::tildePath(const std::string& path) const
{
    // Only at a component boundary: "/home/meg" is not under "/home/me".
    if (path.compare(0, home_.size(), home_) == 0 && (path.size() == home_.size() || path[home_.size()] == '/'))
        return "~" + path.substr(home_.size());
    return path;
}

std::string SSHPaths::expandTilde(const std::string& path) const
{
    if (path.empty() || path[0] != '~')
        return path;
    auto slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    if (user.empty())
        return home_ + rest;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return std::string(found->pw_dir) + rest;
    return path;
}

}  // namespace quillmar
