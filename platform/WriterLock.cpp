#include "platform/WriterLock.h"

#include "platform/Log.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

struct Hold {
    std::thread::id owner;
    int depth = 0;
    int fd = -1;
};

// Only the nesting of one thread's holds lives here; between threads and
// processes, flock on separate descriptions does the excluding.
std::mutex& registryMutex()
{
    static std::mutex m;
    return m;
}

std::map<std::string, Hold>& registry()
{
    static std::map<std::string, Hold> holds;
    return holds;
}

std::string dirOf(const std::string& path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileError errorOf(int err, std::string description = {})
{
    FileError e;
    e.systemError = err;
    e.description = description.empty() ? std::strerror(err) : std::move(description);
    return e;
}

// Temporary files of crashed writers: "." + name + ".quillmar-tmp" and
// anything after it. A planted link is removed, never its target.
void removeLeftovers(const std::string& target)
{
    const std::string dir = dirOf(target);
    const std::string prefix = "." + baseOf(target) + kTemporaryMarker;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    const int dfd = ::dirfd(d);
    while (dirent* entry = ::readdir(d)) {
        std::string_view name(entry->d_name);
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        struct stat st {};
        if (::fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (::unlinkat(dfd, entry->d_name, 0) == 0)
            logInfo("file", "removed a temporary file a crashed save left: " + dir + "/" + std::string(name));
    }
    ::closedir(d);
}

}  // namespace

std::string lockPathFor(const std::string& target)
{
    std::string dir = dirOf(target);
    return (dir == "/" ? "/" : dir + "/") + "." + baseOf(target) + ".quillmar-lock";
}

std::optional<WriterLock> WriterLock::acquire(const std::string& path, FileError* error, std::chrono::milliseconds wait)
{
    FileError resolveError;
    auto target = resolveSymlinks(path, &resolveError);
    if (!target) {
        if (error)
            *error = resolveError;
        return std::nullopt;
    }
    {
        std::lock_guard guard(registryMutex());
        auto it = registry().find(*target);
        if (it != registry().end() && it->second.owner == std::this_thread::get_id()) {
            ++it->second.depth;
            WriterLock nested(*target);
            nested.owns_ = true;
            return nested;
        }
    }

    const std::string lockPath = lockPathFor(*target);
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = errorOf(errno);
        return std::nullopt;
    }
    // Polled, so that a writer stuck elsewhere costs this one a clear error
    // instead of a hang.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::microseconds(200);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            if (error)
                *error = err == EWOULDBLOCK ? errorOf(err, "another window kept it busy for too long") : errorOf(err);
            return std::nullopt;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
    {
        std::lock_guard guard(registryMutex());
        registry()[*target] = Hold{std::this_thread::get_id(), 1, fd};
    }
    removeLeftovers(*target);
    WriterLock lock(*target);
    lock.owns_ = true;
    return lock;
}

bool WriterLock::heldByThisThread(const std::string& path)
{
    auto target = resolveSymlinks(path);
    if (!target)
        return false;
    std::lock_guard guard(registryMutex());
    auto it = registry().find(*target);
    return it != registry().end() && it->second.owner == std::this_thread::get_id();
}

WriterLock::WriterLock(WriterLock&& other) noexcept : target_(std::move(other.target_)), owns_(other.owns_)
{
    other.owns_ = false;
}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept
{
    if (this != &other) {
        release();
        target_ = std::move(other.target_);
        owns_ = other.owns_;
        other.owns_ = false;
    }
    return *this;
}

WriterLock::~WriterLock()
{
    release();
}

void WriterLock::release()
{
    if (!owns_)
        return;
    owns_ = false;
    int fd = -1;
    {
        std::lock_guard guard(registryMutex());
        auto it = registry().find(target_);
        if (it == registry().end())
            return;
        if (--it->second.depth > 0)
            return;
        fd = it->second.fd;
        registry().erase(it);
    }
    // The lock file stays: removing it would let two writers lock two files.
    ::close(fd);
}

}  // namespace platform
