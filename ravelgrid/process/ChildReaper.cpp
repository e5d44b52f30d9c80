#include "ravelgrid/process/ChildReaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace ravelgrid {

namespace {

std::uint64_t steadyNs()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::uint64_t ceilMs(std::uint64_t ns)
{
    return ns / 1000000 + (ns % 1000000 != 0);
}

}  // namespace

struct ChildReaper::State {
    struct Child {
        pid_t pid;
        int pidfd;
        std::optional<std::uint64_t> killAt;         // on `clock`
        const platform::Scheduler* clock = nullptr;  // null: the steady clock
        std::optional<std::uint64_t> killedAt;       // steady
    };
    mutable std::mutex mutex;
    std::vector<Child> children;
    int wakeFd = -1;
    bool threadStarted = false;
    bool exitHookSet = false;

    // The child is a zombie or alive until we reap it, so its process id (and
    // with it its group's) cannot have been reused yet.
    static void killGroup(Child& child)
    {
        if (child.killedAt)
            return;
        child.killedAt = steadyNs();
        if (kill(-child.pid, SIGKILL) != 0)
            kill(child.pid, SIGKILL);
    }

    // Under the mutex. True once the child is gone.
    static bool reap(Child& child)
    {
        int status = 0;
        pid_t result;
        do {
            result = waitpid(child.pid, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        // ECHILD: someone else reaped it (or SIGCHLD is ignored); either way it is gone.
        return result == child.pid || (result < 0 && errno == ECHILD);
    }

    // A deadline still to come, read on its own clock.
    static bool waiting(const Child& child) { return child.killAt && !child.killedAt; }
    static std::uint64_t nowFor(const Child& child) { return child.clock ? child.clock->nowNs() : steadyNs(); }

    // Under the mutex: kills what is overdue and reaps what has gone.
    void sweep()
    {
        for (auto it = children.begin(); it != children.end();) {
            if (waiting(*it) && nowFor(*it) >= *it->killAt)
                killGroup(*it);
            if (reap(*it)) {
                if (it->pidfd >= 0)
                    close(it->pidfd);
                it = children.erase(it);
            } else {
                ++it;
            }
        }
    }

    // A clock of another kind is taken to run at the steady clock's pace;
    // lookNow() looks at once after it moved.
    int timeoutMs(bool anyWithoutPidfd) const
    {
        int timeout = anyWithoutPidfd ? 200 : -1;
        for (const auto& child : children) {
            if (!waiting(child))
                continue;
            const std::uint64_t now = nowFor(child);
            const std::uint64_t left = *child.killAt > now ? *child.killAt - now : 0;
            const int ms = static_cast<int>(std::min<std::uint64_t>(ceilMs(left), 60000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        return timeout;
    }

    void loop()
    {
        std::vector<pollfd> fds;
        for (;;) {
            int timeout = -1;
            fds.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            {
                std::lock_guard lock(mutex);
                bool anyWithoutPidfd = false;
                for (const auto& child : children) {
                    if (child.pidfd >= 0) {
                        fds.push_back({child.pidfd, POLLIN, 0});
                    } else {
                        anyWithoutPidfd = true;
                    }
                }
                timeout = timeoutMs(anyWithoutPidfd);
            }
            const int ready = poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (fds[0].revents & POLLIN) {
                eventfd_t ignored;
                eventfd_read(wakeFd, &ignored);
            }
            std::lock_guard lock(mutex);
            sweep();
        }
    }

    void finishDeadlines()
    {
        std::lock_guard lock(mutex);
        // Nothing moves a clock of another kind any more (it may be gone):
        // its deadlines are due now.
        for (auto& child : children)
            if (waiting(child) && child.clock)
                killGroup(child);
        for (;;) {
            sweep();
            const std::uint64_t now = steadyNs();
            std::optional<std::uint64_t> next;
            std::vector<pollfd> fds;
            for (const auto& child : children) {
                if (!child.killAt)
                    continue;
                if (child.killedAt) {
                    // A killed child that does not go within a second is stuck in the kernel: leave it.
                    if (now - *child.killedAt > 1000000000)
                        continue;
                    next = now + 10000000;
                } else {
                    next = next ? std::min(*next, *child.killAt) : *child.killAt;
                }
                if (child.pidfd >= 0)
                    fds.push_back({child.pidfd, POLLIN, 0});
            }
            if (!next)
                return;
            const std::uint64_t left = *next > now ? *next - now : 0;
            const int ms = static_cast<int>(std::clamp<std::uint64_t>(ceilMs(left), 1, 200));
            poll(fds.data(), fds.size(), ms);
        }
    }
};

ChildReaper::ChildReaper() : state_(new State)
{}

ChildReaper& ChildReaper::shared()
{
    static ChildReaper* reaper = new ChildReaper;
    return *reaper;
}

void ChildReaper::adopt(pid_t pid, int pidfd, std::optional<std::chrono::milliseconds> killAfter,
                        const platform::Scheduler* clock)
{
    if (pid <= 0) {
        if (pidfd >= 0)
            close(pidfd);
        return;
    }
    std::lock_guard lock(state_->mutex);
    State::Child child{pid, pidfd, std::nullopt, clock, std::nullopt};
    if (killAfter) {
        child.killAt = State::nowFor(child) +
                       static_cast<std::uint64_t>(
                           std::chrono::nanoseconds(std::max(*killAfter, std::chrono::milliseconds(0))).count());
        if (!state_->exitHookSet) {
            state_->exitHookSet = true;
            std::atexit([] { ChildReaper::shared().finishDeadlines(); });
        }
    }
    state_->children.push_back(child);
    if (!state_->threadStarted) {
        state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state_->wakeFd < 0)
            return;  // retried on the next adoption; the child waits until then
        state_->threadStarted = true;
        std::thread([state = state_] { state->loop(); }).detach();
    }
    eventfd_write(state_->wakeFd, 1);
}

std::size_t ChildReaper::waitingCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->children.size();
}

void ChildReaper::lookNow()
{
    std::lock_guard lock(state_->mutex);
    state_->sweep();
}

void ChildReaper::finishDeadlines()
{
    state_->finishDeadlines();
}

}  // namespace ravelgrid
