#include "ravelgrid/process/RemoteSessionProbe.h"

#include "ravelgrid/process/ProcReader.h"
#include "ravelgrid/process/RemoteLoginProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string_view>
#include <utility>

namespace ravelgrid {

using namespace proc;

namespace {

thread_local std::uint64_t looksHere = 0;
std::atomic<std::uint64_t> looksDone{0};

// Root may yet turn into any account (su's child before it drops its rights).
constexpr uid_t kAnyAccount = static_cast<uid_t>(-1);
constexpr std::size_t kMaxEnded = 64;
constexpr std::size_t kMaxPlaces = 8;  // of one member

// Terminal multiplexers, whose clients show what their server's panes print.
bool isMultiplexerName(std::string_view comm)
{
    for (std::string_view prefix : {"tmux", "zellij", "dtach", "abduco"})
        if (comm.substr(0, prefix.size()) == prefix)
            return true;
    return comm == "screen" || comm == "SCREEN";
}

// Whether a process is in the tab by its own standing: the shell, its
// session, or a process whose controlling terminal is the tab's.
bool inTab(pid_t pid, const Stat& stat, pid_t leader, std::optional<std::uint32_t> tty)
{
    return pid == leader || stat.session == leader || (tty && stat.tty == *tty);
}

}  // namespace

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader)
    : RemoteSessionProbe(masterFd, sessionLeader, Limits{})
{}

RemoteSessionProbe::RemoteSessionProbe(int masterFd, pid_t sessionLeader, Limits limits)
    : limits_(limits), leader_(sessionLeader), uid_(getuid()), hidden_(procHidesProcesses()), windows_(uid_)
{
    tty_ = slaveDevice(masterFd, slavePath_);
}

std::uint64_t RemoteSessionProbe::looksOnThisThread()
{
    return looksHere;
}

std::uint64_t RemoteSessionProbe::looksFinished()
{
    return looksDone.load();
}

bool RemoteSessionProbe::procHidesProcesses()
{
    return proc::hidesProcesses();
}

void ForkWindows::remember(std::vector<Place>& places, const Place& place)
{
    if (std::find(places.begin(), places.end(), place) != places.end())
        return;
    if (places.size() < kMaxPlaces) {
        places.push_back(place);
        return;
    }
    Place& into = places.back();
    if (into.owner != place.owner)
        into.owner = kAnyAccount;
    if (into.origin.cgroups != place.origin.cgroups)
        into.origin.cgroups.reset();
    if (into.origin.session != place.origin.session)
        into.origin.session.reset();
}

uid_t ForkWindows::accountOf(uid_t owner) const
{
    return owner == 0 && us_ != 0 ? kAnyAccount : owner;
}

bool ForkWindows::fits(uid_t account, uid_t owner) const
{
    return account == kAnyAccount || account == owner;
}

void ForkWindows::alive(std::optional<uid_t> owner, const proc::Origin& origin, std::uint64_t startTime, Server server)
{
    if (!owner || *owner == us_)
        return;
    auto [it, inserted] = alive_.try_emplace({accountOf(*owner), origin, server}, startTime);
    it->second = std::min(it->second, startTime);
}

void ForkWindows::ended(std::optional<uid_t> owner, const proc::Origin& origin, std::uint64_t startTime,
                        std::uint64_t goneAt, std::uint64_t refresh, Server server)
{
    if (!owner || *owner == us_)
        return;
    const Ended ended{accountOf(*owner), origin, startTime, goneAt, refresh, server};
    if (ended_.size() < kMaxEnded) {
        ended_.push_back(ended);
        return;
    }
    // Past the bound, windows merge into wider ones: what differs tells nothing.
    auto into = std::find_if(ended_.begin(), ended_.end(), [&](const Ended& e) { return e.account == ended.account; });
    if (into == ended_.end()) {
        into = ended_.begin();
        into->account = kAnyAccount;
    }
    if (into->origin.cgroups != ended.origin.cgroups)
        into->origin.cgroups.reset();
    if (into->origin.session != ended.origin.session)
        into->origin.session.reset();
    into->startTime = std::min(into->startTime, ended.startTime);
    into->goneAt = std::max(into->goneAt, ended.goneAt);
    into->refresh = std::max(into->refresh, ended.refresh);
    if (into->server != ended.server)
        into->server = into->server == noServer || ended.server == noServer ? noServer : anyServer;
}

void ForkWindows::forgetEndedBefore(std::uint64_t refresh)
{
    ended_.erase(std::remove_if(ended_.begin(), ended_.end(), [&](const Ended& e) { return e.refresh < refresh; }),
                 ended_.end());
}

bool ForkWindows::mayHold(uid_t owner, std::uint64_t startTime) const
{
    for (const auto& [key, since] : alive_)
        if (fits(std::get<0>(key), owner) && since <= startTime)
            return true;
    for (const Ended& e : ended_)
        if (fits(e.account, owner) && e.startTime <= startTime && startTime <= e.goneAt)
            return true;
    return false;
}

