#include "ravelgrid/process/ProcReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits.h>
#include <utility>

namespace ravelgrid::proc {

namespace {

Read failure()
{
    return errno == EACCES || errno == EPERM ? Read::denied : Read::gone;
}

}  // namespace

// A file of /proc read whole into `out`, at most `limit` bytes.
Read readFile(const char* path, std::string& out, std::size_t limit)
{
    out.clear();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure();
    char buffer[8192];
    Read result = Read::ok;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = failure();
            break;
        }
        if (n == 0)
            break;
        const std::size_t take = std::min(static_cast<std::size_t>(n), limit - out.size());
        out.append(buffer, take);
        if (out.size() >= limit)
            break;
    }
    close(fd);
    return result;
}

// One read of a small file into `buffer`; its length, or a failure.
Read readSmall(const char* path, char* buffer, std::size_t size, std::size_t& length)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure();
    ssize_t n;
    do {
        n = read(fd, buffer, size - 1);
    } while (n < 0 && errno == EINTR);
    const Read result = n < 0 ? failure() : Read::ok;
    close(fd);
    length = n > 0 ? static_cast<std::size_t>(n) : 0;
    buffer[length] = '\0';
    return result;
}

Read readLinkAt(int dir, const char* name, std::string& target)
{
    char buffer[PATH_MAX];
    const ssize_t n = readlinkat(dir, name, buffer, sizeof buffer);
    if (n < 0)
        return failure();
    target.assign(buffer, static_cast<std::size_t>(n));
    return Read::ok;
}

std::optional<std::uint32_t> slaveDevice(int masterFd, std::string& path)
{
    if (masterFd < 0)
        return std::nullopt;
    char name[128];
    if (ptsname_r(masterFd, name, sizeof name) != 0)
        return std::nullopt;
    struct stat st;
    if (stat(name, &st) != 0)
        return std::nullopt;
    path = name;
    const unsigned maj = major(st.st_rdev);
    const unsigned min = minor(st.st_rdev);
    // The kernel's own encoding of tty_nr.
    return (min & 0xffu) | (maj << 8) | ((min & ~0xffu) << 12);
}

// The inodes of the inet sockets of one network namespace, read through a
// process (thread `tid` of it, 0 for itself) that lives in it.
bool loadInetInodes(pid_t pid, pid_t tid, std::size_t limit, std::unordered_set<std::uint64_t>& inodes)
{
    std::string text;
    for (const char* table : {"net/tcp", "net/tcp6", "net/udp", "net/udp6"}) {
        const Read r = readFile(ProcPath(pid, tid, table), text, limit + 1);
        if (r == Read::denied)
            return false;
        if (r == Read::gone)
            continue;  // no IPv6, or the process ended
        if (text.size() > limit)
            return false;
        std::string_view all(text);
        bool header = true;
        while (!all.empty()) {
            const auto nl = all.find('\n');
            std::string_view line = all.substr(0, nl);
            all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
            if (std::exchange(header, false))
                continue;
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            std::size_t field = 0;
            while (!line.empty()) {
                while (!line.empty() && line.front() == ' ')
                    line.remove_prefix(1);
                const auto space = line.find(' ');
                const std::string_view word = line.substr(0, space);
                line = space == std::string_view::npos ? std::string_view() : line.substr(space);
                if (field++ == 9) {
                    std::uint64_t inode = 0;
                    if (parseNumber(word, inode) && inode != 0)
                        inodes.insert(inode);
                    break;
                }
            }
        }
    }
    return true;
}

namespace {

enum class Dump { ok, failed, tooMany };

// One dump of the kernel's unix sockets, each one's peer added to `peers`.
Dump dumpUnixPeers(std::size_t limit, std::unordered_map<std::uint64_t, std::uint64_t>& peers)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return Dump::failed;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_UNIX;
    message.request.udiag_states = ~0u;
    message.request.udiag_show = UDIAG_SHOW_PEER;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        close(fd);
        return Dump::failed;
    }
    alignas(nlmsghdr) char buffer[32768];
    std::size_t seen = 0;
    Dump result = Dump::failed;
    for (bool done = false; !done;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::size_t left = static_cast<std::size_t>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            // A dump the kernel says was disturbed tells nothing whole.
            if (h->nlmsg_flags & NLM_F_DUMP_INTR) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                result = Dump::ok;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (++seen > limit) {
                done = true;
                result = Dump::tooMany;
                break;
            }
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                continue;
            const auto* entry = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
            auto attributeBytes = static_cast<unsigned>(h->nlmsg_len - NLMSG_LENGTH(sizeof *entry));
            for (auto* a = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(entry) + 1); RTA_OK(a, attributeBytes);
                 a = RTA_NEXT(a, attributeBytes)) {
                if (a->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(a) >= sizeof(std::uint32_t)) {
                    std::uint32_t peer = 0;
                    memcpy(&peer, RTA_DATA(a), sizeof peer);
                    if (peer != 0)
                        peers[entry->udiag_ino] = peer;
                }
            }
        }
    }
    close(fd);
    return result;
}

}  // namespace

