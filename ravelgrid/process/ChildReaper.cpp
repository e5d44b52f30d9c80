#include "ravelgrid/process/ChildReaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace ravelgrid {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct ChildReaper::State {
    struct Child {
        pid_t pid;
        int pidfd;
        std::optional<Clock::time_point> killAt;
        bool killed = false;
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
        if (child.killed)
            return;
        child.killed = true;
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

    // Under the mutex: kills what is overdue and reaps what has gone.
    void sweep(Clock::time_point now)
    {
        for (auto it = children.begin(); it != children.end();) {
            if (it->killAt && now >= *it->killAt)
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

    int timeoutMs(Clock::time_point now, bool anyWithoutPidfd) const
    {
        int timeout = anyWithoutPidfd ? 200 : -1;
        for (const auto& child : children) {
            if (!child.killAt || child.killed)
                continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*child.killAt - now).count();
            const int ms = static_cast<int>(std::clamp<long long>(left, 0, 60000));
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
                timeout = timeoutMs(Clock::now(), anyWithoutPidfd);
            }
            const int ready = poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (fds[0].revents & POLLIN) {
                eventfd_t ignored;
                eventfd_read(wakeFd, &ignored);
            }
            std::lock_guard lock(mutex);
            sweep(Clock::now());
        }
    }

    void finishDeadlines()
    {
        std::lock_guard lock(mutex);
        for (;;) {
            const auto now = Clock::now();
            sweep(now);
            std::optional<Clock::time_point> next;
            std::vector<pollfd> fds;
            for (const auto& child : children) {
                if (!child.killAt)
                    continue;
                if (child.killed) {
                    // A killed child that does not go within a second is stuck in the kernel: leave it.
                    if (now - *child.killAt > std::chrono::seconds(1))
                        continue;
                    next = now + std::chrono::milliseconds(10);
                } else {
                    next = next ? std::min(*next, *child.killAt) : *child.killAt;
                }
                if (child.pidfd >= 0)
                    fds.push_back({child.pidfd, POLLIN, 0});
            }
            if (!next)
                return;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
            const int ms = static_cast<int>(std::clamp<long long>(left, 1, 200));
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

void ChildReaper::adopt(pid_t pid, int pidfd, std::optional<std::chrono::milliseconds> killAfter)
{
    if (pid <= 0) {
        if (pidfd >= 0)
            close(pidfd);
        return;
    }
    std::lock_guard lock(state_->mutex);
    State::Child child{pid, pidfd, std::nullopt};
    if (killAfter) {
        child.killAt = Clock::now() + *killAfter;
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

void ChildReaper::finishDeadlines()
{
    state_->finishDeadlines();
}

}  // namespace ravelgrid
