#pragma once

#include "ravelgrid/process/RemoteSessionProbe.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace ravelgrid {

// Which output of one terminal may be a remote session's, from the looks at
// its session (see RemoteSessionProbe) that the reader makes, and when it
// makes them.
//
// Output read while a look saw a remote process, or after one ended but
// before the terminal had been emptied of what it wrote, is remote. A request
// that output makes (the clipboard, the screen, a local file) is answered
// only once the first look begun after the output was read has found no
// remote process: until then the answer is unknown, and whoever needs it
// waits for such a look (await) on a thread of its own, never the window's.
// Output that look saw as remote stays so, however late it is delivered.
//
// Looks cost time in proportion to what the session runs, so they are
// spaced by what the last one cost: at most one part in costShare of the
// reader's time goes to looking, whatever the tab runs.
//
// The reader's side (outputRead, lookNow, nextLook, activity,
// watchedRemoteEnded) belongs to one thread; the rest may come from any.
class SessionTrust {
public:
    using Clock = std::chrono::steady_clock;
    using Prober = std::function<RemoteSessionProbe::Look()>;

    // While output keeps flowing, it is looked at at least this often;
    // output after a pause is looked at before it is handed over.
    static constexpr std::chrono::milliseconds lookInterval{10};
    // While the terminal is quiet, so a remote session is seen while it connects.
    static constexpr std::chrono::milliseconds quietLookInterval{25};
    // While the shell is alone in its session and nothing has been read or
    // sent for idleAfter: nothing new can run there but by the shell's doing,
    // and input wakes the reader first.
    static constexpr std::chrono::milliseconds idleLookInterval{500};
    static constexpr std::chrono::milliseconds idleAfter{1000};
    // After the remote process the reader watched has ended, until its
    // parent has reaped it.
    static constexpr std::chrono::milliseconds quickLookInterval{1};
    static constexpr int quickLooks = 20;
    static constexpr int costShare = 25;

    explicit SessionTrust(Prober prober);

    struct Mark {
        std::uint64_t seq = 0;  // numbers reads from 1
        bool remote = false;
    };
    // Output has just been read. `emptied`: the read took everything the
    // terminal held. `watching`: the reader watches the remote process the
    // last look found for its exit. `ptyEmpty` tells whether nothing waits
    // unread now. Looks first when the output follows a pause or a look is due.
    Mark outputRead(Clock::time_point now, bool emptied, bool watching, const std::function<bool()>& ptyEmpty);
    // A look of the reader's own, with no output read.
    void lookNow(Clock::time_point now, const std::function<bool()>& ptyEmpty);
    // When the reader should look next, and whether that is the slow idle pace.
    struct Due {
        Clock::time_point at;
        bool idle = false;
    };
    Due nextLook(Clock::time_point now) const;
    // Input was sent to the terminal.
    void activity(Clock::time_point now);
    void watchedRemoteEnded();
    // The remote process the last look found, 0 for none.
    pid_t remotePid() const;

    // Whether the first look begun after read `seq` saw a remote process:
    // then its output is remote, whatever it was marked when read.
    bool readSeenRemote(std::uint64_t seq) const;

    enum class Answer { trusted, untrusted, unknown };
    // For a request made by the output of read `seq`: what the looks so far tell.
    Answer answer(std::uint64_t seq) const;
    // Waits until a look covers read `seq`, looking on this thread when no
    // look is under way; untrusted after `limit`, once closed, and at once
    // for a read not made yet, which no look can cover.
    bool await(std::uint64_t seq, Clock::duration limit);
    // No more looks: the session has ended. Requests not yet covered are refused.
    void close();

private:
    enum class Taint { none, remote, draining };
    bool look(Clock::time_point now, const std::function<bool()>* ptyEmpty);
    Clock::duration spacing() const;
    // Under mutex_.
    bool inRemoteRange(std::uint64_t seq) const;
    void recordRemote(std::uint64_t first, std::uint64_t last);

    // Reads first looked at by a look that saw a remote process, as
    // inclusive ranges, oldest first. Bounded: the oldest merge, taking the
    // reads between them with them.
    struct Range {
        std::uint64_t first;
        std::uint64_t last;
    };
    static constexpr std::size_t maxRemoteRanges = 256;

    Prober prober_;
    std::mutex lookMutex_;  // one look at a time
    mutable std::mutex mutex_;
    std::condition_variable looked_;
    // Under mutex_.
    std::uint64_t readSeq_ = 0;
    std::uint64_t covered_ = 0;  // every read up to this one has been looked at: the last look's start
    std::deque<Range> remoteReads_;
    bool lastRemote_ = false;
    pid_t remotePid_ = 0;
    bool leaderAlone_ = false;
    bool closed_ = false;
    Taint taint_ = Taint::none;
    std::optional<Clock::time_point> lastLook_;
    Clock::duration lastCost_{};
    std::uint64_t looksRunning_ = 0;
    // The reader's.
    std::optional<Clock::time_point> lastRead_;
    Clock::time_point lastActivity_ = Clock::now();
    int quickLooksLeft_ = 0;
};

}  // namespace ravelgrid
