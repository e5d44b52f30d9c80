#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ravelgrid {

// Whether any process of one terminal's session talks to another host, so
// that what the terminal receives may come from there. The session is every
// process whose controlling terminal is ours or whose session is the shell's,
// and all their descendants, however deep (a `script` or a pty relay in
// between changes nothing). A process is remote when its executable, its
// command name or its first argument names a remote-login client, or when it
// holds an inet socket (TCP or UDP, IPv4 or IPv6). A process that cannot be
// inspected (another user's, as under sudo) counts as remote, and so does a
// session larger than the bounds below: the answer fails closed.
//
// The first look walks all of /proc; later looks inspect the processes
// already known and only those created since (told by the kernel's last
// process id), so a look costs some tens of microseconds while nothing new
// starts. Safe to call from several threads.
class RemoteSessionProbe {
public:
    struct Limits {
        std::size_t maxProcesses = 1u << 17;  // entries of /proc
        std::size_t maxMembers = 4096;        // processes of the session
        std::size_t maxFds = 4096;            // descriptors of one process
        std::size_t maxNewPids = 4096;        // process ids handed out between two looks
        std::size_t maxNetTableBytes = 16u << 20;
    };

    // `masterFd` is the terminal's master (its slave names the session's
    // terminal); `sessionLeader` the shell the terminal was started with.
    RemoteSessionProbe(int masterFd, pid_t sessionLeader);
    RemoteSessionProbe(int masterFd, pid_t sessionLeader, Limits limits);

    // True while some process of the session is remote, or when that
    // cannot be told.
    bool remoteNow();
    // Whether the last look found the leader alone in its session and not
    // remote: then nothing else can start in it but by the leader's own doing.
    bool leaderWasAlone();
    // The process the last look found remote; 0 when it found none, or
    // answered remote for want of knowing.
    pid_t lastRemote();

private:
    struct Member {
        pid_t pid = 0;
        std::uint64_t startTime = 0;
    };
    bool fullWalk();
    bool addNewProcesses(long from, long to);
    bool inspectMembers();

    std::mutex mutex_;
    Limits limits_;
    std::optional<std::uint32_t> tty_;  // the slave's device as /proc/<pid>/stat encodes it
    pid_t leader_ = 0;
    bool known_ = false;  // members_ holds the whole session as of lastPid_
    long lastPid_ = -1;
    std::vector<Member> members_;
    bool leaderAlone_ = false;
    pid_t remotePid_ = 0;
};

}  // namespace ravelgrid