bool ForkWindows::holds(uid_t owner, const proc::Origin& origin, std::uint64_t startTime,
                        std::vector<Server>* servers) const
{
    bool held = false;
    bool member = false;
    std::vector<Server> through;
    auto add = [&](const Server& server) {
        held = true;
        member = member || server == noServer;
        if (server != noServer && std::find(through.begin(), through.end(), server) == through.end())
            through.push_back(server);
    };
    for (const auto& [key, since] : alive_)
        if (fits(std::get<0>(key), owner) && since <= startTime && origin.mayDescendFrom(std::get<1>(key)))
            add(std::get<2>(key));
    for (const Ended& e : ended_)
        if (fits(e.account, owner) && e.startTime <= startTime && startTime <= e.goneAt &&
            origin.mayDescendFrom(e.origin))
            add(e.server);
    if (servers)
        *servers = member ? std::vector<Server>{} : std::move(through);
    return held;
}

// Whose forks a member's may be: the account of each of its live threads
// and, for another account's, that thread's origin. False when every
// thread ended under the reads.
bool RemoteSessionProbe::notePlaces(pid_t pid, const std::vector<pid_t>& tids, Proc& proc)
{
    bool read = false;
    for (const pid_t tid : tids) {
        const auto owner = ownerOf(pid, tid);
        if (!owner)
            continue;
        ForkWindows::Place place{*owner, {}};
        if (*owner == uid_) {
            read = true;
            continue;
        }
        if (readOrigin(pid, tid, place.origin) != Read::ok)
            continue;
        read = true;
        ForkWindows::remember(proc.places, place);
    }
    return read;
}

void RemoteSessionProbe::learnPlaces(pid_t pid, const Stat& stat, Proc& proc)
{
    const Read r = throughLiveThreads(pid, stat, limits_.maxThreads, [&](const std::vector<pid_t>& tids) {
        return notePlaces(pid, tids, proc) ? Pass::done : Pass::threadEnded;
    });
    // Threads that cannot all be followed: of its account, from anywhere. One that ended opens none.
    if (r == Read::denied)
        if (const auto owner = ownerOf(pid); owner && *owner != uid_)
            ForkWindows::remember(proc.places, {*owner, {}});
}

void RemoteSessionProbe::openWindow(const Proc& proc)
{
    for (const auto& place : proc.places)
        windows_.alive(place.owner, place.origin, proc.startTime, proc.served ? proc.server : ForkWindows::noServer);
}

void RemoteSessionProbe::noteEnded(const Proc& proc)
{
    for (const auto& place : proc.places)
        windows_.ended(place.owner, place.origin, proc.startTime, bootTicks() + 1, refreshes_,
                       proc.served ? proc.server : ForkWindows::noServer);
}

// An orphan of another account, which we cannot inspect, started while a
// member of that account from where it came from lived: in doubt, it is
// that member's fork. The fork of a member only through a multiplexer's
// server is a member through that server, attached or not: it counts
// whenever the server does.
RemoteSessionProbe::Fork RemoteSessionProbe::forkOfMember(pid_t pid, const Stat& stat, ForkWindows::Server& server)
{
    constexpr std::uint32_t kernelThread = 0x00200000;  // PF_KTHREAD: nobody's fork
    if (windows_.empty() || (stat.flags & kernelThread) || !adoptsOrphans(stat.ppid))
        return Fork::none;
    // Having left the tab's session, it leads a session of its own, or one
    // whose leader (a fork before it, or a member) is gone or counted.
    if (stat.session != pid && !members_.count(stat.session) && access(ProcPath(stat.session, ""), F_OK) == 0)
        return Fork::none;
    // Through each live thread: one that ended shows the root's control groups.
    Fork fork = Fork::none;
    const Read r = throughLiveThreads(pid, stat, limits_.maxThreads, [&](const std::vector<pid_t>& tids) {
        bool read = false;
        for (const pid_t tid : tids) {
            const auto owner = ownerOf(pid, tid);
            Origin origin;
            if (!owner)
                continue;
            if (*owner != uid_ && windows_.mayHold(*owner, stat.startTime)) {
                if (readOrigin(pid, tid, origin) != Read::ok)
                    continue;
                std::vector<ForkWindows::Server> servers;
                if (windows_.holds(*owner, origin, stat.startTime, &servers)) {
                    if (servers.empty()) {
                        fork = Fork::member;
                    } else if (fork != Fork::member) {
                        // Through a server that counts now, if one of them does.
                        const auto counting =
                            std::find_if(servers.begin(), servers.end(), [&](const auto& s) { return counts(s); });
                        if (fork == Fork::none || counting != servers.end())
                            server = counting != servers.end() ? *counting : servers.front();
                        fork = Fork::served;
                    }
                }
            }
            read = true;
        }
        return read ? Pass::done : Pass::threadEnded;
    });
    return r == Read::denied ? Fork::member : fork;
}

// Where a member's orphan lands: init, or a subreaper above the shell (a
// subreaper among the members makes it a member's child). Processes whose
// parents live elsewhere, as a build's compilers, are no member's forks.
bool RemoteSessionProbe::adoptsOrphans(pid_t parent)
{
    if (parent == 1)
        return true;
    if (!ancestorsRead_) {
        ancestorsRead_ = true;
        ancestors_.clear();
        Stat stat;
        for (pid_t pid = leader_;
             pid > 1 && ancestors_.size() < 64 && readStat(ProcPath(pid, "stat"), stat) == Read::ok; pid = stat.ppid)
            ancestors_.push_back(stat.ppid);
    }
    return std::find(ancestors_.begin(), ancestors_.end(), parent) != ancestors_.end();
}