// A dump cut short (an error, a full receive queue) is made again, a few
// times at most; one past the limit is not.
bool loadUnixPeers(std::size_t limit, std::unordered_map<std::uint64_t, std::uint64_t>& peers)
{
    constexpr int kDumps = 3;
    for (int dump = 0; dump < kDumps; ++dump) {
        const Dump r = dumpUnixPeers(limit, peers);
        if (r != Dump::failed)
            return r == Dump::ok;
    }
    return false;
}

// The last process id the kernel handed out in our namespace.
std::optional<long> lastPid()
{
    char buffer[256];
    std::size_t length = 0;
    if (readSmall("/proc/loadavg", buffer, sizeof buffer, length) != Read::ok)
        return std::nullopt;
    std::string_view text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    const auto space = text.rfind(' ');
    long value = 0;
    if (space == std::string_view::npos || !parseNumber(text.substr(space + 1), value))
        return std::nullopt;
    return value;
}

bool ownedBy(pid_t pid, uid_t uid)
{
    struct stat st;
    return stat(ProcPath(pid, ""), &st) == 0 && st.st_uid == uid;
}

std::optional<uid_t> ownerOf(pid_t pid, pid_t tid)
{
    struct stat st;
    if (stat(ProcPath(pid, tid, ""), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

std::uint64_t bootTicks()
{
    static const long perSecond = sysconf(_SC_CLK_TCK);
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto hz = static_cast<std::uint64_t>(perSecond > 0 ? perSecond : 100);
    return static_cast<std::uint64_t>(now.tv_sec) * hz + static_cast<std::uint64_t>(now.tv_nsec) * hz / 1000000000u;
}

namespace {

// The inode of a descriptor's link "KIND:[1234]".
std::optional<std::uint64_t> linkInode(std::string_view link, std::string_view prefix)
{
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return std::nullopt;
    std::uint64_t inode = 0;
    if (!parseNumber(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode))
        return std::nullopt;
    return inode;
}

}  // namespace

std::optional<std::uint64_t> socketInode(std::string_view link)
{
    return linkInode(link, "socket:[");
}

std::optional<std::uint64_t> pipeInode(std::string_view link)
{
    return linkInode(link, "pipe:[");
}

bool fdOpenFor(pid_t pid, pid_t tid, const char* fd, bool writing)
{
    char path[128];
    snprintf(path, sizeof path, "%s/%s", static_cast<const char*>(ProcPath(pid, tid, "fd")), fd);
    // The link's own mode tells how the descriptor was opened.
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    return (st.st_mode & (writing ? S_IWUSR : S_IRUSR)) != 0;
}

// What kind of socket a process's descriptor is, as the kernel names its
// protocol ("TCP", "UDPv6", "UNIX-STREAM"); unconnected ones count too.
SocketKind socketKind(pid_t pid, pid_t tid, const char* fd)
{
    char path[128];
    snprintf(path, sizeof path, "%s/%s", static_cast<const char*>(ProcPath(pid, tid, "fd")), fd);
    char name[64];
    const ssize_t n = getxattr(path, "system.sockprotoname", name, sizeof name - 1);
    if (n < 0) {
        if (errno == EACCES || errno == EPERM)
            return SocketKind::denied;
        return errno == ENOENT ? SocketKind::gone : SocketKind::unnamed;
    }
    const std::string_view protocol(name, strnlen(name, static_cast<std::size_t>(n)));
    for (std::string_view inet : {"TCP", "UDP", "MPTCP", "SCTP", "DCCP"})
        if (protocol.substr(0, inet.size()) == inet)
            return SocketKind::inet;
    return SocketKind::other;
}

// Every descriptor link of a process, read through thread `tid` of it (0
// for the process itself); counts them first where the kernel tells the
// count, so a process with too many costs one call.
Fds forEachFd(pid_t pid, pid_t tid, std::size_t maxFds,
              const std::function<Visit(const char*, std::string_view)>& visit)
{
    const int dirFd = open(ProcPath(pid, tid, "fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno == EACCES || errno == EPERM ? Fds::denied : Fds::gone;
    struct stat st;
    std::uint64_t counted = 0;
    if (fstat(dirFd, &st) == 0) {
        counted = static_cast<std::uint64_t>(st.st_size);
        if (counted > maxFds) {
            close(dirFd);
            return Fds::tooMany;
        }
    }
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return Fds::gone;
    }
    std::size_t count = 0;
    Fds result = Fds::ok;
    bool vanished = false;
    bool stopped = false;
    std::string link;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            vanished = vanished || errno != 0;
            break;
        }
        if (entry->d_name[0] == '.')
            continue;
        if (++count > maxFds) {
            result = Fds::tooMany;
            break;
        }
        // Closed meanwhile, or the thread let go of its table.
        if (readLinkAt(dirfd(dir), entry->d_name, link) != Read::ok) {
            vanished = true;
            continue;
        }
        const Visit next = visit(entry->d_name, link);
        if (next == Visit::stop) {
            stopped = true;
            break;
        }
        vanished = vanished || next == Visit::vanished;
    }
    closedir(dir);
    if (result == Fds::ok && !stopped && (vanished || count == 0 || count < counted))
        result = Fds::partial;
    return result;
}

Fds readTable(pid_t pid, const std::vector<pid_t>& tids, std::size_t maxFds, const TableVisit& visit)
{
    for (const pid_t tid : tids) {
        bool stopped = false;
        const Fds r = forEachFd(pid, tid, maxFds, [&](const char* fd, std::string_view link) {
            const Visit next = visit(tid, fd, link);
            stopped = next == Visit::stop;
            return next;
        });
        if (stopped || r == Fds::tooMany)
            return r;
        if (r == Fds::gone)
            continue;
        // A process of one thread ends with it, unless it started another
        // meanwhile: only a read that came back partial is checked.
        if (r == Fds::ok && tid == 0)
            return r;
        // A thread that ended may have shown part of its table, or shown it
        // as root's once it let go of its memory.
        const Read lives = threadLives(pid, tid);
        if (lives == Read::gone)
            continue;
        return r == Fds::denied || lives == Read::denied ? Fds::denied : Fds::ok;
    }
    return Fds::gone;
}

Fds readTables(pid_t pid, const std::vector<pid_t>& tids, std::size_t maxFds, const TableVisit& visit)
{
    Fds result = Fds::ok;
    for (const auto& table : tablesOf(tids)) {
        bool stopped = false;
        const Fds r = readTable(pid, table, maxFds, [&](pid_t tid, const char* fd, std::string_view link) {
            const Visit next = visit(tid, fd, link);
            stopped = next == Visit::stop;
            return next;
        });
        if (stopped)
            return Fds::ok;
        if (r == Fds::gone || r == Fds::tooMany)
            return r;
        if (r == Fds::denied)
            result = r;
    }
    return result;
}

Fds forEachTableFd(pid_t pid, const Stat& stat, std::size_t maxThreads, std::size_t maxFds,
                   const std::function<void()>& begin, const TableVisit& visit)
{
    Fds result = Fds::ok;
    const Read r = throughLiveThreads(pid, stat, maxThreads, [&](const std::vector<pid_t>& tids) {
        begin();
        result = readTables(pid, tids, maxFds, visit);
        return result == Fds::gone ? Pass::threadEnded : Pass::done;
    });
    if (r == Read::ok)
        return result;
    return r == Read::gone ? Fds::gone : Fds::tooMany;
}

Read countFds(pid_t pid, const Stat& stat, std::size_t maxThreads, std::uint64_t& count)
{
    Read result = Read::ok;
    const Read r = throughLiveThreads(pid, stat, maxThreads, [&](const std::vector<pid_t>& tids) {
        count = 0;
        result = Read::ok;
        for (const auto& table : tablesOf(tids)) {
            Read got = Read::gone;
            for (const pid_t tid : table) {
                struct stat fds;
                if (::stat(ProcPath(pid, tid, "fd"), &fds) != 0) {
                    if (errno != EACCES && errno != EPERM)
                        continue;
                    got = Read::denied;
                    break;
                }
                // A thread that ended under the call counts none.
                got = tid == 0 ? Read::ok : threadLives(pid, tid);
                if (got != Read::gone) {
                    count += static_cast<std::uint64_t>(fds.st_size);
                    break;
                }
            }
            if (got == Read::gone)
                return Pass::threadEnded;
            if (got == Read::denied)
                result = got;
        }
        return Pass::done;
    });
    return r == Read::ok ? result : r;
}

// /proc/<pid>/stat; the command name may hold spaces and parentheses.
Read readStat(const char* path, Stat& stat)
{
    char buffer[1024];
    std::size_t length = 0;
    const Read r = readSmall(path, buffer, sizeof buffer, length);
    if (r != Read::ok)
        return r;
    const std::string_view text(buffer, length);
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return Read::gone;
    stat.comm.assign(text.substr(open + 1, close - open - 1));
    std::string_view rest = text.substr(close + 1);
    std::array<std::string_view, 20> fields;
    std::size_t count = 0;
    while (count < fields.size()) {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        if (rest.empty())
            break;
        const auto space = rest.find(' ');
        fields[count++] = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space);
    }
    if (count < fields.size() || fields[0].empty())
        return Read::gone;
    stat.state = fields[0][0];
    int tty = 0;
    if (!parseNumber(fields[1], stat.ppid) || !parseNumber(fields[3], stat.session) || !parseNumber(fields[4], tty) ||
        !parseNumber(fields[6], stat.flags) || !parseNumber(fields[17], stat.threads) ||
        !parseNumber(fields[19], stat.startTime))
        return Read::gone;
    stat.tty = static_cast<std::uint32_t>(tty);
    return Read::ok;
}

// A thread's time on the CPU and how often it was scheduled.
bool readSchedstat(const char* path, std::uint64_t& ns, std::uint64_t& count)
{
    char buffer[128];
    std::size_t length = 0;
    if (readSmall(path, buffer, sizeof buffer, length) != Read::ok)
        return false;
    std::string_view text(buffer, length);
    std::array<std::string_view, 3> fields;
    for (auto& field : fields) {
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        const auto end = text.find_first_of(" \n");
        field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end);
    }
    return parseNumber(fields[0], ns) && parseNumber(fields[2], count);
}

