#pragma once

#include "platform/Spawn.h"
#include "quillmar/sshconfig/SSHPaths.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quillmar::test {

// A scratch home folder with an empty ~/.ssh, removed afterwards.
class TestHome {
public:
    TestHome()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-home-XXXXXX").string();
        home_ = ::mkdtemp(tmpl.data());
        std::filesystem::create_directory(home_ + "/.ssh");
        ::chmod((home_ + "/.ssh").c_str(), 0700);
    }
    ~TestHome()
    {
        std::error_code ec;
        for (auto& p : std::filesystem::recursive_directory_iterator(home_, ec))
            if (p.is_directory(ec) && !p.is_symlink(ec))
                std::filesystem::permissions(p.path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(home_, ec);
    }
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    const std::string& home() const { return home_; }
    SSHPaths paths() const { return SSHPaths(home_); }
    std::string ssh(const std::string& rel) const { return home_ + "/.ssh/" + rel; }
    std::string path(const std::string& rel) const { return home_ + "/" + rel; }

    void write(const std::string& absPath, const std::string& text, mode_t mode = 0600) const
    {
        std::filesystem::create_directories(std::filesystem::path(absPath).parent_path());
        std::ofstream(absPath, std::ios::binary | std::ios::trunc) << text;
        ::chmod(absPath.c_str(), mode);
    }
    void writeSsh(const std::string& rel, const std::string& text, mode_t mode = 0600) const
    {
        write(ssh(rel), text, mode);
    }
    static std::string read(const std::string& absPath)
    {
        std::ifstream in(absPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::string readSsh(const std::string& rel) const { return read(ssh(rel)); }
    static bool exists(const std::string& absPath)
    {
        struct stat st {};
        return ::lstat(absPath.c_str(), &st) == 0;
    }
    static mode_t mode(const std::string& absPath)
    {
        struct stat st {};
        ::stat(absPath.c_str(), &st);
        return st.st_mode & 07777;
    }
    // Whether a temporary file of a save is left in ~/.ssh.
    bool temporaryLeft() const
    {
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(ssh(""), ec))
            if (e.path().filename().string().find(".quillmar-tmp") != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> backups() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(ssh("quillmar-backups"), ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // What OpenSSH makes of an alias with our config: `ssh -G` output as
    // keyword -> values. Include's "~" follows $HOME, so the scratch home is used.
    std::multimap<std::string, std::string> sshG(const std::string& alias,
                                                 const std::string& configRel = "config") const
    {
        platform::SpawnRequest req;
        req.executable = "/usr/bin/ssh";
        req.arguments = {"-G", "-F", ssh(configRel), "--", alias};
        req.environmentChanges = {{"HOME", home_}};
        auto result = platform::spawn(req);
        std::multimap<std::string, std::string> out;
        if (result.ending != platform::SpawnResult::Ending::exited || result.code != 0) {
            out.emplace("error", "ssh -G failed: " + std::to_string(result.code));
            return out;
        }
        std::istringstream lines(result.output);
        std::string line;
        while (std::getline(lines, line)) {
            auto sp = line.find(' ');
            if (sp == std::string::npos)
                continue;
            out.emplace(line.substr(0, sp), line.substr(sp + 1));
        }
        return out;
    }
    std::string sshValue(const std::string& alias, const std::string& key,
                         const std::string& configRel = "config") const
    {
        auto g = sshG(alias, configRel);
        if (g.count("error"))
            return g.find("error")->second;
        auto it = g.find(key);
        return it == g.end() ? std::string() : it->second;
    }
    // Runs `op` as the unprivileged user 65534 when we are root (root ignores
    // permissions), giving back the text it returns. Hands the home folder over first.
    std::string runUnprivileged(const std::function<std::string()>& op) const
    {
        if (::geteuid() != 0)
            return op();
        (void)!::lchown(home_.c_str(), 65534, 65534);
        for (auto& p : std::filesystem::recursive_directory_iterator(home_))
            (void)!::lchown(p.path().c_str(), 65534, 65534);
        int fds[2];
        if (::pipe(fds) != 0)
            return "pipe failed";
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            std::string msg = op();
            (void)!::write(fds[1], msg.data(), msg.size());
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string msg;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
            msg.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        ::waitpid(pid, nullptr, 0);
        return msg;
    }

private:
    std::string home_;
};

}  // namespace quillmar::test
