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
#include <vector>

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

// PF_EXITING: a thread that has begun to end, before it lets go of its
// descriptors, its memory and its control groups.
constexpr std::uint32_t kExiting = 0x4;

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

// A process is read through its threads, any of which may end at any
// moment: a main thread that ended (pthread_exit) leaves a zombie without
// descriptors, program or control groups while the others run on, and a
// read through a thread that ends under it comes back short. So what is
// read through a thread counts only if the thread still lives once the read
// is over, and a process has ended only when none of its threads lives.

// Whether thread `tid` of a process (0: the process itself) lives: gone once
// it has begun to end.
Read threadLives(pid_t pid, pid_t tid);
// The threads of a process to read it through: the process itself (0)
// while it has one thread, else each by its id but a main thread that
// ended; at most `maxThreads` (denied past that). gone when none lives.
Read listThreads(pid_t pid, const Stat& stat, std::size_t maxThreads, std::vector<pid_t>& tids);
// The threads of a process grouped by the table of descriptors they share
// (a thread may have one of its own, unshare), so that each table is read
// once; where the kernel does not tell (kcmp), each thread on its own.
std::vector<std::vector<pid_t>> tablesOf(const std::vector<pid_t>& tids);

enum class Pass { done, threadEnded };
// Runs `pass` over the threads of a process until one is not cut short by
// a thread that ended meanwhile (`pass` says threadEnded), listing them
// anew each time, a few times at most. gone once no thread lives, denied
// when that cannot be told (too many threads, or they end faster than they
// can be read).
Read throughLiveThreads(pid_t pid, const Stat& stat, std::size_t maxThreads,
                        const std::function<Pass(const std::vector<pid_t>&)>& pass);

// The terminal device of a master's slave, as /proc/<pid>/stat encodes it, and its path.
std::optional<std::uint32_t> slaveDevice(int masterFd, std::string& path);
// The last process id the kernel handed out in our namespace.
std::optional<long> lastPid();
bool ownedBy(pid_t pid, uid_t uid);
// The account /proc shows a process (thread `tid` of it, 0 for itself)
// under: root for one that may not be read.
std::optional<uid_t> ownerOf(pid_t pid, pid_t tid = 0);
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
// The origin of thread `tid` of a process (0: the process itself); gone
// when that thread has ended, since one that ended shows the root's control
// groups: that is not an origin that tells nothing.
Read readOrigin(pid_t pid, pid_t tid, Origin& origin);

// The inodes of the inet sockets of one network namespace, read through a
// process (thread `tid` of it, 0 for itself) that lives in it.
bool loadInetInodes(pid_t pid, pid_t tid, std::size_t limit, std::unordered_set<std::uint64_t>& inodes);
// The peer of every connected unix socket of our network namespace, by
// inode, added to `peers`: a socket any dump saw stays there.
bool loadUnixPeers(std::size_t limit, std::unordered_map<std::uint64_t, std::uint64_t>& peers);

// A socket's inode from a descriptor's link, "socket:[1234]".
std::optional<std::uint64_t> socketInode(std::string_view link);

// A pipe's inode from a descriptor's link, "pipe:[1234]".
std::optional<std::uint64_t> pipeInode(std::string_view link);
// Whether a descriptor of a process (read through thread `tid`, 0 for the
// process itself) is open for writing, or else for reading; false when that
// cannot be told.
bool fdOpenFor(pid_t pid, pid_t tid, const char* fd, bool writing);

enum class SocketKind { inet, other, gone, denied, unnamed };
// What kind of socket a process's descriptor is, as the kernel names its
// protocol ("TCP", "UDPv6", "UNIX-STREAM"); unconnected ones count too.
// Read through thread `tid` of it (0 for the process itself).
SocketKind socketKind(pid_t pid, pid_t tid, const char* fd);

// What a visit of a descriptor says: go on, stop (it found what it
// looked for), or go on though what the link names could not be read (it
// may have ended with the thread the table is read through).
enum class Visit { next, stop, vanished };
// partial: the table came back empty, or shorter than the kernel counted,
// or a link or what it names vanished under the read.
enum class Fds { ok, gone, denied, tooMany, partial };
// Every descriptor link of a process, read through thread `tid` of it (0
// for the process itself); counts them first where the kernel tells the
// count, so a process with too many costs one call.
Fds forEachFd(pid_t pid, pid_t tid, std::size_t maxFds,
              const std::function<Visit(const char*, std::string_view)>& visit);

// Visits a descriptor of a table read through thread `tid`.
using TableVisit = std::function<Visit(pid_t tid, const char* fd, std::string_view link)>;
// One table of descriptors, read through the first of `tids` (threads that
// share it) that lives until the read is over: a thread of a process that
// has several is checked after each read, the process itself only when the
// read came back partial. gone once every one of them has ended.
Fds readTable(pid_t pid, const std::vector<pid_t>& tids, std::size_t maxFds, const TableVisit& visit);
// Every table of the threads `tids` (as listThreads gives them), each read
// once (readTable). A table we may not read is passed over: denied when one
// was and the visit did not stop; gone when a thread ended under a read.
Fds readTables(pid_t pid, const std::vector<pid_t>& tids, std::size_t maxFds, const TableVisit& visit);
// Every table of the live threads of a process, read again whenever a
// thread ended under a read (`begin` starts each pass afresh): tooMany past
// `maxFds` in one table, past `maxThreads`, or when threads end faster than
// they can be read; gone once no thread lives.
Fds forEachTableFd(pid_t pid, const Stat& stat, std::size_t maxThreads, std::size_t maxFds,
                   const std::function<void()>& begin, const TableVisit& visit);
// How many descriptors the tables of the live threads of a process hold
// together (0 where the kernel does not count them); gone once no thread
// lives, denied when that cannot be told.
Read countFds(pid_t pid, const Stat& stat, std::size_t maxThreads, std::uint64_t& count);

}  // namespace ravelgrid::proc
