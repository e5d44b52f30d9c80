#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace ravelgrid {

// Whether the program in a terminal's foreground talks to another host, so
// that what the terminal receives comes from there and not from us. Asked at
// the moment of each request that needs trust (clipboard reads, screen
// read-back, local files); never cached, since the foreground changes with
// every command the shell runs. Never instantiated.
class RemoteLoginProbe {
public:
    RemoteLoginProbe() = delete;

    // A program name or path: "ssh", "/usr/bin/mosh-client", an alternative
    // such as "telnet.netkit", or a replaced binary "/usr/bin/ssh (deleted)".
    static bool isRemoteLoginProgram(std::string_view program);

    // Whether the foreground process group of the terminal whose master is
    // `masterFd` is led by such a program, told by its executable or, for a
    // script (whose executable is the interpreter), by its command name.
    // False when nothing can be told: no terminal, no foreground group, a
    // leader already gone. A tcgetpgrp, a readlink and one small read.
    static bool foregroundIsRemoteLogin(int masterFd);

    // The command name of the foreground group's leader when that group is
    // not the shell's own (`shellPid` leads its session and its group), so
    // that a program the shell started runs: "vim", "sleep". Empty when such
    // a group runs but its leader's name cannot be read (the leader has
    // ended before the rest of its pipeline). None when the shell itself is
    // in the foreground or nothing can be told. Control characters in the
    // name, which the program chose, become '?'.
    static std::optional<std::string> foregroundProgram(int masterFd, pid_t shellPid);
};

}  // namespace ravelgrid
