#pragma once

#include "platform/Spawn.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quillmar::testing {

// A scratch home with an empty ~/.ssh, removed at the end.
class TempHome {
public:
    TempHome() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-keys-XXXXXX").string();
        home_ = ::mkdtemp(tmpl.data());
        std::filesystem::create_directory(ssh());
        ::chmod(ssh().c_str(), 0700);
    }
    ~TempHome() {
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& home() const { return home_; }
    std::string ssh() const { return home_ + "/.ssh"; }
    std::string ssh(const std::string& name) const { return ssh() + "/" + name; }

    void write(const std::string& path, const std::string& text, mode_t mode = 0600) const {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        ::chmod(path.c_str(), mode);
    }

private:
    std::string home_;
};

inline platform::SpawnResult run(const std::string& exe, std::vector<std::string> args,
                                 std::vector<std::pair<std::string, std::optional<std::string>>> env = {}) {
    platform::SpawnRequest r;
    r.executable = exe;
    r.arguments = std::move(args);
    r.environmentChanges = std::move(env);
    r.timeLimit = std::chrono::seconds(60);
    return platform::spawn(r);
}

// A key pair without passphrase made by the real ssh-keygen.
inline void keygen(const std::string& path, const std::vector<std::string>& typeArgs, const std::string& comment) {
    std::vector<std::string> args{"-q", "-N", "", "-f", path, "-C", comment};
    args.insert(args.begin(), typeArgs.begin(), typeArgs.end());
    auto r = run("/usr/bin/ssh-keygen", args);
    ASSERT_EQ(r.ending, platform::SpawnResult::Ending::exited);
    ASSERT_EQ(r.code, 0) << "ssh-keygen failed for " << path;
}

// The fingerprint field of `ssh-keygen -l -E sha256 -f <file>`.
inline std::string keygenFingerprint(const std::string& publicPath) {
    auto r = run("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", publicPath});
    const auto first = r.output.find(' ');
    const auto second = r.output.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos) return {};
    return r.output.substr(first + 1, second - first - 1);
}

}  // namespace quillmar::testing
