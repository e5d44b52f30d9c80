#pragma once

#include "platform/Spawn.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace quillmar::testing {

// A scratch home with an empty ~/.ssh, removed at the end.
class TempHome {
public:
    TempHome()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-keys-XXXXXX").string();
        home_ = ::mkdtemp(tmpl.data());
        std::filesystem::create_directory(ssh());
        ::chmod(ssh().c_str(), 0700);
    }
    ~TempHome()
    {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& home() const { return home_; }
    std::string ssh() const { return home_ + "/.ssh"; }
    std::string ssh(const std::string& name) const { return ssh() + "/" + name; }

    void write(const std::string& path, const std::string& text, mode_t mode = 0600) const
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        ::chmod(path.c_str(), mode);
    }

private:
    std::string home_;
};

inline platform::SpawnResult run(const std::string& exe, std::vector<std::string> args,
                                 std::vector<std::pair<std::string, std::optional<std::string>>> env = {})
{
    platform::SpawnRequest r;
    r.executable = exe;
    r.arguments = std::move(args);
    r.environmentChanges = std::move(env);
    r.timeLimit = std::chrono::seconds(60);
    return platform::spawn(r);
}

// A key pair without passphrase made by the real ssh-keygen.
inline bool keygen(const std::string& path, const std::vector<std::string>& typeArgs, const std::string& comment)
{
    std::vector<std::string> args{"-q", "-N", "", "-f", path, "-C", comment};
    args.insert(args.begin(), typeArgs.begin(), typeArgs.end());
    auto r = run("/usr/bin/ssh-keygen", args);
    return r.ending == platform::SpawnResult::Ending::exited && r.code == 0;
}

// The fingerprint field of `ssh-keygen -l -E sha256 -f <file>`.
inline std::string keygenFingerprint(const std::string& publicPath)
{
    auto r = run("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", publicPath});
    const auto first = r.output.find(' ');
    const auto second = r.output.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos)
        return {};
    return r.output.substr(first + 1, second - first - 1);
}

// A real ssh-agent in the foreground on a socket of the test's own.
class TestAgent {
public:
    explicit TestAgent(std::string socket) : socket_(std::move(socket))
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args{"/usr/bin/ssh-agent", "-D", "-a", socket_};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; pid_ > 0 && i < 500 && !std::filesystem::exists(socket_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~TestAgent() { stop(); }
    TestAgent(const TestAgent&) = delete;
    TestAgent& operator=(const TestAgent&) = delete;

    bool running() const { return pid_ > 0 && std::filesystem::exists(socket_); }
    const std::string& socket() const { return socket_; }

    // SIGKILL leaves a stale socket behind, as a crashed agent does.
    void stop(int signal = SIGTERM)
    {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    platform::SpawnResult sshAdd(std::vector<std::string> args) const
    {
        return run("/usr/bin/ssh-add", std::move(args), {{"SSH_AUTH_SOCK", socket_}});
    }

private:
    std::string socket_;
    pid_t pid_ = -1;
};

// Whether a process still runs; a zombie waiting for a reaper does not count.
inline bool processAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace quillmar::testing
