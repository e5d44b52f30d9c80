#include "ravelgrid/process/RemoteSessionProbe.h"

#include "ravelgrid/process/RemoteLoginProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <limits.h>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ravelgrid {

namespace {

enum class Read { ok, gone, denied };

Read readFile(const std::string& path, std::string& out, std::size_t limit)
{
    out.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? Read::denied : Read::gone;
    std::array<char, 8192> buffer;
    Read result = Read::ok;
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = errno == EACCES || errno == EPERM ? Read::denied : Read::gone;
            break;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<std::size_t>(n) > limit) {
            out.append(buffer.data(), limit - out.size());
            break;
        }
        out.append(buffer.data(), static_cast<std::size_t>(n));
    }
    close(fd);
    return result;
}

Read readLink(const std::string& path, std::string& target)
{
    std::array<char, PATH_MAX> buffer;
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
        return errno == EACCES || errno == EPERM ? Read::denied : Read::gone;
    target.assign(buffer.data(), static_cast<std::size_t>(std::min<ssize_t>(n, PATH_MAX)));
    return Read::ok;
}

struct ProcStat {
    pid_t pid = 0;
    char state = '?';
    pid_t ppid = 0;
    pid_t session = 0;
    std::uint32_t tty = 0;
    std::uint64_t startTime = 0;
    std::string comm;
};

template <typename T>
bool parseNumber(std::string_view text, T& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// /proc/<pid>/stat; the command name may hold spaces and parentheses.
Read readStat(pid_t pid, ProcStat& stat)
{
    std::string text;
    const Read r = readFile("/proc/" + std::to_string(pid) + "/stat", text, 4096);
    if (r != Read::ok)
        return r;
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return Read::gone;
    stat.pid = pid;
    stat.comm = text.substr(open + 1, close - open - 1);
    std::string_view rest = std::string_view(text).substr(close + 1);
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
        !parseNumber(fields[19], stat.startTime))
        return Read::gone;
    stat.tty = static_cast<std::uint32_t>(tty);
    return Read::ok;
}

std::optional<std::uint32_t> slaveDevice(int masterFd)
{
    if (masterFd < 0)
        return std::nullopt;
    std::array<char, 128> name;
    if (ptsname_r(masterFd, name.data(), name.size()) != 0)
        return std::nullopt;
    struct stat st;
    if (stat(name.data(), &st) != 0)
        return std::nullopt;
    const unsigned maj = major(st.st_rdev);
    const unsigned min = minor(st.st_rdev);
    // The kernel's own encoding of tty_nr.
    return (min & 0xffu) | (maj << 8) | ((min & ~0xffu) << 12);
}

// The inodes of the inet sockets of one network namespace.
bool loadInetInodes(pid_t pid, std::size_t limit, std::unordered_set<std::uint64_t>& inodes)
{
    std::string text;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        const Read r = readFile("/proc/" + std::to_string(pid) + "/net/" + table, text, limit + 1);
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

// The last process id the kernel handed out in our namespace.
std::optional<long> lastPid()
{
    std::string text;
    if (readFile("/proc/loadavg", text, 256) != Read::ok)
        return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    const auto space = text.rfind(' ');
    long value = 0;
    if (space == std::string::npos || !parseNumber(std::string_view(text).substr(space + 1), value))
        return std::nullopt;
    return value;
}

}  // namespace

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader)
    : RemoteSessionProbe(masterFd, sessionLeader, Limits{})
{}

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader, Limits limits)
    : limits_(limits), tty_(slaveDevice(masterFd)), leader_(sessionLeader)
{}

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
    std::unordered_map<pid_t, std::vector<pid_t>> children;
    std::vector<pid_t> roots;
    std::unordered_map<pid_t, std::uint64_t> starts;
    ProcStat stat;
    for (pid_t pid : pids) {
        if (readStat(pid, stat) != Read::ok)
            continue;  // ended meanwhile; /proc/<pid>/stat is readable for every user
        starts[pid] = stat.startTime;
        children[stat.ppid].push_back(pid);
        if (pid == leader_ || stat.session == leader_ || (tty_ && stat.tty == *tty_))
            roots.push_back(pid);
    }
    std::set<pid_t> seen;
    std::vector<pid_t> queue = roots;
    members_.clear();
    while (!queue.empty()) {
        const pid_t pid = queue.back();
        queue.pop_back();
        if (!seen.insert(pid).second)
            continue;
        if (members_.size() >= limits_.maxMembers)
            return false;
        members_.push_back({pid, starts[pid]});
        if (auto it = children.find(pid); it != children.end())
            queue.insert(queue.end(), it->second.begin(), it->second.end());
    }
    return true;
}

