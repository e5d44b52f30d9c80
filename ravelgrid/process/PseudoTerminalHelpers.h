#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace ravelgrid {

// A null-terminated array of private C string copies, as execve wants it.
// Owns every copy and the block.
class CStringArray {
public:
    CStringArray() = default;
    CStringArray(CStringArray&& other) noexcept;
    CStringArray& operator=(CStringArray&& other) noexcept;
    CStringArray(const CStringArray&) = delete;
    CStringArray& operator=(const CStringArray&) = delete;
    ~CStringArray();

    char* const* data() const { return block_; }
    std::size_t count() const { return count_; }

private:
    friend class PseudoTerminalHelpers;
    void release();

    char** block_ = nullptr;
    std::size_t count_ = 0;
};

struct PseudoTerminalStart {
    pid_t pid = -1;
    int masterFd = -1;  // close-on-exec and non-blocking
};

struct AvailableBytes {
    int status = -1;
    int size = 0;
};

// The few POSIX calls that put a program on a new pseudo-terminal and talk to
// the master side. Never instantiated.
class PseudoTerminalHelpers {
public:
    PseudoTerminalHelpers() = delete;

    // Starts `path` (used as given, no PATH search) on a new pseudo-terminal
    // with exactly `args` as its argument vector and `env` as its whole
    // environment. A directory that cannot be entered is ignored; a program
    // that cannot be executed makes the child exit with 127. The child keeps
    // only descriptors 0, 1 and 2, with every signal unblocked and SIGPIPE and
    // SIGCHLD at their defaults. Absent when anything fails in the parent.
    static std::optional<PseudoTerminalStart> forkAndExec(const std::string& path, const std::vector<std::string>& args,
                                                          const std::vector<std::string>& env,
                                                          const std::optional<std::string>& currentDirectory,
                                                          const winsize& desiredWindowSize);

    // TIOCSWINSZ; returns the ioctl result.
    static int setWinSize(int masterPtyDescriptor, const winsize& windowSize);

    // FIONREAD; `size` stays 0 when the call fails.
    static AvailableBytes availableBytes(int fd);

    static std::optional<CStringArray> makeCStringArray(const std::vector<std::string>& strings);
};

}  // namespace ravelgrid
