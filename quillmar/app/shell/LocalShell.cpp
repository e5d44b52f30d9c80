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

bool executableFile(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> passwordDatabaseShell()
{
    const passwd* pw = ::getpwuid(::getuid());
    if (!pw || !pw->pw_shell || pw->pw_shell[0] == '\0')
        return std::nullopt;
    return std::string(pw->pw_shell);
}

}  // namespace

ShellCommand localShellCommand(const std::function<bool(const std::string&)>& isExecutable,
                               const std::optional<std::string>& passwordDatabaseShell,
                               const std::optional<std::string>& shellVariable)
{
    // nologin and false are run-able but end the tab at once.
    const auto usable = [&](const std::optional<std::string>& shell) {
        if (!shell || shell->empty() || shell->front() != '/' || !isExecutable(*shell))
            return false;
        const std::string name = shell->substr(shell->rfind('/') + 1);
        return name != "nologin" && name != "false";
    };
    if (usable(passwordDatabaseShell))
        return {*passwordDatabaseShell, {"-l"}};
    if (usable(shellVariable))
        return {*shellVariable, {"-l"}};
    return {"/bin/sh", {"-l"}};
}

ShellCommand localShellCommand()
{
    const char* variable = std::getenv("SHELL");
    return localShellCommand(executableFile, passwordDatabaseShell(),
                             variable ? std::optional<std::string>(variable) : std::nullopt);
}

std::vector<std::string> sessionEnvironment()
{
    return ravelgrid::Terminal::getEnvironmentVariables(std::string("xterm-256color"), true);
}

std::string sessionDirectory()
{
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

QString describeExit(std::optional<int> waitStatus)
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("quillmar::LocalShell", text); };
    if (!waitStatus)
        return tr("exited: I/O error");
    if (WIFSIGNALED(*waitStatus))
        return tr("killed by signal %1").arg(WTERMSIG(*waitStatus));
    return tr("exited %1").arg(WEXITSTATUS(*waitStatus));
}

std::optional<int> exitCodeOf(std::optional<int> waitStatus)
{
    if (!waitStatus || WIFSIGNALED(*waitStatus))
        return std::nullopt;
    return WEXITSTATUS(*waitStatus);
}

}  // namespace quillmar