Read threadLives(pid_t pid, pid_t tid)
{
    Stat stat;
    const Read r = readStat(ProcPath(pid, tid, "stat"), stat);
    if (r != Read::ok)
        return r;
    return stat.state == 'Z' || stat.state == 'X' || (stat.flags & kExiting) ? Read::gone : Read::ok;
}

Read listThreads(pid_t pid, const Stat& stat, std::size_t maxThreads, std::vector<pid_t>& tids)
{
    // A listing of /proc/<pid>/task stops short where it meets a thread
    // that ended under it: it holds them all only when every thread the
    // process counts once it is over is in it and still there.
    constexpr int kListings = 8;
    Stat now = stat;
    std::vector<pid_t> listed;
    for (int listing = 0; listing < kListings; ++listing) {
        tids.clear();
        const bool mainLives = now.state != 'Z' && now.state != 'X' && !(now.flags & kExiting);
        if (now.threads <= 1) {
            if (!mainLives)
                return Read::gone;
            tids.push_back(0);
            return Read::ok;
        }
        if (static_cast<std::size_t>(now.threads) > maxThreads)
            return Read::denied;
        DIR* dir = opendir(ProcPath(pid, "task"));
        if (!dir)
            return failure();
        listed.clear();
        while (const dirent* entry = readdir(dir)) {
            pid_t id = 0;
            if (parseNumber(std::string_view(entry->d_name), id))
                listed.push_back(id);
        }
        closedir(dir);
        if (listed.size() > maxThreads)
            return Read::denied;
        Stat after;
        const Read r = readStat(ProcPath(pid, "stat"), after);
        if (r != Read::ok)
            return r;
        if (after.startTime != stat.startTime)
            return Read::gone;  // its id went to another process
        long there = 0;
        for (const pid_t id : listed) {
            // Signal 0 only asks whether the thread is there; another account's answers EPERM.
            if (syscall(SYS_tgkill, pid, id, 0) != 0 && errno != EPERM)
                continue;
            ++there;
            if (id != pid || mainLives)
                tids.push_back(id);
        }
        if (there >= after.threads) {
            // The main thread first: it often outlives the others.
            if (const auto main = std::find(tids.begin(), tids.end(), pid); main != tids.end())
                std::rotate(tids.begin(), main, main + 1);
            return tids.empty() ? Read::gone : Read::ok;
        }
        now = after;
    }
    return Read::denied;
}

