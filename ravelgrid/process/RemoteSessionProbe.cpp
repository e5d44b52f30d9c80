#include "ravelgrid/process/RemoteSessionProbe.h"

#include "ravelgrid/process/RemoteLoginProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <limits.h>
#include <map>
#include <string_view>
#include <utility>

namespace ravelgrid {

namespace {

thread_local std::uint64_t looksHere = 0;

enum class Read { ok, gone, denied };

Read failure()
{
    return errno == EACCES || errno == EPERM ? Read::denied : Read::gone;
}

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

template <typename T>
bool parseNumber(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

struct ProcPath {
    char text[64];
    ProcPath(pid_t pid, const char* leaf) { snprintf(text, sizeof text, "/proc/%d/%s", static_cast<int>(pid), leaf); }
    ProcPath(pid_t pid, pid_t tid, const char* leaf)
    {
        snprintf(text, sizeof text, "/proc/%d/task/%d/%s", static_cast<int>(pid), static_cast<int>(tid), leaf);
    }
    operator const char*() const { return text; }
};

// Terminal multiplexers, whose clients show what their server's panes print.
bool isMultiplexerName(std::string_view comm)
{
    for (std::string_view prefix : {"tmux", "zellij", "dtach", "abduco"})
        if (comm.substr(0, prefix.size()) == prefix)
            return true;
    return comm == "screen" || comm == "SCREEN";
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
// process that lives in it.
bool loadInetInodes(pid_t pid, std::size_t limit, std::unordered_set<std::uint64_t>& inodes)
{
    std::string text;
    for (const char* table : {"net/tcp", "net/tcp6", "net/udp", "net/udp6"}) {
        const Read r = readFile(ProcPath(pid, table), text, limit + 1);
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

// The peer of every connected unix socket of our network namespace, by inode.
bool loadUnixPeers(std::size_t limit, std::unordered_map<std::uint64_t, std::uint64_t>& peers)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
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
        return false;
    }
    alignas(nlmsghdr) char buffer[32768];
    std::size_t seen = 0;
    bool ok = false;
    for (bool done = false; !done;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::size_t left = static_cast<std::size_t>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                done = ok = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR || ++seen > limit) {
                done = true;
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
    return ok;
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

// A socket's inode from a descriptor's link, "socket:[1234]".
std::optional<std::uint64_t> socketInode(std::string_view link)
{
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return std::nullopt;
    std::uint64_t inode = 0;
    if (!parseNumber(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode))
        return std::nullopt;
    return inode;
}

enum class SocketKind { inet, other, gone, denied, unnamed };

// What kind of socket a process's descriptor is, as the kernel names its
// protocol ("TCP", "UDPv6", "UNIX-STREAM"); unconnected ones count too.
SocketKind socketKind(pid_t pid, const char* fd)
{
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/fd/%s", static_cast<int>(pid), fd);
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

enum class Fds { ok, gone, denied, tooMany };

// Every descriptor link of a process; counts them first where the kernel
// tells the count, so a process with too many costs one call.
Fds forEachFd(pid_t pid, std::size_t maxFds, const std::function<bool(const char*, std::string_view)>& visit)
{
    const int dirFd = open(ProcPath(pid, "fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno == EACCES || errno == EPERM ? Fds::denied : Fds::gone;
    struct stat st;
    if (fstat(dirFd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > maxFds) {
        close(dirFd);
        return Fds::tooMany;
    }
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return Fds::gone;
    }
    std::size_t count = 0;
    Fds result = Fds::ok;
    std::string link;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (++count > maxFds) {
            result = Fds::tooMany;
            break;
        }
        if (readLinkAt(dirfd(dir), entry->d_name, link) != Read::ok)
            continue;  // closed meanwhile
        if (!visit(entry->d_name, link))
            break;
    }
    closedir(dir);
    return result;
}

}  // namespace

struct RemoteSessionProbe::Stat {
    char state = '?';
    pid_t ppid = 0;
    pid_t session = 0;
    std::uint32_t tty = 0;
    long threads = 1;
    std::uint64_t startTime = 0;
    std::string comm;
};

namespace {

// /proc/<pid>/stat; the command name may hold spaces and parentheses.
template <typename Stat>
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
        !parseNumber(fields[17], stat.threads) || !parseNumber(fields[19], stat.startTime))
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

}  // namespace

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader)
    : RemoteSessionProbe(masterFd, sessionLeader, Limits{})
{}

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader, Limits limits)
    : limits_(limits), leader_(sessionLeader), uid_(getuid()), hidden_(procHidesProcesses())
{
    tty_ = slaveDevice(masterFd, slavePath_);
}

std::uint64_t RemoteSessionProbe::looksOnThisThread()
{
    return looksHere;
}

bool RemoteSessionProbe::procHidesProcesses()
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

bool RemoteSessionProbe::addMember(pid_t pid, const Stat& stat)
{
    auto [it, inserted] = members_.try_emplace(pid);
    if (!inserted && it->second.startTime == stat.startTime)
        return true;
    if (inserted && members_.size() > limits_.maxMembers) {
        members_.erase(it);
        return false;
    }
    it->second = Proc{};
    it->second.startTime = stat.startTime;
    it->second.ppid = stat.ppid;
    it->second.comm = stat.comm;
    membersChanged_ = true;
    return true;
}

// Whether a process of ours holds the terminal's slave open, by any descriptor.
bool RemoteSessionProbe::holdsTerminal(pid_t pid, const Stat& stat)
{
    if (slavePath_.empty() || stat.startTime < leaderStart_ || !ownedBy(pid, uid_))
        return false;
    bool holds = false;
    // Read once in the process's life, so a large table is read whole: a
    // browser started later must not make every tab remote. Past that, taken
    // in, where it will be judged remote.
    const Fds r = forEachFd(pid, limits_.maxFds * 16, [&](const char*, std::string_view link) {
        holds = link == slavePath_;
        return !holds;
    });
    return holds || r == Fds::tooMany;
}

bool RemoteSessionProbe::considerNew(pid_t pid, const Stat& stat, bool& bounded)
{
    if (auto it = members_.find(pid); it != members_.end() && it->second.startTime == stat.startTime)
        return true;
    bool member = pid == leader_ || stat.session == leader_ || (tty_ && stat.tty == *tty_);
    if (!member) {
        const auto parent = members_.find(stat.ppid);
        member = parent != members_.end() && parent->second.startTime <= stat.startTime;
    }
    if (!member && isMultiplexerName(stat.comm) && ownedBy(pid, uid_)) {
        Proc mux;
        mux.startTime = stat.startTime;
        mux.comm = stat.comm;
        muxes_[pid] = std::move(mux);
        membersChanged_ = true;
    }
    if (!member) {
        const auto known = strangers_.find(pid);
        if (known != strangers_.end() && known->second == stat.startTime)
            return false;
        member = holdsTerminal(pid, stat);
        if (!member && stat.startTime >= leaderStart_ && strangers_.size() < limits_.maxProcesses)
            strangers_[pid] = stat.startTime;
    }
    if (member && !addMember(pid, stat))
        bounded = false;
    return member;
}

bool RemoteSessionProbe::scanNew(long from, long to)
{
    if (to < from || static_cast<std::size_t>(to - from) > limits_.maxNewPids)
        return false;  // ids wrapped around or too many started: walk everything
    Stat stat;
    bool bounded = true;
    // Ascending, so a parent started in the range is known before its child.
    for (long id = from + 1; id <= to && bounded; ++id) {
        const auto pid = static_cast<pid_t>(id);
        if (readStat(ProcPath(pid, "stat"), stat) == Read::ok)
            considerNew(pid, stat, bounded);
    }
    return bounded;
}

bool RemoteSessionProbe::fullWalk()
{
    DIR* dir = opendir("/proc");
    if (!dir)
        return false;
    std::vector<pid_t> pids;
    bool bounded = true;
    while (const dirent* entry = readdir(dir)) {
        pid_t pid = 0;
        if (!parseNumber(std::string_view(entry->d_name), pid) || pid <= 0)
            continue;
        if (pids.size() >= limits_.maxProcesses) {
            bounded = false;
            break;
        }
        pids.push_back(pid);
    }
    closedir(dir);
    if (!bounded)
        return false;
    std::unordered_map<pid_t, Stat> stats;
    std::unordered_map<pid_t, std::vector<pid_t>> children;
    std::vector<pid_t> roots;
    Stat stat;
    for (pid_t pid : pids) {
        if (readStat(ProcPath(pid, "stat"), stat) != Read::ok)
            continue;  // ended meanwhile; /proc/<pid>/stat is readable for every user
        if (pid == leader_ || stat.session == leader_ || (tty_ && stat.tty == *tty_) ||
            attached_.count({pid, stat.startTime}))
            roots.push_back(pid);
        children[stat.ppid].push_back(pid);
        stats.emplace(pid, stat);
    }
    if (auto it = stats.find(leader_); it != stats.end())
        leaderStart_ = it->second.startTime;

    std::unordered_set<pid_t> member;
    auto take = [&](pid_t root) {
        std::vector<pid_t> queue{root};
        while (!queue.empty()) {
            const pid_t pid = queue.back();
            queue.pop_back();
            if (!member.insert(pid).second)
                continue;
            if (member.size() > limits_.maxMembers)
                return false;
            if (auto it = children.find(pid); it != children.end())
                queue.insert(queue.end(), it->second.begin(), it->second.end());
        }
        return true;
    };
    for (pid_t root : roots)
        if (!take(root))
            return false;
    std::unordered_map<pid_t, std::uint64_t> strangers;
    for (const auto& [pid, s] : stats) {
        if (member.count(pid))
            continue;
        if (isMultiplexerName(s.comm) && !muxes_.count(pid) && ownedBy(pid, uid_)) {
            Proc mux;
            mux.startTime = s.startTime;
            mux.comm = s.comm;
            muxes_[pid] = std::move(mux);
        }
        if (s.startTime < leaderStart_)
            continue;
        if (auto known = strangers_.find(pid); known != strangers_.end() && known->second == s.startTime) {
            strangers.emplace(pid, s.startTime);
            continue;
        }
        if (holdsTerminal(pid, s)) {
            if (!take(pid))
                return false;
        } else {
            strangers.emplace(pid, s.startTime);
        }
    }
    strangers_ = std::move(strangers);

    // What earlier looks learnt of a process that is still the same stays.
    std::unordered_map<pid_t, Proc> members;
    for (pid_t pid : member) {
        const Stat& s = stats.at(pid);
        auto old = members_.find(pid);
        if (old != members_.end() && old->second.startTime == s.startTime) {
            members.emplace(pid, std::move(old->second));
            continue;
        }
        Proc proc;
        proc.startTime = s.startTime;
        proc.ppid = s.ppid;
        proc.comm = s.comm;
        members.emplace(pid, std::move(proc));
    }
    members_ = std::move(members);
    membersChanged_ = true;
    return true;
}

bool RemoteSessionProbe::refreshMembers()
{
    const auto last = lastPid();
    bool ok = known_ && last && lastPid_ >= 0 && (*last == lastPid_ || scanNew(lastPid_, *last));
    if (!ok)
        ok = fullWalk();
    known_ = ok && last.has_value();
    lastPid_ = last.value_or(-1);
    return ok;
}

bool RemoteSessionProbe::ranSince(pid_t pid, const Stat& stat, const RunMark& mark, RunMark& now)
{
    now = RunMark{};
    bool running = stat.state == 'R';
    if (stat.threads == 1) {
        std::uint64_t ns = 0;
        std::uint64_t count = 0;
        if (!readSchedstat(ProcPath(pid, "schedstat"), ns, count))
            return true;
        now.threads.push_back({static_cast<std::uint64_t>(pid), ns, count});
    } else {
        if (stat.threads < 1 || static_cast<std::size_t>(stat.threads) > limits_.maxThreads)
            return true;
        DIR* dir = opendir(ProcPath(pid, "task"));
        if (!dir)
            return true;
        Stat thread;
        while (const dirent* entry = readdir(dir)) {
            pid_t tid = 0;
            if (!parseNumber(std::string_view(entry->d_name), tid))
                continue;
            std::uint64_t ns = 0;
            std::uint64_t count = 0;
            if (now.threads.size() >= limits_.maxThreads || readStat(ProcPath(pid, tid, "stat"), thread) != Read::ok ||
                !readSchedstat(ProcPath(pid, tid, "schedstat"), ns, count)) {
                closedir(dir);
                now.threads.clear();
                return true;
            }
            running = running || thread.state == 'R';
            now.threads.push_back({static_cast<std::uint64_t>(tid), ns, count});
        }
        closedir(dir);
        std::sort(now.threads.begin(), now.threads.end());
    }
    now.valid = true;
    now.quiet = !running;
    // A thread on the CPU now may have done anything since its counters last moved.
    return running || !mark.valid || mark.threads != now.threads;
}

// A one-thread process that was asleep when last inspected and has not been
// scheduled since: one read tells, where a look would otherwise read it twice.
bool RemoteSessionProbe::asleepSinceInspected(pid_t pid, const Proc& proc)
{
    const RunMark& mark = proc.mark;
    if (!proc.inspected || !mark.valid || !mark.quiet || mark.threads.size() != 1 ||
        mark.threads[0][0] != static_cast<std::uint64_t>(pid))
        return false;
    std::uint64_t ns = 0;
    std::uint64_t count = 0;
    return readSchedstat(ProcPath(pid, "schedstat"), ns, count) && ns == mark.threads[0][1] &&
           count == mark.threads[0][2];
}

RemoteSessionProbe::Verdict
RemoteSessionProbe::inspect(pid_t pid, Proc& proc, const Stat& stat,
                            std::unordered_map<std::string, std::unordered_set<std::uint64_t>>& inet)
{
    if (RemoteLoginProbe::isRemoteLoginProgram(stat.comm))
        return Verdict::remote;
    // A zombie keeps only its name.
    if (stat.state == 'Z' || stat.state == 'X')
        return Verdict::local;
    RunMark now;
    const bool ran = ranSince(pid, stat, proc.mark, now);
    if (proc.inspected && !ran && proc.comm == stat.comm)
        return proc.remote ? Verdict::remote : Verdict::local;
    // The mark comes first: whatever the process does while we read it shows next time.
    proc.mark = std::move(now);
    proc.inspected = false;
    proc.comm = stat.comm;

    const int dirFd = open(ProcPath(pid, ""), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno == EACCES || errno == EPERM ? Verdict::unknown : Verdict::local;
    std::string text;
    Read got = readLinkAt(dirFd, "exe", text);
    if (got == Read::denied) {
        close(dirFd);
        return Verdict::unknown;
    }
    const bool newProgram = got != Read::ok || text != proc.exe;
    if (got == Read::ok) {
        proc.exe = text;
        if (RemoteLoginProbe::isRemoteLoginProgram(text)) {
            close(dirFd);
            proc.remote = proc.inspected = true;
            return Verdict::remote;
        }
    }
    if (newProgram || !proc.mark.valid) {
        got = readFile(ProcPath(pid, "cmdline"), text, 4096);
        if (got == Read::denied) {
            close(dirFd);
            return Verdict::unknown;
        }
        if (got == Read::ok) {
            const std::string_view argv0(text.data(), std::min(text.size(), text.find('\0')));
            if (RemoteLoginProbe::isRemoteLoginProgram(argv0)) {
                close(dirFd);
                proc.remote = proc.inspected = true;
                return Verdict::remote;
            }
        }
    }
    std::vector<std::uint64_t> sockets;
    std::vector<std::uint64_t> unknown;  // sockets whose kind the kernel did not name
    bool holdsInet = false;
    bool denied = false;
    const Fds fds = forEachFd(pid, limits_.maxFds, [&](const char* name, std::string_view link) {
        const auto inode = socketInode(link);
        if (!inode)
            return true;
        switch (socketKind(pid, name)) {
        case SocketKind::inet: holdsInet = true; return false;
        case SocketKind::other: sockets.push_back(*inode); return true;
        case SocketKind::gone: return true;
        case SocketKind::denied: denied = true; return false;
        case SocketKind::unnamed:
            unknown.push_back(*inode);
            sockets.push_back(*inode);
            return true;
        }
        return true;
    });
    if (denied || fds == Fds::denied || fds == Fds::tooMany) {
        close(dirFd);
        return Verdict::unknown;
    }
    if (!holdsInet && !unknown.empty()) {
        // A kernel that does not name a socket's protocol: its namespace's tables do.
        if (readLinkAt(dirFd, "ns/net", text) == Read::denied) {
            close(dirFd);
            return Verdict::unknown;
        }
        auto table = inet.find(text);
        if (table == inet.end()) {
            std::unordered_set<std::uint64_t> inodes;
            if (!loadInetInodes(pid, limits_.maxNetTableBytes, inodes)) {
                close(dirFd);
                return Verdict::unknown;
            }
            table = inet.emplace(text, std::move(inodes)).first;
        }
        for (std::uint64_t inode : unknown)
            holdsInet = holdsInet || table->second.count(inode) > 0;
    }
    close(dirFd);
    std::sort(sockets.begin(), sockets.end());
    if (sockets != proc.sockets)
        membersChanged_ = true;
    proc.sockets = std::move(sockets);
    proc.remote = holdsInet;
    proc.inspected = true;
    return holdsInet ? Verdict::remote : Verdict::local;
}

// A child of a member that /proc does not show us is another user's.
bool RemoteSessionProbe::hiddenChild(pid_t pid)
{
    std::vector<pid_t> tids;
    if (DIR* dir = opendir(ProcPath(pid, "task"))) {
        while (const dirent* entry = readdir(dir)) {
            pid_t tid = 0;
            if (parseNumber(std::string_view(entry->d_name), tid))
                tids.push_back(tid);
        }
        closedir(dir);
    }
    std::string text;
    Stat stat;
    for (pid_t tid : tids) {
        if (readFile(ProcPath(pid, tid, "children"), text, 1u << 16) != Read::ok)
            continue;
        std::string_view list(text);
        while (!list.empty()) {
            const auto space = list.find(' ');
            pid_t child = 0;
            if (parseNumber(list.substr(0, space), child) && child > 0 && !members_.count(child)) {
                if (readStat(ProcPath(child, "stat"), stat) != Read::ok && kill(child, 0) != 0 && errno == EPERM)
                    return true;
            }
            list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
        }
    }
    return false;
}

// Which multiplexer servers a member is attached to: those holding the
// other end of a member's unix socket. False when that cannot be told.
bool RemoteSessionProbe::updateAttachments(bool& changed)
{
    changed = false;
    Stat stat;
    // A server that took a connection has a descriptor more or less: the
    // client's end may have found its holder only now.
    bool serversChanged = false;
    for (auto it = muxes_.begin(); it != muxes_.end();) {
        struct stat fds;
        if (readStat(ProcPath(it->first, "stat"), stat) != Read::ok || stat.startTime != it->second.startTime ||
            ::stat(ProcPath(it->first, "fd"), &fds) != 0) {
            it = muxes_.erase(it);
            membersChanged_ = true;
            continue;
        }
        serversChanged = serversChanged || static_cast<std::uint64_t>(fds.st_size) != it->second.fdCount;
        it->second.fdCount = static_cast<std::uint64_t>(fds.st_size);
        ++it;
    }
    bool clientInTab = false;
    for (const auto& [pid, proc] : members_)
        clientInTab = clientInTab || isMultiplexerName(proc.comm);
    if (!membersChanged_ && !serversChanged && !(clientInTab && !muxes_.empty()))
        return true;
    membersChanged_ = false;
    std::set<std::pair<pid_t, std::uint64_t>> attached;
    std::unordered_set<std::uint64_t> ours;
    bool screenClient = false;
    for (const auto& [pid, proc] : members_) {
        ours.insert(proc.sockets.begin(), proc.sockets.end());
        screenClient = screenClient || proc.comm == "screen";
    }
    bool ok = true;
    if (!muxes_.empty() && !ours.empty()) {
        std::unordered_map<std::uint64_t, std::uint64_t> peers;
        if (loadUnixPeers(limits_.maxUnixSockets, peers)) {
            std::unordered_set<std::uint64_t> ends;
            for (std::uint64_t inode : ours)
                if (auto peer = peers.find(inode); peer != peers.end())
                    ends.insert(peer->second);
            for (const auto& [pid, mux] : muxes_) {
                bool holds = false;
                const Fds r = forEachFd(pid, limits_.maxFds, [&](const char*, std::string_view link) {
                    const auto inode = socketInode(link);
                    holds = inode && ends.count(*inode);
                    return !holds;
                });
                if (holds || r == Fds::denied || r == Fds::tooMany)
                    attached.insert({pid, mux.startTime});
            }
        } else {
            ok = false;
        }
    }
    // screen may talk through a named pipe: its client takes every server in.
    if (screenClient)
        for (const auto& [pid, mux] : muxes_)
            if (mux.comm == "SCREEN")
                attached.insert({pid, mux.startTime});
    if (attached != attached_) {
        attached_ = std::move(attached);
        changed = true;
    }
    return ok;
}

RemoteSessionProbe::Look RemoteSessionProbe::look()
{
    std::lock_guard lock(mutex_);
    ++looksHere;
    Look result;
    if (leader_ <= 0 || !refreshMembers())
        return result;
    for (int round = 0; round < 2; ++round) {
        std::unordered_map<std::string, std::unordered_set<std::uint64_t>> inet;
        Stat stat;
        for (auto it = members_.begin(); it != members_.end();) {
            const pid_t pid = it->first;
            if (asleepSinceInspected(pid, it->second)) {
                // Nothing about it can have changed: not even its name.
                if (it->second.remote) {
                    result.remotePid = pid;
                    return result;
                }
                if (hidden_ && hiddenChild(pid))
                    return result;
                ++it;
                continue;
            }
            const Read r = readStat(ProcPath(pid, "stat"), stat);
            if (r == Read::denied) {
                result.remotePid = pid;
                return result;
            }
            if (r == Read::gone || stat.startTime != it->second.startTime) {
                // Ended, or its id went to another process.
                it = members_.erase(it);
                membersChanged_ = true;
                continue;
            }
            const Verdict verdict = inspect(pid, it->second, stat, inet);
            if (verdict != Verdict::local) {
                result.remotePid = verdict == Verdict::remote ? pid : 0;
                return result;
            }
            if (hidden_ && hiddenChild(pid))
                return result;
            ++it;
        }
        bool changed = false;
        if (!updateAttachments(changed))
            return result;
        if (!changed)
            break;
        // A server came or went: its panes are ours now, or no longer.
        if (!fullWalk()) {
            known_ = false;
            return result;
        }
        if (round == 1)
            return result;  // still moving: ask again later
    }
    result.remote = false;
    result.leaderAlone = members_.size() == 1 && members_.count(leader_) && attached_.empty();
    return result;
}

}  // namespace ravelgrid
