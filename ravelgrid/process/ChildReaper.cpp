#include "ravelgrid/process/ChildReaper.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace ravelgrid {

struct ChildReaper::State {
    struct Child {
        pid_t pid;
        int pidfd;
    };
    mutable std::mutex mutex;
    std::vector<Child> children;
    int wakeFd = -1;
    bool threadStarted = false;

    void loop() {
        std::vector<pollfd> fds;
        std::vector<Child> snapshot;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                snapshot = children;
            }
            fds.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            bool anyWithoutPidfd = false;
            for (const auto& child : snapshot) {
                if (child.pidfd >= 0) {
                    fds.push_back({child.pidfd, POLLIN, 0});
                } else {
                    anyWithoutPidfd = true;
                }
            }
            const int timeout = anyWithoutPidfd ? 200 : -1;
            const int ready = poll(fds.data(), fds.size(), timeout);
            if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (fds[0].revents & POLLIN) {
                eventfd_t ignored;
                eventfd_read(wakeFd, &ignored);
            }
            std::lock_guard lock(mutex);
            for (auto it = children.begin(); it != children.end();) {
                int status = 0;
                const pid_t result = waitpid(it->pid, &status, WNOHANG);
                // ECHILD: someone else reaped it (or SIGCHLD is ignored); either way it is gone.
                if (result == it->pid || (result < 0 && errno == ECHILD)) {
                    if (it->pidfd >= 0) close(it->pidfd);
                    it = children.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
};

ChildReaper::ChildReaper() : state_(new State) {}

ChildReaper& ChildReaper::shared() {
    static ChildReaper* reaper = new ChildReaper;
    return *reaper;
}

void ChildReaper::adopt(pid_t pid, int pidfd) {
    if (pid <= 0) {
        if (pidfd >= 0) close(pidfd);
        return;
    }
    std::lock_guard lock(state_->mutex);
    state_->children.push_back({pid, pidfd});
    if (!state_->threadStarted) {
        state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state_->wakeFd < 0) return;  // retried on the next adoption; the child waits until then
        state_->threadStarted = true;
        std::thread([state = state_] { state->loop(); }).detach();
    }
    eventfd_write(state_->wakeFd, 1);
}

std::size_t ChildReaper::waitingCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->children.size();
}

}  // namespace ravelgrid