std::vector<std::vector<pid_t>> tablesOf(const std::vector<pid_t>& tids)
{
    // Tables a thread is compared with; past that, it is read on its own.
    constexpr std::size_t kCompared = 8;
    std::vector<std::vector<pid_t>> tables;
    bool told = true;
    for (const pid_t tid : tids) {
        std::vector<pid_t>* same = nullptr;
        for (std::size_t i = 0; told && !same && i < std::min(tables.size(), kCompared); ++i) {
            const long r = syscall(SYS_kcmp, tables[i].front(), tid, KCMP_FILES, 0, 0);
            if (r == 0)
                same = &tables[i];
            else if (r < 0 && errno == ESRCH)
                break;  // one of the two ended: read on its own
            else if (r < 0)
                told = false;  // the kernel does not tell us: each on its own
        }
        if (same)
            same->push_back(tid);
        else
            tables.push_back({tid});
    }
    return tables;
}

Read throughLiveThreads(pid_t pid, const Stat& stat, std::size_t maxThreads,
                        const std::function<Pass(const std::vector<pid_t>&)>& pass)
{
    // Threads that end faster than this many listings can read them are not told.
    constexpr int kAttempts = 8;
    Stat now = stat;
    std::vector<pid_t> tids;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            const Read r = readStat(ProcPath(pid, "stat"), now);
            if (r != Read::ok)
                return r;
            if (now.startTime != stat.startTime)
                return Read::gone;  // its id went to another process
        }
        const Read listed = listThreads(pid, now, maxThreads, tids);
        if (listed != Read::ok)
            return listed;
        if (pass(tids) == Pass::done)
            return Read::ok;
    }
    return Read::denied;
}

