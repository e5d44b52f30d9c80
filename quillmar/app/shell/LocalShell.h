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

// The account's login shell, as a login shell: the password database's
// shell, else $SHELL, else /bin/sh, each only where it can be run.
ShellCommand localShellCommand();
ShellCommand localShellCommand(const std::function<bool(const std::string&)>& isExecutable,
                               const std::optional<std::string>& passwordDatabaseShell,
                               const std::optional<std::string>& shellVariable);

// What every terminal child (local shell, ssh, key tool) starts with: the
// desktop session's environment as the terminal hands it on.
std::vector<std::string> sessionEnvironment();

// The directory a session starts in: the home directory, or / when it cannot be entered.
std::string sessionDirectory();

// "exited <code>", "killed by signal <n>", or "exited: I/O error" when the
// wait status is missing.
QString describeExit(std::optional<int> waitStatus);
// A clean exit is exit code 0; signals and missing statuses are not clean.
std::optional<int> exitCodeOf(std::optional<int> waitStatus);

}  // namespace quillmar