bool RemoteSessionProbe::addMember(pid_t pid, const Stat& stat, ForkWindows::Server server)
{
    auto [it, inserted] = members_.try_emplace(pid);
    if (!inserted && it->second.startTime == stat.startTime)
        return true;
    if (inserted && members_.size() > limits_.maxMembers) {
        members_.erase(it);
        return false;
    }
    if (!inserted)
        noteEnded(it->second);  // its id went to another process
    it->second = Proc{};
    it->second.startTime = stat.startTime;
    it->second.ppid = stat.ppid;
    it->second.comm = stat.comm;
    it->second.served = server != ForkWindows::noServer;
    it->second.server = server;
    learnPlaces(pid, stat, it->second);
    openWindow(it->second);
    membersChanged_ = true;
    return true;
}

// Whether a process holds the terminal's slave open, by any descriptor: one
// of ours, or of any account when we are root and may read its descriptors
// (su's fork in a root tab). Unsettled while its threads cannot all be
// followed, or its table is too large to read.
RemoteSessionProbe::Holds RemoteSessionProbe::holdsTerminal(pid_t pid, const Stat& stat)
{
    // A main thread that ended keeps the account it had: its others tell.
    const bool mainEnded = stat.state == 'Z' || stat.state == 'X' || (stat.flags & kExiting);
    if (slavePath_.empty() || stat.startTime < leaderStart_ || (uid_ != 0 && !mainEnded && !ownedBy(pid, uid_)))
        return Holds::no;
    bool holds = false;
    // Read whole, so a large table is read once: a browser started later
    // must not make every tab remote. Threads in flux are listed afresh
    // once more before the look gives up on it.
    Stat now = stat;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 && (readStat(ProcPath(pid, "stat"), now) != Read::ok || now.startTime != stat.startTime))
            return Holds::no;  // ended
        const Fds r = forEachTableFd(
            pid, now, limits_.maxThreads, limits_.maxFds * 16, [&] { holds = false; },
            [&](pid_t, const char*, std::string_view link) {
                holds = link == slavePath_;
                return holds ? Visit::stop : Visit::next;
            });
        if (holds)
            return Holds::yes;
        if (r != Fds::tooMany)
            return Holds::no;
    }
    return Holds::unsettled;
}

bool RemoteSessionProbe::considerNew(pid_t pid, const Stat& stat, bool& bounded)
{
    if (auto it = members_.find(pid); it != members_.end() && it->second.startTime == stat.startTime)
        return true;
    bool member = inTab(pid, stat, leader_, tty_);
    const bool mux = isMultiplexerName(stat.comm) && ownedBy(pid, uid_);
    if (mux)
        noteMultiplexer(pid, stat);
    // Outside the tab, a multiplexer's process and what runs under it count
    // only through its server, however they were found.
    ForkWindows::Server server = !member && mux ? ForkWindows::Server{pid, stat.startTime} : ForkWindows::noServer;
    if (!member) {
        const auto parent = members_.find(stat.ppid);
        member = parent != members_.end() && parent->second.startTime <= stat.startTime;
        const auto parentMux = muxes_.find(stat.ppid);
        if (member && server == ForkWindows::noServer) {
            if (parent->second.served)
                server = parent->second.server;
            else if (parentMux != muxes_.end() && parentMux->second.startTime == parent->second.startTime)
                server = {stat.ppid, parentMux->second.startTime};
        }
    }
    if (!member) {
        const auto known = strangers_.find(pid);
        if (known != strangers_.end() && known->second == stat.startTime)
            return false;
        ForkWindows::Server through = ForkWindows::noServer;
        const Holds held = holdsTerminal(pid, stat);
        const Fork fork = held == Holds::yes ? Fork::member : forkOfMember(pid, stat, through);
        member = fork != Fork::none;
        if (fork == Fork::served && server == ForkWindows::noServer)
            server = through;
        if (!member && held == Holds::unsettled && unsettled_.size() < limits_.maxMembers)
            unsettled_[pid] = stat.startTime;
        else if (!member && held == Holds::unsettled)
            bounded = false;
        else if (!member && stat.startTime >= leaderStart_ && strangers_.size() < limits_.maxProcesses)
            strangers_[pid] = stat.startTime;
    }
    if (member && !addMember(pid, stat, server))
        bounded = false;
    return member;
}

// A process of ours named as a multiplexer, by its name now: one may take
// that name only when it runs its program, after a look found it.
void RemoteSessionProbe::noteMultiplexer(pid_t pid, const Stat& stat)
{
    auto [mux, added] = muxes_.try_emplace(pid);
    if (!added && mux->second.startTime == stat.startTime)
        return;
    mux->second = Proc{};
    mux->second.startTime = stat.startTime;
    mux->second.comm = stat.comm;
    membersChanged_ = true;
}

// Whether a member through `server` counts: while that server is attached;
// through one of several merged, while any is.
bool RemoteSessionProbe::counts(const ForkWindows::Server& server) const
{
    if (server == ForkWindows::anyServer)
        return !attached_.empty();
    if (attached_.count(server))
        return true;
    // A client in the tab, whose processes that left count through it.
    const auto client = members_.find(server.first);
    return client != members_.end() && !client->second.served && client->second.startTime == server.second;
}