Read readOrigin(pid_t pid, pid_t tid, Origin& origin)
{
    // Whether the kernel offers each part at all (no audit, no control groups).
    static const bool hasCgroups = access("/proc/self/cgroup", F_OK) == 0;
    static const bool hasSessions = access("/proc/self/sessionid", F_OK) == 0;
    origin = Origin{};
    std::string text;
    if (hasCgroups) {
        const Read r = readFile(ProcPath(pid, tid, "cgroup"), text, 4096);
        if (r == Read::gone)
            return r;
        if (r == Read::ok)
            origin.cgroups = std::move(text);
    }
    if (hasSessions) {
        char buffer[32];
        std::size_t length = 0;
        const Read r = readSmall(ProcPath(pid, tid, "sessionid"), buffer, sizeof buffer, length);
        if (r == Read::gone)
            return r;
        if (r == Read::ok)
            origin.session = std::string(buffer, length);
    }
    // What a thread that ended (or was ending) showed is not where it was.
    const Read lives = threadLives(pid, tid);
    return lives == Read::denied ? Read::ok : lives;
}

std::optional<pid_t> readThreadGroup(pid_t id)
{
    char buffer[4096];
    std::size_t length = 0;
    if (readSmall(ProcPath(id, "status"), buffer, sizeof buffer, length) != Read::ok)
        return std::nullopt;
    const std::string_view text(buffer, length);
    constexpr std::string_view key = "\nTgid:";
    const auto at = text.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    std::string_view value = text.substr(at + key.size());
    while (!value.empty() && (value.front() == '\t' || value.front() == ' '))
        value.remove_prefix(1);
    pid_t group = 0;
    if (!parseNumber(value.substr(0, value.find('\n')), group) || group <= 0)
        return std::nullopt;
    return group;
}

bool hidesProcesses()
{
    std::string text;
    if (readFile("/proc/self/mountinfo", text, 1u << 20) != Read::ok)
        return true;
    // The last mount on /proc is the one we see.
    bool hides = false;
    std::string_view all(text);
    while (!all.empty()) {
        const auto nl = all.find('\n');
        const std::string_view line = all.substr(0, nl);
        all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
        // id parent dev root mountpoint options ... - type source superoptions
        std::array<std::string_view, 5> fields;
        std::string_view rest = line;
        for (auto& field : fields) {
            const auto space = rest.find(' ');
            field = rest.substr(0, space);
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        }
        if (fields[4] != "/proc")
            continue;
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos)
            continue;
        const std::string_view super = line.substr(dash);
        const auto at = super.find("hidepid=");
        if (at == std::string_view::npos) {
            hides = false;
            continue;
        }
        const auto end = super.find_first_of(", ", at);
        const std::string_view value = super.substr(at + 8, end == std::string_view::npos ? end : end - at - 8);
        hides = !(value == "0" || value == "off");
    }
    return hides;
}

}  // namespace ravelgrid::proc
