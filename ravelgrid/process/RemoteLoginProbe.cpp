#include "ravelgrid/process/RemoteLoginProbe.h"

#include <fcntl.h>
#include <limits.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

namespace ravelgrid {

namespace {

// Clients whose output is a remote host's. sftp and scp are in although they
// drive no remote terminal: they print names the remote chose, and trust costs
// them nothing. ssh-copy-id is a script that runs ssh in its own process group.
constexpr std::array<std::string_view, 17> remoteLoginPrograms = {
    "autossh", "dbclient", "et",   "mosh",   "mosh-client", "nc",          "ncat",   "netcat", "rlogin",
    "rsh",     "scp",      "sftp", "slogin", "ssh",         "ssh-copy-id", "telnet", "xxh"};

std::string_view programName(std::string_view program)
{
    constexpr std::string_view deleted = " (deleted)";
    if (program.size() >= deleted.size() && program.substr(program.size() - deleted.size()) == deleted)
        program.remove_suffix(deleted.size());
    if (const auto slash = program.rfind('/'); slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    // Debian's alternatives: telnet.netkit, nc.openbsd.
    if (const auto dot = program.find('.'); dot != std::string_view::npos && dot > 0)
        program = program.substr(0, dot);
    return program;
}

bool readSmallFile(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    std::array<char, 64> buffer;  // a command name is at most 15 bytes
    ssize_t n;
    do {
        n = read(fd, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0)
        return false;
    text.assign(buffer.data(), static_cast<std::size_t>(n));
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return true;
}

}  // namespace

bool RemoteLoginProbe::isRemoteLoginProgram(std::string_view program)
{
    const std::string_view name = programName(program);
    return std::find(remoteLoginPrograms.begin(), remoteLoginPrograms.end(), name) != remoteLoginPrograms.end();
}

std::optional<std::string> RemoteLoginProbe::foregroundProgram(int masterFd, pid_t shellPid)
{
    if (masterFd < 0 || shellPid <= 0)
        return std::nullopt;
    const pid_t group = tcgetpgrp(masterFd);
    if (group <= 0 || group == shellPid)
        return std::nullopt;
    std::string name;
    if (!readSmallFile("/proc/" + std::to_string(group) + "/comm", name))
        return std::string();
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return name;
}

}  // namespace ravelgrid
