#include "platform/Spawn.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~FileActions()
    {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes()
    {
        if (ok_)
            posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attr_; }

private:
    posix_spawnattr_t attr_{};
    bool ok_ = false;
};

std::vector<std::string> buildEnvironment(const SpawnRequest& request)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        env.emplace_back(*e);
    for (const auto& [name, value] : request.environmentChanges) {
        const std::string prefix = name + "=";
        std::erase_if(env, [&](const std::string& entry) { return entry.compare(0, prefix.size(), prefix) == 0; });
        if (value)
            env.push_back(prefix + *value);
    }
    return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Returns true once the child has been reaped.
bool reapIfDone(pid_t pid, int& status)
{
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r == 0)
            return false;
        if (errno == EINTR)
            continue;
        // ECHILD: someone else reaped it; there is nothing left to wait for.
        status = W_EXITCODE(255, 0);
        return true;
    }
}

void reapBlocking(pid_t pid, int& status)
{
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = W_EXITCODE(255, 0);
            return;
        }
    }
}

}  // namespace

SpawnResult spawn(const SpawnRequest& request)
{
    using Clock = std::chrono::steady_clock;
    SpawnResult result;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.code = errno;
        return result;
    }
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    FileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) {
        result.code = ENOMEM;
        return result;
    }
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    // Never a pipe nobody reads: a chatty tool must not block on a full buffer.
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // Own process group, so a timeout can take down whatever the tool started.
    // The calling thread's signal mask and ignored signals must not leak into it.
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig :
         {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setpgroup(attributes.get(), 0);
    posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argStrings;
    argStrings.reserve(request.arguments.size() + 1);
    argStrings.push_back(request.executable);
    argStrings.insert(argStrings.end(), request.arguments.begin(), request.arguments.end());
    std::vector<std::string> envStrings = buildEnvironment(request);
    std::vector<char*> argv = pointersTo(argStrings);
    std::vector<char*> envp = pointersTo(envStrings);

    const auto deadline = Clock::now() + request.timeLimit;
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, request.executable.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
    if (rc != 0) {
        result.code = rc;
        return result;
    }
    writeEnd.reset();
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

    Fd pidFd(openPidFd(pid));
    int status = 0;
    bool reaped = false;
    bool pipeOpen = true;
    bool timedOut = false;
    char buffer[65536];

    while (pipeOpen || !reaped) {
        if (!reaped)
            reaped = reapIfDone(pid, status);
        if (!pipeOpen && reaped)
            break;

        const auto now = Clock::now();
        if (now >= deadline) {
            // A tool that ended but left something holding the pipe is not
            // waited for any longer; its leftovers get EPIPE once we close.
            timedOut = !reaped;
            break;
        }
        pollfd fds[2];
        nfds_t count = 0;
        if (pipeOpen)
            fds[count++] = {readEnd.get(), POLLIN, 0};
        if (!reaped && pidFd.get() >= 0)
            fds[count++] = {pidFd.get(), POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        int wait = static_cast<int>(std::min<long long>(left.count(), 1000));
        // Without a pid descriptor the exit is only seen by polling.
        if (!reaped && pidFd.get() < 0)
            wait = std::min(wait, 10);
        if (count == 0) {
            ::poll(nullptr, 0, wait);
            continue;
        }
        if (::poll(fds, count, wait) < 0 && errno != EINTR) {
            timedOut = !reaped;
            break;
        }
        if (pipeOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            for (;;) {
                const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
                if (n > 0) {
                    const std::size_t room = request.outputLimit - result.output.size();
                    const std::size_t take = std::min(room, static_cast<std::size_t>(n));
                    result.output.append(buffer, take);
                    if (take < static_cast<std::size_t>(n))
                        result.outputTruncated = true;
                    continue;
                }
                if (n == 0)
                    pipeOpen = false;
                else if (errno == EINTR)
                    continue;
                else if (errno != EAGAIN)
                    pipeOpen = false;
                break;
            }
        }
    }

    if (timedOut) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        reapBlocking(pid, status);
        result.ending = SpawnResult::Ending::timedOut;
        result.code = 0;
        return result;
    }
    if (WIFSIGNALED(status)) {
        result.ending = SpawnResult::Ending::signalled;
        result.code = WTERMSIG(status);
    } else {
        result.ending = SpawnResult::Ending::exited;
        result.code = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace platform
