#pragma once

#include "ravelgrid/process/ProcReader.h"

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ravelgrid {

// The members of other accounts a tab has had, alive or found gone since
// the last refresh, whose forks may have left the tab and lost their parent
// between two looks (ssh -f under su or sudo). An orphan may be such a fork
// when it started while a member of its account from its origin lived; a
// member of root's stands for any account, as su's child before it drops
// its rights. A member whose account is not known opens no window. A
// member only through a multiplexer's server opens a window that holds its
// forks only as such members of that server (they count while it does).
class ForkWindows {
public:
    // A multiplexer's process outside the tab, by id and start time, that a
    // member counts through; none for a member in its own right, any when
    // windows of several merged.
    using Server = std::pair<pid_t, std::uint64_t>;
    static constexpr Server noServer{0, 0};
    static constexpr Server anyServer{-1, 0};

    // Where a member was seen: the account of one of its threads and that
    // thread's origin. A member opens a window for each place it was seen
    // in, and none when no thread of it could be read (it ended first).
    struct Place {
        uid_t owner = 0;
        proc::Origin origin;
        bool operator==(const Place&) const = default;
    };
    // Adds `place` to those a member was seen in. Past a bound, a new place
    // merges into the last: what differs tells nothing (any account, any origin).
    static void remember(std::vector<Place>& places, const Place& place);

    explicit ForkWindows(uid_t us) : us_(us) {}

    // Windows of the members alive are made anew at each refresh.
    void clearAlive() { alive_.clear(); }
    void alive(std::optional<uid_t> owner, const proc::Origin& origin, std::uint64_t startTime,
               Server server = noServer);
    // A member found gone at `goneAt` (clock ticks since boot) during refresh `refresh`.
    void ended(std::optional<uid_t> owner, const proc::Origin& origin, std::uint64_t startTime, std::uint64_t goneAt,
               std::uint64_t refresh, Server server = noServer);
    // Windows of members found gone before refresh `refresh` began, whose forks it has looked for.
    void forgetEndedBefore(std::uint64_t refresh);

    bool empty() const { return alive_.empty() && ended_.empty(); }
    // Whether a process of `owner` started at `startTime` falls in a window
    // of its account, whatever its origin: only then is its origin read.
    bool mayHold(uid_t owner, std::uint64_t startTime) const;
    // With `servers`, also the servers of the windows that hold it: none
    // when a member's in its own right does.
    bool holds(uid_t owner, const proc::Origin& origin, std::uint64_t startTime,
               std::vector<Server>* servers = nullptr) const;

private:
    struct Ended {
        uid_t account = 0;
        proc::Origin origin;
        std::uint64_t startTime = 0;
        std::uint64_t goneAt = 0;
        std::uint64_t refresh = 0;  // the refresh under way or last made when it was found gone
        Server server = noServer;
    };
    uid_t accountOf(uid_t owner) const;
    bool fits(uid_t account, uid_t owner) const;

    uid_t us_;
    // Since when each account has had a member from each origin alive, through each server or none.
    std::map<std::tuple<uid_t, proc::Origin, Server>, std::uint64_t> alive_;
    std::vector<Ended> ended_;
};

// Whether any process that can write to one terminal talks to another host,
// so that what the terminal receives may come from there. Those processes
// (the members) are: the shell the terminal was started with, every process
// whose controlling terminal is ours or whose session is the shell's, every
// process of the user's (of any account's, for root) started since the
// shell that holds the terminal open
// (`setsid -f`, a daemonising launcher), the server of a terminal multiplexer
// a member is attached to, and the descendants of all of these, however deep.
// A process once found a member stays one while it lives, wherever it goes
// (a daemon that leaves the session), except a multiplexer's process outside
// the session and what runs under it, however they were found (a server
// holds its client's terminal while attached, and starts as a member's
// fork): they count only while the multiplexer process holds the terminal,
// its parent is a member, or a member that counts (not a client in one of
// its own panes) is connected to it by a unix socket or reads a pipe it
// writes into. Whether a process is a multiplexer's is told by its name now. A process of another
// account first found orphaned (its parent init or a subreaper above the
// shell) in a session it left the tab for counts as well when it started
// while a member of that account lived (up to the look that found it gone;
// a member of root's stands for any account, as su's child before it drops
// its rights) and shares that member's control groups and audit login
// session: it may be that member's fork, which left and lost its parent
// between two looks (ssh -f under su or sudo); the fork of a member only
// through a multiplexer's server is a member through that server, and
// counts whenever the server does (sudo ssh -f in a pane, again after a
// detach and an attach). Both ways of finding processes keep the same
// members: a walk of /proc keeps what it cannot find under a server again. The member's origin is read
// again at every look, since another process may move it while it sleeps:
// its forks are judged by every origin a look saw it in. A service manager,
// cron or another login starts its processes elsewhere; where the machine
// keeps both alike for all, such a process counts too.
//
// A member is remote when its executable, its command name or its first
// argument names a remote-login client, or when it holds an inet socket (TCP
// or UDP, IPv4 or IPv6). A process lives while any of its threads does (its
// main thread may end first, pthread_exit), and is read through its live
// threads: its descriptors through one thread of each table of them (a
// thread may have one of its own, unshare), its account and origin through
// each. A read through a thread that ends under it is made again through
// the threads alive then. A member that cannot be inspected (another
// user's, as under sudo), whose threads cannot all be followed, a child of
// a member that /proc hides from us, and a session larger than the bounds
// below make the answer remote: it fails closed.
//
// Looks are incremental: processes are found through the ids handed out
// since the last look, and a member that has not run since its last
// inspection (none of its threads was scheduled) is not read again, since it
// cannot have changed its descriptors or its program. Safe to call from
// several threads; looks are serialised.
class RemoteSessionProbe {
public:
    struct Limits {
        std::size_t maxProcesses = 1u << 17;  // entries of /proc
        std::size_t maxMembers = 4096;        // processes of the session
        std::size_t maxFds = 4096;            // descriptors of one process
        std::size_t maxNewPids = 4096;        // process ids handed out between two looks
        std::size_t maxThreads = 1024;        // threads of one process followed one by one
        std::size_t maxNetTableBytes = 16u << 20;
        std::size_t maxUnixSockets = 1u << 18;  // unix sockets listed to find a multiplexer's server
    };

    struct Look {
        bool remote = true;
        pid_t remotePid = 0;       // the member found remote; 0 when none, or remote for want of knowing
        bool leaderAlone = false;  // the shell alone and not remote: nothing else can start but by its doing
    };

    // `masterFd` is the terminal's master (its slave names the terminal);
    // `sessionLeader` the shell the terminal was started with.
    RemoteSessionProbe(int masterFd, pid_t sessionLeader);
    RemoteSessionProbe(int masterFd, pid_t sessionLeader, Limits limits);

    Look look();

    // Looks made on the calling thread so far.
    static std::uint64_t looksOnThisThread();
    // Looks finished by any probe of this process so far.
    static std::uint64_t looksFinished();

    // Whether /proc hides other users' processes from us (hidepid).
    static bool procHidesProcesses();

private:
    // What tells whether a process has run: per thread, its run time and
    // the number of times it was scheduled.
    struct RunMark {
        bool valid = false;
        bool quiet = false;                                 // no thread was on the CPU or about to be
        std::vector<std::array<std::uint64_t, 3>> threads;  // tid, ns on the CPU, times scheduled
    };
    struct Proc {
        std::uint64_t startTime = 0;
        pid_t ppid = 0;
        std::string comm;
        bool inspected = false;
        bool remote = false;                 // by its name or an inet socket, as of its last inspection
        std::string exe;                     // at its last inspection
        std::vector<std::uint64_t> sockets;  // socket inodes that are not inet, as of its last inspection
        RunMark mark;                        // taken before its last inspection
        std::uint64_t fdCount = 0;           // a multiplexer's, as of the last look
        pid_t thread = 0;                    // a multiplexer's: the thread it is read through, -1 when unknown
        bool served = false;                 // a member only through a multiplexer's process outside the session
        ForkWindows::Server server;          // that process, when served
        std::vector<std::uint64_t> pipes;    // pipes it reads from, as of its last inspection
        // Where its threads of other accounts were seen, so far.
        std::vector<ForkWindows::Place> places;
    };
    using Stat = proc::Stat;

    enum class Verdict { local, remote, unknown };

    bool refreshMembers();
    bool fullWalk();
    bool scanNew(long from, long to);
    bool considerNew(pid_t pid, const Stat& stat, bool& bounded);
    enum class Holds { no, yes, unsettled };
    Holds holdsTerminal(pid_t pid, const Stat& stat);
    void learnPlaces(pid_t pid, const Stat& stat, Proc& proc);
    bool notePlaces(pid_t pid, const std::vector<pid_t>& tids, Proc& proc);
    void noteEnded(const Proc& proc);
    void openWindow(const Proc& proc);
    enum class Fork { none, served, member };
    Fork forkOfMember(pid_t pid, const Stat& stat, ForkWindows::Server& server);
    bool counts(const ForkWindows::Server& server) const;
    void noteMultiplexer(pid_t pid, const Stat& stat);
    bool adoptsOrphans(pid_t parent);
    bool addMember(pid_t pid, const Stat& stat, ForkWindows::Server server);
    using InetTables = std::unordered_map<std::string, std::unordered_set<std::uint64_t>>;
    Verdict inspect(pid_t pid, Proc& proc, const Stat& stat, InetTables& inet);
    proc::Pass inspectThrough(pid_t pid, Proc& proc, const std::vector<pid_t>& tids, const std::string& exeBefore,
                              InetTables& inet, Verdict& verdict);
    bool hiddenChild(pid_t pid);
    bool updateAttachments(bool& changed);
    bool ranSince(pid_t pid, const Stat& stat, const RunMark& mark, RunMark& now);
    bool asleepSinceInspected(pid_t pid, const Proc& proc);

    std::mutex mutex_;
    Limits limits_;
    std::optional<std::uint32_t> tty_;  // the slave's device as /proc/<pid>/stat encodes it
    std::string slavePath_;
    pid_t leader_ = 0;
    std::uint64_t leaderStart_ = 0;
    uid_t uid_ = 0;
    bool hidden_ = false;  // /proc hides processes: children are listed from their parents
    bool known_ = false;   // members_ holds every member as of lastPid_
    long lastPid_ = -1;
    std::unordered_map<pid_t, Proc> members_;
    // Young processes of ours found not to hold the terminal, so a walk does not read them again.
    std::unordered_map<pid_t, std::uint64_t> strangers_;
    // Young processes whose threads were in flux when asked whether they hold the terminal:
    // asked again at each look, which is remote for want of knowing meanwhile.
    std::unordered_map<pid_t, std::uint64_t> unsettled_;
    // Multiplexer processes of ours, and those outside the session that count.
    std::unordered_map<pid_t, Proc> muxes_;
    std::set<std::pair<pid_t, std::uint64_t>> attached_;
    bool membersChanged_ = true;
    ForkWindows windows_;
    std::uint64_t refreshes_ = 0;
    std::vector<pid_t> ancestors_;  // of the shell, read once a refresh when needed
    bool ancestorsRead_ = false;
};

}  // namespace ravelgrid
