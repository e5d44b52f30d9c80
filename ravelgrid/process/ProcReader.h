#pragma once

#include <sys/types.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdio.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// Readers of /proc and of the kernel's socket tables, each bounded, each
// telling a process that ended from one we may not read.
namespace ravelgrid::proc {

enum class Read { ok, gone, denied };

template <typename T>
bool parseNumber(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

struct ProcPath {
    char text[64];
    ProcPath(pid_t pid, const char* leaf) { snprintf(text, sizeof text, "/proc/%d/%s", static_cast<int>(pid), leaf); }
    // Through thread `tid` of the process; the process itself when `tid` is 0.
    ProcPath(pid_t pid, pid_t tid, const char* leaf)
    {
        if (tid == 0)
            snprintf(text, sizeof text, "/proc/%d/%s", static_cast<int>(pid), leaf);
        else
            snprintf(text, sizeof text, "/proc/%d/task/%d/%s", static_cast<int>(pid), static_cast<int>(tid), leaf);
    }
    operator const char*() const { return text; }
};

// What one line of /proc/<pid>/stat tells.
struct Stat {
    char state = '?';
    pid_t ppid = 0;
    pid_t session = 0;
    std::uint32_t tty = 0;
    std::uint32_t flags = 0;  // the kernel's PF_ flags
    long threads = 1;
    std::uint64_t startTime = 0;
    std::string comm;
};

// A file of /proc read whole into `out`, at most `limit` bytes.
Read readFile(const char* path, std::string& out, std::size_t limit);
// One read of a small file into `buffer`; its length, or a failure.
Read readSmall(const char* path, char* buffer, std::size_t size, std::size_t& length);
Read readLinkAt(int dir, const char* name, std::string& target);

// /proc/<pid>/stat; the command name may hold spaces and parentheses.
Read readStat(const char* path, Stat& stat);
// The process a thread id belongs to (its thread group), from /proc/<id>/status.
std::optional<pid_t> readThreadGroup(pid_t id);
// A thread's time on the CPU and how often it was scheduled.
bool readSchedstat(const char* path, std::uint64_t& ns, std::uint64_t& count);
// The thread a process is read through: itself (0) while its main thread
// lives, else one of its live threads, since a main thread that ended
// (pthread_exit) leaves a zombie without descriptors or program while the
// others run on. gone when no thread lives, denied when that cannot be told.
Read liveThread(pid_t pid, const Stat& stat, std::size_t maxThreads, pid_t& tid);

// The terminal device of a master's slave, as /proc/<pid>/stat encodes it, and its path.
std::optional<std::uint32_t> slaveDevice(int masterFd, std::string& path);
// The last process id the kernel handed out in our namespace.
std::optional<long> lastPid();
bool ownedBy(pid_t pid, uid_t uid);
// The account /proc shows a process under (root for one that may not be read).
std::optional<uid_t> ownerOf(pid_t pid);
// Clock ticks since boot, the clock of a process's start time.
std::uint64_t bootTicks();
// Whether /proc hides other users' processes from us (hidepid).
bool hidesProcesses();

// Where a process came from, which its forks inherit and what a service
// manager, cron or another login starts does not share: the text of its
// control groups and its audit login session. A part the kernel does not
// offer, or that could not be read, tells nothing.
struct Origin {
    std::optional<std::string> cgroups;
    std::optional<std::string> session;
    auto operator<=>(const Origin&) const = default;
    // Whether a process from here may descend from one from `ancestor`.
    bool mayDescendFrom(const Origin& ancestor) const
    {
        return (!cgroups || !ancestor.cgroups || *cgroups == *ancestor.cgroups) &&
               (!session || !ancestor.session || *session == *ancestor.session);
    }
};
// The origin of a process, read through thread `tid` of it (0 for itself);
// gone when the process has ended.
Read readOrigin(pid_t pid, pid_t tid, Origin& origin);

// The inodes of the inet sockets of one network namespace, read through a
// process (thread `tid` of it, 0 for itself) that lives in it.
bool loadInetInodes(pid_t pid, pid_t tid, std::size_t limit, std::unordered_set<std::uint64_t>& inodes);
// The peer of every connected unix socket of our network namespace, by inode.
bool loadUnixPeers(std::size_t limit, std::unordered_map<std::uint64_t, std::uint64_t>& peers);

// A socket's inode from a descriptor's link, "socket:[1234]".
std::optional<std::uint64_t> socketInode(std::string_view link);

enum class SocketKind { inet, other, gone, denied, unnamed };
// What kind of socket a process's descriptor is, as the kernel names its
// protocol ("TCP", "UDPv6", "UNIX-STREAM"); unconnected ones count too.
// Read through thread `tid` of it (0 for the process itself).
SocketKind socketKind(pid_t pid, pid_t tid, const char* fd);

enum class Fds { ok, gone, denied, tooMany };
// Every descriptor link of a process, read through thread `tid` of it (0
// for the process itself); counts them first where the kernel tells the
// count, so a process with too many costs one call.
Fds forEachFd(pid_t pid, pid_t tid, std::size_t maxFds,
              const std::function<bool(const char*, std::string_view)>& visit);

}  // namespace ravelgrid::proc
