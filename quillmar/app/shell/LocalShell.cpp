#include "quillmar/app/shell/LocalShell.h"

#include "ravelgrid/terminal/Terminal.h"

#include <QCoreApplication>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace quillmar {
namespace {

bool executableFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> passwordDatabaseShell() {
    const passwd* pw = ::getpwuid(::getuid());
    if (!pw || !pw->pw_shell || pw->pw_shell[0] == '\0')
        return std::nullopt;
    return std::string(pw->pw_shell);
}

}  // namespace

ShellCommand localShellCommand(const std::function<bool(const std::string&)>& isExecutable,
                               const std::optional<std::string>& loginShell) {
    if (isExecutable("/bin/zsh"))
        return {"/bin/zsh", {"-l"}};
    if (loginShell && isExecutable(*loginShell))
        return {*loginShell, {"-l"}};
    return {"/bin/sh", {"-l"}};
}

ShellCommand localShellCommand() { return localShellCommand(executableFile, passwordDatabaseShell()); }

std::vector<std::string> sessionEnvironment(const EnvLookup& lookup) {
    std::vector<std::string> env = ravelgrid::Terminal::getEnvironmentVariables(std::string("xterm-256color"), true, lookup);
    for (const char* name : {"PATH", "SSH_AUTH_SOCK", "SHELL", "TMPDIR"}) {
        if (const char* value = lookup(name))
            env.push_back(std::string(name) + "=" + value);
    }
    return env;
}

std::vector<std::string> sessionEnvironment() {
    return sessionEnvironment([](const char* name) -> const char* { return std::getenv(name); });
}

std::string sessionDirectory() {
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/')
        home = env;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    // A home that cannot be entered would leave the child wherever the
    // application happened to be started; the root is at least predictable.
    struct stat st {};
    if (home.empty() || ::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || ::access(home.c_str(), X_OK) != 0)
        return "/";
    return home;
}

QString describeExit(std::optional<int> waitStatus) {
    const auto tr = [](const char* text) { return QCoreApplication::translate("quillmar::LocalShell", text); };
    if (!waitStatus)
        return tr("exited: I/O error");
    if (WIFSIGNALED(*waitStatus))
        return tr("killed by signal %1").arg(WTERMSIG(*waitStatus));
    return tr("exited %1").arg(WEXITSTATUS(*waitStatus));
}

std::optional<int> exitCodeOf(std::optional<int> waitStatus) {
    if (!waitStatus || WIFSIGNALED(*waitStatus))
        return std::nullopt;
    return WEXITSTATUS(*waitStatus);
}

}  // namespace quillmar
