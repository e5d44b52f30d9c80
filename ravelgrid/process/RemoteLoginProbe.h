#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace ravelgrid {

// Names of remote-login clients, and the program in a terminal's foreground.
// Whether a terminal's output is trusted is decided from all the processes
// that can write to it (see RemoteSessionProbe), not from its foreground.
// Never instantiated.
class RemoteLoginProbe {
public:
    RemoteLoginProbe() = delete;

    // A program name or path: "ssh", "/usr/bin/mosh-client", an alternative
    // such as "telnet.netkit", or a replaced binary "/usr/bin/ssh (deleted)".
    static bool isRemoteLoginProgram(std::string_view program);

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