bool RemoteSessionProbe::scanNew(long from, long to)
{
    if (to < from || static_cast<std::size_t>(to - from) > limits_.maxNewPids)
        return false;  // ids wrapped around or too many started: walk everything
    windows_.clearAlive();
    for (const auto& [pid, proc] : members_)
        openWindow(proc);
    Stat stat;
    bool bounded = true;
    // Ascending, so a parent started in the range is known before its child.
    for (long id = from + 1; id <= to && bounded; ++id) {
        const auto pid = static_cast<pid_t>(id);
        if (readStat(ProcPath(pid, "stat"), stat) != Read::ok)
            continue;
        // A thread's id opens its process's files too; the walk of /proc
        // meets only the process, and so must this.
        if (stat.threads != 1) {
            const auto group = readThreadGroup(pid);
            if (group && *group != pid)
                continue;
        }
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
    std::vector<pid_t> servers;
    std::vector<pid_t> servedBefore;
    std::unordered_set<pid_t> muxes;
    Stat stat;
    for (pid_t pid : pids) {
        if (readStat(ProcPath(pid, "stat"), stat) != Read::ok)
            continue;  // ended meanwhile; /proc/<pid>/stat is readable for every user
        const bool here = inTab(pid, stat, leader_, tty_);
        if (isMultiplexerName(stat.comm) && ownedBy(pid, uid_)) {
            muxes.insert(pid);
            noteMultiplexer(pid, stat);
        }
        // A member stays one while it lives, wherever it went (su -c 'ssh -f
        // …' leaves the session and its parent); a multiplexer's process
        // outside the tab, and its panes, only while the server is attached.
        const auto old = members_.find(pid);
        const bool same = old != members_.end() && old->second.startTime == stat.startTime;
        const bool kept = same && !old->second.served && (here || !muxes.count(pid));
        if (here || kept)
            roots.push_back(pid);
        else if (attached_.count({pid, stat.startTime}))
            servers.push_back(pid);
        else if (same && old->second.served)
            servedBefore.push_back(pid);
        children[stat.ppid].push_back(pid);
        stats.emplace(pid, stat);
    }
    if (auto it = stats.find(leader_); it != stats.end())
        leaderStart_ = it->second.startTime;

    std::unordered_set<pid_t> member;
    std::unordered_map<pid_t, ForkWindows::Server> served;
    // Outside the tab, a multiplexer's process and what runs under it count
    // through the server: the first such process on the way down.
    auto throughMux = [&](pid_t pid, pid_t parent) -> ForkWindows::Server {
        if (inTab(pid, stats.at(pid), leader_, tty_))
            return ForkWindows::noServer;
        if (muxes.count(pid))
            return {pid, stats.at(pid).startTime};
        if (muxes.count(parent))
            return {parent, stats.at(parent).startTime};
        return ForkWindows::noServer;
    };
    auto take = [&](pid_t root, ForkWindows::Server server = ForkWindows::noServer) {
        if (server == ForkWindows::noServer)
            server = throughMux(root, 0);
        std::vector<std::pair<pid_t, ForkWindows::Server>> queue{{root, server}};
        while (!queue.empty()) {
            const auto [pid, through] = queue.back();
            queue.pop_back();
            if (!member.insert(pid).second)
                continue;
            if (through != ForkWindows::noServer)
                served.emplace(pid, through);
            if (member.size() > limits_.maxMembers)
                return false;
            if (auto it = children.find(pid); it != children.end())
                for (pid_t child : it->second)
                    queue.emplace_back(child, through != ForkWindows::noServer ? through : throughMux(child, pid));
        }
        return true;
    };
    for (pid_t root : roots)
        if (!take(root))
            return false;
    for (pid_t root : servers)
        if (!take(root, {root, stats.at(root).startTime}))
            return false;
    // A member through a server that its server's processes no longer lead
    // to (a fork that left a pane, what a pane left behind when it ended)
    // stays one while it lives, as a look that reads new ids keeps it: it
    // counts whenever its server does. One still under a multiplexer's
    // process is found through it again once that counts.
    for (pid_t pid : servedBefore) {
        if (member.count(pid))
            continue;
        bool underMux = false;
        pid_t up = pid;
        for (int depth = 0; depth < 64 && !underMux; ++depth) {
            const auto it = stats.find(up);
            if (it == stats.end())
                break;
            underMux = muxes.count(up) > 0 && !inTab(up, it->second, leader_, tty_);
            if (it->second.ppid <= 1)
                break;
            up = it->second.ppid;
        }
        if (!underMux && !take(pid, members_.at(pid).server))
            return false;
    }
    // Members gone since the last look, and the accounts of those alive,
    // tell which orphans of other accounts may be their forks.
    for (const auto& [pid, proc] : members_)
        if (auto it = stats.find(pid); it == stats.end() || it->second.startTime != proc.startTime)
            noteEnded(proc);
    std::unordered_map<pid_t, std::vector<ForkWindows::Place>> places;
    windows_.clearAlive();
    for (pid_t pid : member) {
        Proc proc;
        proc.startTime = stats.at(pid).startTime;
        if (auto through = served.find(pid); through != served.end()) {
            proc.served = true;
            proc.server = through->second;
        }
        auto old = members_.find(pid);
        if (old != members_.end() && old->second.startTime == proc.startTime)
            proc.places = old->second.places;
        else
            learnPlaces(pid, stats.at(pid), proc);
        places.emplace(pid, proc.places);
        openWindow(proc);
    }
    std::unordered_map<pid_t, std::uint64_t> strangers;
    std::unordered_map<pid_t, std::uint64_t> unsettled;
    for (const auto& [pid, s] : stats) {
        if (member.count(pid))
            continue;
        if (s.startTime < leaderStart_)
            continue;
        if (auto known = strangers_.find(pid); known != strangers_.end() && known->second == s.startTime) {
            strangers.emplace(pid, s.startTime);
            continue;
        }
        ForkWindows::Server through = ForkWindows::noServer;
        const Holds held = holdsTerminal(pid, s);
        if (const Fork fork = held == Holds::yes ? Fork::member : forkOfMember(pid, s, through); fork != Fork::none) {
            if (!take(pid, fork == Fork::served ? through : ForkWindows::noServer))
                return false;
        } else if (held == Holds::unsettled) {
            if (unsettled.size() >= limits_.maxMembers)
                return false;
            unsettled.emplace(pid, s.startTime);
        } else {
            strangers.emplace(pid, s.startTime);
        }
    }
    strangers_ = std::move(strangers);
    unsettled_ = std::move(unsettled);

    // What earlier looks learnt of a process that is still the same stays.
    std::unordered_map<pid_t, Proc> members;
    for (pid_t pid : member) {
        const Stat& s = stats.at(pid);
        auto old = members_.find(pid);
        const auto through = served.find(pid);
        if (old != members_.end() && old->second.startTime == s.startTime) {
            old->second.served = through != served.end();
            old->second.server = old->second.served ? through->second : ForkWindows::noServer;
            old->second.ppid = s.ppid;
            // A fork found above opens its window now, as one found by its new id does.
            if (!places.count(pid))
                openWindow(old->second);
            members.emplace(pid, std::move(old->second));
            continue;
        }
        Proc proc;
        proc.startTime = s.startTime;
        proc.ppid = s.ppid;
        proc.comm = s.comm;
        proc.served = through != served.end();
        proc.server = proc.served ? through->second : ForkWindows::noServer;
        if (auto known = places.find(pid); known != places.end()) {
            proc.places = std::move(known->second);
        } else {
            learnPlaces(pid, s, proc);
            openWindow(proc);
        }
        members.emplace(pid, std::move(proc));
    }
    members_ = std::move(members);
    membersChanged_ = true;
    return true;
}

bool RemoteSessionProbe::refreshMembers()
{
    ++refreshes_;
    ancestorsRead_ = false;
    // Another process may move a member of another account while it sleeps:
    // where it is now is where its next forks start.
    Stat stat;
    for (auto& [pid, proc] : members_)
        if (!proc.places.empty() && readStat(ProcPath(pid, "stat"), stat) == Read::ok &&
            stat.startTime == proc.startTime)
            learnPlaces(pid, stat, proc);
    // What an earlier look could not tell is asked again: one found to hold
    // the terminal is taken in by a walk, with what it started meanwhile.
    bool walk = false;
    for (auto it = unsettled_.begin(); it != unsettled_.end();) {
        if (readStat(ProcPath(it->first, "stat"), stat) != Read::ok || stat.startTime != it->second) {
            it = unsettled_.erase(it);
            continue;
        }
        const Holds held = holdsTerminal(it->first, stat);
        if (held == Holds::unsettled) {
            ++it;
            continue;
        }
        walk = walk || held == Holds::yes;
        if (held == Holds::no && strangers_.size() < limits_.maxProcesses)
            strangers_[it->first] = it->second;
        it = unsettled_.erase(it);
    }
    const auto last = lastPid();
    bool ok = !walk && known_ && last && lastPid_ >= 0 && (*last == lastPid_ || scanNew(lastPid_, *last));
    if (!ok)
        ok = fullWalk();
    known_ = ok && last.has_value();
    lastPid_ = last.value_or(-1);
    // A fork of a member found gone before this refresh began has been looked for now.
    if (ok)
        windows_.forgetEndedBefore(refreshes_);
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

RemoteSessionProbe::Verdict RemoteSessionProbe::inspect(pid_t pid, Proc& proc, const Stat& stat, InetTables& inet)
{
    if (RemoteLoginProbe::isRemoteLoginProgram(stat.comm))
        return Verdict::remote;
    // A process ends with its last thread; a zombie keeps only its name.
    if (stat.threads <= 1 && (stat.state == 'Z' || stat.state == 'X'))
        return Verdict::local;
    RunMark now;
    const bool ran = ranSince(pid, stat, proc.mark, now);
    if (proc.inspected && !ran && proc.comm == stat.comm)
        return proc.remote ? Verdict::remote : Verdict::local;
    // The mark comes first: whatever the process does while we read it shows next time.
    proc.mark = std::move(now);
    proc.inspected = false;
    proc.comm = stat.comm;
    const std::string exeBefore = proc.exe;
    Verdict verdict = Verdict::local;
    const Read r = throughLiveThreads(pid, stat, limits_.maxThreads, [&](const std::vector<pid_t>& tids) {
        return inspectThrough(pid, proc, tids, exeBefore, inet, verdict);
    });
    if (r == Read::gone)
        return Verdict::local;
    return r == Read::denied ? Verdict::unknown : verdict;
}

// One reading of a member through its threads `tids`; threadEnded when one
// it was read through ended under the read.
Pass RemoteSessionProbe::inspectThrough(pid_t pid, Proc& proc, const std::vector<pid_t>& tids,
                                        const std::string& exeBefore, InetTables& inet, Verdict& verdict)
{
    verdict = Verdict::unknown;
    // Its account may have changed since (su, sudo): each it had tells whose forks may be its.
    notePlaces(pid, tids, proc);
    // Its program and command line are those of every thread.
    const pid_t first = tids.front();
    std::string text;
    Read got = readLinkAt(AT_FDCWD, ProcPath(pid, first, "exe"), text);
    if (got == Read::denied)
        return Pass::done;
    if (got == Read::gone && threadLives(pid, first) == Read::gone)
        return Pass::threadEnded;
    const bool newProgram = got != Read::ok || text != exeBefore;
    if (got == Read::ok) {
        proc.exe = text;
        if (RemoteLoginProbe::isRemoteLoginProgram(text)) {
            proc.remote = proc.inspected = true;
            verdict = Verdict::remote;
            return Pass::done;
        }
    }
    if (newProgram || !proc.mark.valid) {
        got = readFile(ProcPath(pid, first, "cmdline"), text, 4096);
        if (got == Read::denied)
            return Pass::done;
        // A thread that ended has no command line left.
        if ((got == Read::gone || text.empty()) && threadLives(pid, first) == Read::gone)
            return Pass::threadEnded;
        if (got == Read::ok) {
            const std::string_view argv0(text.data(), std::min(text.size(), text.find('\0')));
            if (RemoteLoginProbe::isRemoteLoginProgram(argv0)) {
                proc.remote = proc.inspected = true;
                verdict = Verdict::remote;
                return Pass::done;
            }
        }
    }
    std::vector<std::uint64_t> sockets;
    std::vector<std::uint64_t> pipes;
    std::vector<std::uint64_t> unknown;  // sockets whose kind the kernel did not name
    bool holdsInet = false;
    bool denied = false;
    const Fds fds = readTables(pid, tids, limits_.maxFds, [&](pid_t tid, const char* name, std::string_view link) {
        const auto inode = socketInode(link);
        if (!inode) {
            if (const auto pipe = pipeInode(link); pipe && fdOpenFor(pid, tid, name, false))
                pipes.push_back(*pipe);
            return Visit::next;
        }
        switch (socketKind(pid, tid, name)) {
        case SocketKind::inet: holdsInet = true; return Visit::stop;
        case SocketKind::other: sockets.push_back(*inode); return Visit::next;
        case SocketKind::gone: return Visit::vanished;
        case SocketKind::denied: denied = true; return Visit::stop;
        case SocketKind::unnamed:
            unknown.push_back(*inode);
            sockets.push_back(*inode);
            return Visit::next;
        }
        return Visit::next;
    });
    if (fds == Fds::gone)
        return Pass::threadEnded;
    if (!holdsInet && (denied || fds == Fds::denied || fds == Fds::tooMany))
        return Pass::done;
    if (!holdsInet && !unknown.empty()) {
        // A kernel that does not name a socket's protocol: the tables of its
        // threads' namespaces do (a thread may have one of its own).
        bool read = false;
        for (const pid_t tid : tids) {
            got = readLinkAt(AT_FDCWD, ProcPath(pid, tid, "ns/net"), text);
            if (got == Read::denied)
                return Pass::done;
            if (got == Read::gone)
                continue;
            auto table = inet.find(text);
            if (table == inet.end()) {
                std::unordered_set<std::uint64_t> inodes;
                if (!loadInetInodes(pid, tid, limits_.maxNetTableBytes, inodes))
                    return Pass::done;
                if (threadLives(pid, tid) != Read::ok)
                    continue;  // what it read may be short
                table = inet.emplace(text, std::move(inodes)).first;
            }
            read = true;
            for (std::uint64_t inode : unknown)
                holdsInet = holdsInet || table->second.count(inode) > 0;
        }
        if (!read)
            return Pass::threadEnded;
    }
    std::sort(sockets.begin(), sockets.end());
    sockets.erase(std::unique(sockets.begin(), sockets.end()), sockets.end());
    std::sort(pipes.begin(), pipes.end());
    pipes.erase(std::unique(pipes.begin(), pipes.end()), pipes.end());
    if (sockets != proc.sockets || pipes != proc.pipes)
        membersChanged_ = true;
    proc.sockets = std::move(sockets);
    proc.pipes = std::move(pipes);
    proc.remote = holdsInet;
    proc.inspected = true;
    verdict = holdsInet ? Verdict::remote : Verdict::local;
    return Pass::done;
}

// A child of a member that /proc does not show us runs with another user's rights.
bool RemoteSessionProbe::hiddenChild(pid_t pid)
{
    Stat stat;
    if (readStat(ProcPath(pid, "stat"), stat) != Read::ok)
        return false;  // ended: its children are another's now
    // Each thread lists the children it started; those of a thread that
    // ends go to another, so the live ones are read, again if one ends.
    bool hidden = false;
    std::string text;
    Stat child;
    const Read r = throughLiveThreads(pid, stat, limits_.maxThreads, [&](const std::vector<pid_t>& tids) {
        for (const pid_t tid : tids) {
            const Read got = readFile(ProcPath(pid, tid == 0 ? pid : tid, "children"), text, 1u << 16);
            if (got == Read::gone)
                return Pass::threadEnded;
            if (got != Read::ok)
                continue;
            std::string_view list(text);
            while (!list.empty()) {
                const auto space = list.find(' ');
                pid_t id = 0;
                if (parseNumber(list.substr(0, space), id) && id > 0 && !members_.count(id)) {
                    // A waiting su or sudo keeps our real id: we may signal it
                    // though we cannot see it. Only a child gone is no child.
                    if (readStat(ProcPath(id, "stat"), child) != Read::ok && (kill(id, 0) == 0 || errno != ESRCH)) {
                        hidden = true;
                        return Pass::done;
                    }
                }
                list = space == std::string_view::npos ? std::string_view() : list.substr(space + 1);
            }
        }
        return Pass::done;
    });
    return hidden || r == Read::denied;
}

// Which multiplexer processes outside the tab count, from the tab outwards:
// one holding the other end of a unix socket of a member that counts,
// holding the tab's terminal (tmux's server does while a client is
// attached, a client started with setsid does), or whose parent counts (a
// server starting up); with it, what runs under it counts. A server whose
// only clients run in its own panes does not. False when that cannot be told.
bool RemoteSessionProbe::updateAttachments(bool& changed)
{
    changed = false;
    Stat stat;
    // A server that took a connection has a descriptor more or less: the
    // client's end may have found its holder only now.
    bool serversChanged = false;
    std::unordered_map<pid_t, pid_t> outside;  // each one's parent, when a member
    for (auto it = muxes_.begin(); it != muxes_.end();) {
        std::uint64_t fds = 0;
        Read alive = Read::gone;
        if (readStat(ProcPath(it->first, "stat"), stat) != Read::ok || stat.startTime != it->second.startTime ||
            (alive = countFds(it->first, stat, limits_.maxThreads, fds)) == Read::gone) {
            it = muxes_.erase(it);
            membersChanged_ = true;
            continue;
        }
        serversChanged = serversChanged || fds != it->second.fdCount;
        it->second.fdCount = fds;
        it->second.thread = alive == Read::ok ? 0 : -1;
        if (!inTab(it->first, stat, leader_, tty_)) {
            const auto parent = members_.find(stat.ppid);
            const bool known = parent != members_.end() && parent->second.startTime <= stat.startTime;
            outside.emplace(it->first, known ? stat.ppid : 0);
        }
        ++it;
    }
    bool clientInTab = false;
    for (const auto& [pid, proc] : members_)
        clientInTab = clientInTab || isMultiplexerName(proc.comm);
    if (!membersChanged_ && !serversChanged && !(clientInTab && !muxes_.empty()))
        return true;
    membersChanged_ = false;

    // What each holds: its unix sockets, and the tab's terminal (or may, unread).
    struct Held {
        std::vector<std::uint64_t> sockets;
        std::vector<std::uint64_t> pipes;  // that it writes to
        bool terminal = false;
    };
    std::unordered_map<pid_t, Held> holds;
    for (const auto& entry : outside) {
        const pid_t pid = entry.first;  // clang before 16 lets no lambda capture a structured binding
        Held& held = holds[pid];
        const Proc& mux = muxes_.at(pid);
        Fds r = Fds::denied;
        if (mux.thread >= 0) {
            // Ended since it was counted: it holds nothing.
            r = Fds::gone;
            if (readStat(ProcPath(pid, "stat"), stat) == Read::ok && stat.startTime == mux.startTime)
                r = forEachTableFd(
                    pid, stat, limits_.maxThreads, limits_.maxFds, [&] { held = Held{}; },
                    [&](pid_t tid, const char* fd, std::string_view link) {
                        if (const auto inode = socketInode(link))
                            held.sockets.push_back(*inode);
                        else if (const auto pipe = pipeInode(link); pipe && fdOpenFor(pid, tid, fd, true))
                            held.pipes.push_back(*pipe);
                        held.terminal = held.terminal || (!slavePath_.empty() && link == slavePath_);
                        return Visit::next;
                    });
        }
        held.terminal = held.terminal || r == Fds::denied || r == Fds::tooMany;
    }
    std::unordered_map<std::uint64_t, std::uint64_t> peers;
    auto attachedWith = [&] {
        std::set<std::pair<pid_t, std::uint64_t>> attached;
        // Members in their own right count first; a process of a server counts once the server does.
        std::unordered_map<pid_t, std::vector<pid_t>> under;
        std::vector<pid_t> counting;
        for (const auto& [pid, proc] : members_) {
            if (proc.served)
                under[proc.server.first > 0 ? proc.server.first : proc.ppid].push_back(pid);
            else
                counting.push_back(pid);
        }
        std::unordered_set<pid_t> counted;
        std::unordered_set<std::uint64_t> ends;
        std::unordered_set<std::uint64_t> pipeEnds;  // read by members that count
        bool screenClient = false;
        while (!counting.empty()) {
            for (pid_t pid : counting) {
                counted.insert(pid);
                const Proc& proc = members_.at(pid);
                screenClient = screenClient || proc.comm == "screen";
                for (std::uint64_t inode : proc.sockets)
                    if (auto peer = peers.find(inode); peer != peers.end())
                        ends.insert(peer->second);
                pipeEnds.insert(proc.pipes.begin(), proc.pipes.end());
            }
            counting.clear();
            for (const auto& [pid, parent] : outside) {
                const Proc& mux = muxes_.at(pid);
                const Held& held = holds[pid];
                // screen may talk through a named pipe: its client takes every server in.
                bool counts = held.terminal || counted.count(parent) || (screenClient && mux.comm == "SCREEN");
                for (std::uint64_t inode : held.sockets)
                    counts = counts || ends.count(inode);
                // Writing into a pipe that a member reads from feeds the tab as a client would.
                for (std::uint64_t inode : held.pipes)
                    counts = counts || pipeEnds.count(inode);
                if (!counts || !attached.insert({pid, mux.startTime}).second)
                    continue;
                for (std::vector<pid_t> queue{pid}; !queue.empty();) {
                    const pid_t next = queue.back();
                    queue.pop_back();
                    if (!counted.insert(next).second)
                        continue;
                    if (members_.count(next))
                        counting.push_back(next);
                    if (auto it = under.find(next); it != under.end())
                        queue.insert(queue.end(), it->second.begin(), it->second.end());
                }
            }
        }
        return attached;
    };
    const bool needPeers = !outside.empty() && std::any_of(members_.begin(), members_.end(), [](const auto& member) {
        return !member.second.sockets.empty();
    });
    bool ok = !needPeers || loadUnixPeers(limits_.maxUnixSockets, peers);
    auto attached = attachedWith();
    // A dump made while other sockets come and go may pass over some: a
    // change is taken once a dump made again agrees, and a socket any of
    // them saw stays connected.
    constexpr int kDumps = 3;
    for (int dump = 1; ok && needPeers && attached != attached_ && dump < kDumps; ++dump) {
        ok = loadUnixPeers(limits_.maxUnixSockets, peers);
        auto again = attachedWith();
        if (again == attached)
            break;
        attached = std::move(again);
    }
    // A member that counts only through a server no longer attached, or a
    // server that left the session after it was found there, is judged anew.
    for (const auto& [pid, parent] : outside) {
        const auto member = members_.find(pid);
        if (member != members_.end() && member->second.startTime == muxes_.at(pid).startTime &&
            (!member->second.served || !attached.count({pid, member->second.startTime})))
            changed = true;
    }
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
    struct Finished {
        ~Finished() { ++looksDone; }
    } finished;
    Look result;
    if (leader_ <= 0 || !refreshMembers())
        return result;
    // A process that may hold the terminal is never taken for local.
    if (!unsettled_.empty())
        return result;
    // A detach or attach under way can show in two steps, one per walk.
    constexpr int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        InetTables inet;
        Stat stat;
        // What a multiplexer's process showed tells only once its server is known to count.
        std::vector<std::pair<pid_t, ForkWindows::Server>> viaServer;
        auto found = [&](const Proc& proc, pid_t remotePid) {
            if (!proc.served) {
                result.remotePid = remotePid;
                return true;
            }
            viaServer.emplace_back(remotePid, proc.server);
            return false;
        };
        for (auto it = members_.begin(); it != members_.end();) {
            const pid_t pid = it->first;
            if (asleepSinceInspected(pid, it->second)) {
                // Nothing about it can have changed: not even its name.
                if ((it->second.remote && found(it->second, pid)) ||
                    (hidden_ && hiddenChild(pid) && found(it->second, 0)))
                    return result;
                ++it;
                continue;
            }
            const Read r = readStat(ProcPath(pid, "stat"), stat);
            if (r == Read::denied) {
                if (found(it->second, pid))
                    return result;
                ++it;
                continue;
            }
            if (r == Read::gone || stat.startTime != it->second.startTime) {
                // Ended, or its id went to another process.
                noteEnded(it->second);
                it = members_.erase(it);
                membersChanged_ = true;
                continue;
            }
            const Verdict verdict = inspect(pid, it->second, stat, inet);
            if (isMultiplexerName(stat.comm) && ownedBy(pid, uid_))
                noteMultiplexer(pid, stat);
            if ((verdict != Verdict::local && found(it->second, verdict == Verdict::remote ? pid : 0)) ||
                (hidden_ && hiddenChild(pid) && found(it->second, 0)))
                return result;
            ++it;
        }
        bool changed = false;
        if (!updateAttachments(changed))
            return result;
        const auto counting =
            std::find_if(viaServer.begin(), viaServer.end(), [&](const auto& hit) { return counts(hit.second); });
        if (!changed && counting != viaServer.end()) {
            result.remotePid = counting->first;
            return result;
        }
        if (!changed)
            break;
        // A server came or went: its panes are ours now, or no longer.
        if (!fullWalk()) {
            known_ = false;
            return result;
        }
        if (round == rounds - 1)
            return result;  // still moving: ask again later
    }
    result.remote = false;
    // Members through a server that is not attached can write to the tab only once a client attaches.
    result.leaderAlone = members_.count(leader_) && attached_.empty() &&
                         std::all_of(members_.begin(), members_.end(), [&](const auto& member) {
                             return member.first == leader_ || (member.second.served && !counts(member.second.server));
                         });
    return result;
}

}  // namespace ravelgrid
