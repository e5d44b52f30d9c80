#include "ravelgrid/process/PseudoTerminalHelpers.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <utility>

namespace ravelgrid {

CStringArray::CStringArray(CStringArray&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), count_(std::exchange(other.count_, 0))
{}

CStringArray& CStringArray::operator=(CStringArray&& other) noexcept
{
    if (this != &other) {
        release();
        block_ = std::exchange(other.block_, nullptr);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

CStringArray::~CStringArray()
{
    release();
}

void CStringArray::release()
{
    if (!block_)
        return;
    for (std::size_t i = 0; i < count_; ++i)
        free(block_[i]);
    free(block_);
    block_ = nullptr;
    count_ = 0;
}

std::optional<CStringArray> PseudoTerminalHelpers::makeCStringArray(const std::vector<std::string>& strings)
{
    auto* block = static_cast<char**>(calloc(strings.size() + 1, sizeof(char*)));
    if (!block)
        return std::nullopt;
    CStringArray array;
    array.block_ = block;
    for (const auto& s : strings) {
        char* copy = strdup(s.c_str());
        if (!copy)
            return std::nullopt;  // the array frees what was made
        block[array.count_++] = copy;
    }
    block[array.count_] = nullptr;
    return array;
}

int PseudoTerminalHelpers::setWinSize(int masterPtyDescriptor, const winsize& windowSize)
{
    return ioctl(masterPtyDescriptor, TIOCSWINSZ, &windowSize);
}

AvailableBytes PseudoTerminalHelpers::availableBytes(int fd)
{
    int size = 0;
    AvailableBytes result;
    result.status = ioctl(fd, FIONREAD, &size);
    result.size = result.status < 0 ? 0 : size;
    return result;
}

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Runs in the forked child: only async-signal-safe calls, no allocation.
[[noreturn]] void execChild(int slave, const char* path, char* const* argv, char* const* envp, const char* dir,
                            int highestFd)
{
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    for (int target = 0; target <= 2; ++target) {
        if (slave != target)
            dup2(slave, target);
    }
    if (slave <= 2)
        fcntl(slave, F_SETFD, 0);
    // Nothing of the parent may leak into the child, whatever its flags.
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        for (int fd = 3; fd <= highestFd; ++fd)
            close(fd);
    }
    struct sigaction deflt;
    memset(&deflt, 0, sizeof deflt);
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    // The parent's handlers must not run here once signals are unblocked, and
    // a shell expects default dispositions whatever started this process
    // (a background job, for one, ignores SIGINT and SIGQUIT).
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &deflt, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dir) {
        if (chdir(dir) != 0) {
            // stays in the parent's directory
        }
    }
    execve(path, argv, envp);
    _exit(127);
}

int highestDescriptor()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 65535;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX) - 1);
}

}  // namespace

std::optional<PseudoTerminalStart>
PseudoTerminalHelpers::forkAndExec(const std::string& path, const std::vector<std::string>& args,
                                   const std::vector<std::string>& env,
                                   const std::optional<std::string>& currentDirectory, const winsize& desiredWindowSize)
{
    auto argv = makeCStringArray(args);
    if (!argv)
        return std::nullopt;
    auto envp = makeCStringArray(env);
    if (!envp)
        return std::nullopt;
    // Copies made before the fork: the child of a threaded process may not allocate.
    const std::string pathCopy = path;
    const std::optional<std::string> dirCopy = currentDirectory;
    const int highestFd = highestDescriptor();

    // Close-on-exec from the first moment, so a fork elsewhere in this
    // process cannot carry the master away.
    Descriptor master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0)
        return std::nullopt;
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        return std::nullopt;
    char slaveName[128];
    if (ptsname_r(master.get(), slaveName, sizeof slaveName) != 0)
        return std::nullopt;
    Descriptor slave(open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.get() < 0)
        return std::nullopt;
    ioctl(slave.get(), TIOCSWINSZ, &desiredWindowSize);

    // Signals stay blocked across the fork so that none reaches the child
    // before it has reset its handlers.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = fork();
    if (pid == 0) {
        execChild(slave.get(), pathCopy.c_str(), argv->data(), envp->data(), dirCopy ? dirCopy->c_str() : nullptr,
                  highestFd);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        return std::nullopt;
    const int flags = fcntl(master.get(), F_GETFL);
    if (flags >= 0)
        fcntl(master.get(), F_SETFL, flags | O_NONBLOCK);
    PseudoTerminalStart start;
    start.pid = pid;
    start.masterFd = master.release();
    return start;
}

}  // namespace ravelgrid