bool RemoteSessionProbe::addNewProcesses(long from, long to)
{
    if (to < from || static_cast<std::size_t>(to - from) > limits_.maxNewPids)
        return false;  // ids wrapped around or too many started: walk everything
    std::unordered_set<pid_t> known;
    for (const auto& m : members_)
        known.insert(m.pid);
    ProcStat stat;
    // Ascending, so a parent started in the range is known before its child.
    for (long id = from + 1; id <= to; ++id) {
        const auto pid = static_cast<pid_t>(id);
        if (readStat(pid, stat) != Read::ok)
            continue;
        const bool member =
            pid == leader_ || stat.session == leader_ || (tty_ && stat.tty == *tty_) || known.count(stat.ppid) > 0;
        if (!member || !known.insert(pid).second)
            continue;
        if (members_.size() >= limits_.maxMembers)
            return false;
        members_.push_back({pid, stat.startTime});
    }
    return true;
}

// False when some member is remote or cannot be inspected. Members that have
// ended are dropped.
bool RemoteSessionProbe::inspectMembers()
{
    std::map<std::string, std::vector<std::pair<pid_t, std::uint64_t>>> socketsByNet;  // net namespace -> (pid, inode)
    std::string text;
    ProcStat stat;
    std::vector<Member> alive;
    alive.reserve(members_.size());
    auto remote = [this](pid_t pid) {
        remotePid_ = pid;
        return false;
    };
    for (const Member& m : members_) {
        const std::string dir = "/proc/" + std::to_string(m.pid);
        const Read r = readStat(m.pid, stat);
        if (r == Read::denied)
            return remote(m.pid);
        if (r == Read::gone || stat.startTime != m.startTime)
            continue;  // ended, or its id went to another process
        alive.push_back(m);
        if (RemoteLoginProbe::isRemoteLoginProgram(stat.comm))
            return remote(m.pid);
        // A zombie keeps only its name.
        if (stat.state == 'Z' || stat.state == 'X')
            continue;
        Read got = readLink(dir + "/exe", text);
        if (got == Read::denied)
            return remote(m.pid);
        if (got == Read::ok && RemoteLoginProbe::isRemoteLoginProgram(text))
            return remote(m.pid);
        got = readFile(dir + "/cmdline", text, 4096);
        if (got == Read::denied)
            return remote(m.pid);
        if (got == Read::ok) {
            const std::string_view argv0(text.data(), std::min(text.size(), text.find('\0')));
            if (RemoteLoginProbe::isRemoteLoginProgram(argv0))
                return remote(m.pid);
        }
        DIR* fds = opendir((dir + "/fd").c_str());
        if (!fds) {
            if (errno == EACCES || errno == EPERM)
                return remote(m.pid);
            continue;  // ended meanwhile
        }
        std::size_t count = 0;
        std::vector<std::uint64_t> inodes;
        bool tooMany = false;
        while (const dirent* entry = readdir(fds)) {
            if (entry->d_name[0] == '.')
                continue;
            if (++count > limits_.maxFds) {
                tooMany = true;
                break;
            }
            if (readLink(dir + "/fd/" + entry->d_name, text) != Read::ok)
                continue;  // closed meanwhile
            constexpr std::string_view prefix = "socket:[";
            if (text.size() > prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0 && text.back() == ']') {
                std::uint64_t inode = 0;
                if (parseNumber(std::string_view(text).substr(prefix.size(), text.size() - prefix.size() - 1), inode))
                    inodes.push_back(inode);
            }
        }
        closedir(fds);
        if (tooMany)
            return remote(m.pid);
        if (!inodes.empty()) {
            if (readLink(dir + "/ns/net", text) == Read::denied)
                return remote(m.pid);
            auto& list = socketsByNet[text];
            for (auto inode : inodes)
                list.emplace_back(m.pid, inode);
        }
    }
    members_ = std::move(alive);
    for (const auto& [net, sockets] : socketsByNet) {
        std::unordered_set<std::uint64_t> inet;
        // Any holder shows its namespace's tables.
        if (!loadInetInodes(sockets.front().first, limits_.maxNetTableBytes, inet))
            return false;
        for (const auto& [pid, inode] : sockets)
            if (inet.count(inode))
                return remote(pid);
    }
    return true;
}

bool RemoteSessionProbe::remoteNow()
{
    std::lock_guard lock(mutex_);
    if (leader_ <= 0)
        return true;
    const auto last = lastPid();
    bool ok = known_ && last && lastPid_ >= 0 && (*last == lastPid_ || addNewProcesses(lastPid_, *last));
    if (!ok)
        ok = fullWalk();
    known_ = ok && last.has_value();
    lastPid_ = last.value_or(-1);
    leaderAlone_ = false;
    remotePid_ = 0;
    if (!ok || !inspectMembers())
        return true;
    leaderAlone_ = members_.size() == 1 && members_.front().pid == leader_;
    return false;
}

bool RemoteSessionProbe::leaderWasAlone()
{
    std::lock_guard lock(mutex_);
    return leaderAlone_;
}

pid_t RemoteSessionProbe::lastRemote()
{
    std::lock_guard lock(mutex_);
    return remotePid_;
}

}  // namespace ravelgrid
