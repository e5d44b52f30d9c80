#include "ravelgrid/process/SessionTrust.h"

#include <time.h>

#include <algorithm>
#include <utility>

namespace ravelgrid {

namespace {

std::chrono::nanoseconds threadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

SessionTrust::SessionTrust(Prober prober) : prober_(std::move(prober))
{}

SessionTrust::Clock::duration SessionTrust::spacing() const
{
    return lastCost_ * costShare;
}

// One look, begun at `now`; `ptyEmpty` is the reader's, null for a look from
// elsewhere, which can taint but not clear. True when the session is remote.
bool SessionTrust::look(Clock::time_point now, const std::function<bool()>* ptyEmpty)
{
    std::lock_guard serial(lookMutex_);
    std::uint64_t start;
    {
        std::lock_guard lock(mutex_);
        start = readSeq_;
        ++looksRunning_;
    }
    // The cost is the time this thread spent on the CPU, which a busy machine does not inflate.
    const auto begun = threadCpuTime();
    const RemoteSessionProbe::Look seen = prober_();
    const auto cost = threadCpuTime() - begun;
    // Asked before the state is updated: what is unread now was written before the look ended.
    const bool empty = !seen.remote && ptyEmpty && (*ptyEmpty)();
    std::lock_guard lock(mutex_);
    --looksRunning_;
    lastLook_ = now;
    lastCost_ = cost;
    lastRemote_ = seen.remote;
    remotePid_ = seen.remote ? seen.remotePid : 0;
    leaderAlone_ = seen.leaderAlone;
    // Looks run one at a time, so this one is the first begun after every
    // read since the last one's start.
    if (seen.remote && start > covered_)
        recordRemote(covered_ + 1, start);
    covered_ = std::max(covered_, start);
    if (seen.remote) {
        taint_ = Taint::remote;
    } else if (ptyEmpty && taint_ != Taint::none) {
        taint_ = empty ? Taint::none : Taint::draining;
    }
    looked_.notify_all();
    return seen.remote;
}

SessionTrust::Mark SessionTrust::outputRead(Clock::time_point now, bool emptied, bool watching,
                                            const std::function<bool()>& ptyEmpty)
{
    Mark mark;
    Taint before;
    bool due;
    {
        std::lock_guard lock(mutex_);
        mark.seq = ++readSeq_;
        before = taint_;
        const bool paused = !lastRead_ || now - *lastRead_ >= lookInterval;
        // Once the remote process it watched has gone, or with none to
        // watch, a tainted reader looks at every read until a look ends the taint.
        const bool unsure = taint_ != Taint::none && !watching;
        // Quick looks are few and end a taint soon after its process has gone.
        due = (paused || unsure || !lastLook_ || now - *lastLook_ >= lookInterval) &&
              (!lastLook_ || quickLooksLeft_ > 0 || now - *lastLook_ >= spacing());
    }
    lastRead_ = now;
    lastActivity_ = now;
    // What was read while a taint held is remote, whatever the look says of the moment after.
    const bool seen = due && look(now, &ptyEmpty);
    if (due && quickLooksLeft_ > 0)
        quickLooksLeft_ = seen ? quickLooksLeft_ - 1 : 0;
    mark.remote = before != Taint::none || seen;
    std::lock_guard lock(mutex_);
    // A read begun after the look emptied the terminal of what came before it.
    if (emptied && before == Taint::draining && taint_ == Taint::draining)
        taint_ = Taint::none;
    return mark;
}

void SessionTrust::lookNow(Clock::time_point now, const std::function<bool()>& ptyEmpty)
{
    const bool seen = look(now, &ptyEmpty);
    if (quickLooksLeft_ > 0)
        quickLooksLeft_ = seen ? quickLooksLeft_ - 1 : 0;
}

SessionTrust::Due SessionTrust::nextLook(Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    Due due;
    Clock::duration every = quietLookInterval;
    if (quickLooksLeft_ > 0) {
        every = quickLookInterval;
    } else if (leaderAlone_ && now - lastActivity_ >= idleAfter) {
        every = idleLookInterval;
        due.idle = true;
    }
    due.at = !lastLook_ ? now : *lastLook_ + (quickLooksLeft_ > 0 ? every : std::max(every, spacing()));
    return due;
}

void SessionTrust::activity(Clock::time_point now)
{
    lastActivity_ = now;
}

void SessionTrust::watchedRemoteEnded()
{
    quickLooksLeft_ = quickLooks;
}

pid_t SessionTrust::remotePid() const
{
    std::lock_guard lock(mutex_);
    return remotePid_;
}

void SessionTrust::recordRemote(std::uint64_t first, std::uint64_t last)
{
    if (!remoteReads_.empty() && remoteReads_.back().last + 1 >= first) {
        remoteReads_.back().last = std::max(remoteReads_.back().last, last);
        return;
    }
    if (remoteReads_.size() >= maxRemoteRanges) {
        // Refusing a few local reads beats forgetting remote ones.
        remoteReads_[1].first = remoteReads_[0].first;
        remoteReads_.pop_front();
    }
    remoteReads_.push_back({first, last});
}

bool SessionTrust::inRemoteRange(std::uint64_t seq) const
{
    // The first range that ends at or after seq is the only one that can hold it.
    const auto it = std::lower_bound(remoteReads_.begin(), remoteReads_.end(), seq,
                                     [](const Range& range, std::uint64_t s) { return range.last < s; });
    return it != remoteReads_.end() && it->first <= seq;
}

bool SessionTrust::readSeenRemote(std::uint64_t seq) const
{
    std::lock_guard lock(mutex_);
    return inRemoteRange(seq);
}

SessionTrust::Answer SessionTrust::answer(std::uint64_t seq) const
{
    std::lock_guard lock(mutex_);
    if (lastRemote_)
        return Answer::untrusted;
    if (covered_ >= seq)
        return inRemoteRange(seq) ? Answer::untrusted : Answer::trusted;
    return closed_ || seq > readSeq_ ? Answer::untrusted : Answer::unknown;
}

bool SessionTrust::await(std::uint64_t seq, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (lastRemote_)
            return false;
        if (covered_ >= seq)
            return !inRemoteRange(seq);
        // A read not made yet is no read of ours: no look will ever cover it.
        if (closed_ || seq > readSeq_ || Clock::now() >= deadline)
            return false;
        if (looksRunning_ > 0) {
            // A look under way may have begun before `seq` was read: wait for it, then see.
            looked_.wait_until(lock, deadline);
            continue;
        }
        lock.unlock();
        look(Clock::now(), nullptr);
        lock.lock();
    }
}

void SessionTrust::close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    looked_.notify_all();
}

}  // namespace ravelgrid
