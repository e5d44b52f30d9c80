#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmar {

// The command line of a local shell tab.
struct ShellCommand {
    std::string executable;
    std::vector<std::string> args;  // without argument 0
};

using EnvLookup = std::function<const char*(const char*)>;

// /bin/zsh -l where zsh is installed, else the user's login shell from the
// password database (or /bin/sh) with -l.
ShellCommand localShellCommand();
ShellCommand localShellCommand(const std::function<bool(const std::string&)>& isExecutable,
                               const std::optional<std::string>& passwordDatabaseShell);

// The terminal's default environment plus PATH, SSH_AUTH_SOCK, SHELL and
// TMPDIR from the application's own.
std::vector<std::string> sessionEnvironment();
std::vector<std::string> sessionEnvironment(const EnvLookup& lookup);

// The directory a session starts in: the home directory, or / when it cannot be entered.
std::string sessionDirectory();

// "exited <code>", "killed by signal <n>", or "exited: I/O error" when the
// wait status is missing.
QString describeExit(std::optional<int> waitStatus);
// A clean exit is exit code 0; signals and missing statuses are not clean.
std::optional<int> exitCodeOf(std::optional<int> waitStatus);

}  // namespace quillmar
