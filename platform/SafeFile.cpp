#include "platform/SafeFile.h"

#include "platform/Log.h"
#include "platform/WriterLock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

int syncDirectory(const std::string& dir);

namespace {

FileError errorFrom(int err)
{
    FileError e;
    e.systemError = err;
    e.description = std::strerror(err);
    return e;
}

std::string dirName(const std::string& path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report a deferred write error, so callers check it.
    int release()
    {
        int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

int writeAll(int fd, std::string_view data)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Writes `data` to a new file at `path` created with O_EXCL and O_NOFOLLOW so
// that nothing planted there (a link to elsewhere) is ever written through.
int writeNewFile(const std::string& path, std::string_view data, mode_t mode, const struct stat* owner)
{
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (raw < 0)
        return errno;
    Fd fd(raw);
    int err = 0;
    if (owner && ::geteuid() == 0) {
        // Best effort: root editing someone's file must not leave it owned by root.
        (void)!::fchown(fd.get(), owner->st_uid, owner->st_gid);
    }
    if (::fchmod(fd.get(), mode) != 0)
        err = errno;
    if (!err)
        err = writeAll(fd.get(), data);
    if (!err && ::fsync(fd.get()) != 0)
        err = errno;
    if (fd.release() != 0 && !err)
        err = errno;
    if (err)
        ::unlink(path.c_str());
    return err;
}

// Writes `data` to a new temporary file of a name no other writer uses, so
// that two saves never take each other's file for a crash leftover.
int writeTemporaryFile(const std::string& target, const std::string& suffix, std::string_view data, mode_t mode,
                       const struct stat* owner, std::string& path)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const std::string dir = dirName(target);
    const std::string stem = (dir == "/" ? "/" : dir + "/") + "." + baseName(target) + suffix + ".";
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[8]{};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return errno ? errno : EIO;
        path = stem;
        for (unsigned char r : random)
            path += kLetters[r % (sizeof kLetters - 1)];
        int err = writeNewFile(path, data, mode, owner);
        if (err != EEXIST)
            return err;
    }
    return EEXIST;
}

FileError changedError()
{
    FileError e;
    e.description = "it changed on disk";
    e.changed = true;
    return e;
}

// Up to `limit` bytes of the file from its start; false on a read error.
bool readPrefix(int fd, std::size_t limit, std::string& out)
{
    out.assign(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        ssize_t n = ::pread(fd, out.data() + got, limit - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

// Whether the open file holds exactly `expected`: one byte more is read to
// notice what was added.
bool holdsExactly(int fd, std::string_view expected)
{
    std::string now;
    return readPrefix(fd, expected.size() + 1, now) && now == expected;
}

bool sameFile(int fd, const std::string& path)
{
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The whole current content of an open file, bounded by what a config may hold.
std::string readAllBounded(int fd)
{
    std::string out;
    readPrefix(fd, 64u * 1024 * 1024, out);
    return out;
}

// A writer that opened the old file just before it was replaced may still be
// writing into it; this is how long we watch for that.
constexpr useconds_t kSettleMicros = 2000;

}  // namespace

std::optional<std::string> resolveSymlinks(const std::string& path, FileError* error)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return current;  // a new file, or a dangling link's target
            if (error)
                *error = errorFrom(errno);
            return std::nullopt;
        }
        if (!S_ISLNK(st.st_mode))
            return current;
        char buf[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), buf, sizeof buf);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) {
            if (error)
                *error = errorFrom(n < 0 ? errno : ENAMETOOLONG);
            return std::nullopt;
        }
        std::string link(buf, static_cast<std::size_t>(n));
        if (link.empty()) {
            if (error)
                *error = errorFrom(ENOENT);
            return std::nullopt;
        }
        if (link.front() == '/') {
            current = link;
        } else {
            std::string dir = dirName(current);
            current = (dir == "/" ? "/" : dir + "/") + link;
        }
    }
    if (error)
        *error = errorFrom(ELOOP);
    return std::nullopt;
}

std::optional<FileError> replaceFileAtomically(const std::string& path, std::string_view data,
                                               const SafeWriteOptions& options)
{
    FileError resolveError;
    auto target = resolveSymlinks(path, &resolveError);
    if (!target)
        return resolveError;
    std::optional<WriterLock> lock;
    if (options.lockTarget) {
        FileError lockError;
        lock = WriterLock::acquire(*target, &lockError);
        if (!lock)
            return lockError;
    }

    struct stat old {};
    bool exists = ::stat(target->c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode))
        return errorFrom(EISDIR);
    mode_t mode = exists ? (old.st_mode & 07777) : options.modeWhenNew;

    std::string temp;
    if (int err = writeTemporaryFile(*target, options.tempSuffix, data, mode, exists ? &old : nullptr, temp))
        return errorFrom(err);

    if (::rename(temp.c_str(), target->c_str()) != 0) {
        int renameErr = errno;
        ::unlink(temp.c_str());
        return errorFrom(renameErr);
    }
    // The new file is in place; a failed directory sync only weakens crash safety.
    if (int syncErr = syncDirectory(dirName(*target)))
        logWarning("file", "couldn't sync the folder of " + *target + ": " + std::strerror(syncErr));
    return std::nullopt;
}

std::optional<FileError> replaceFileIfUnchanged(const std::string& path, std::optional<std::string_view> expected,
                                                std::string_view data, const SafeWriteOptions& options)
{
    FileError resolveError;
    auto target = resolveSymlinks(path, &resolveError);
    if (!target)
        return resolveError;
    FileError lockError;
    auto lock = WriterLock::acquire(*target, &lockError);
    if (!lock)
        return lockError;

    // The old file stays open: it is compared through this descriptor up to
    // the moment it is replaced, and watched just after.
    std::optional<Fd> old;
    struct stat oldStat {};
    if (expected) {
        int raw = ::open(target->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (raw < 0)
            return errno == ENOENT ? changedError() : errorFrom(errno);
        old.emplace(raw);
        if (::fstat(raw, &oldStat) != 0)
            return errorFrom(errno);
        if (S_ISDIR(oldStat.st_mode))
            return errorFrom(EISDIR);
        if (!S_ISREG(oldStat.st_mode))
            return errorFrom(EINVAL);
        if (!holdsExactly(raw, *expected))
            return changedError();
    } else {
        struct stat st {};
        if (::lstat(target->c_str(), &st) == 0)
            return changedError();
        if (errno != ENOENT)
            return errorFrom(errno);
    }
    const mode_t mode = expected ? (oldStat.st_mode & 07777) : options.modeWhenNew;

    std::string temp;
    if (int err = writeTemporaryFile(*target, options.tempSuffix, data, mode, expected ? &oldStat : nullptr, temp))
        return errorFrom(err);

    if (!expected) {
        // Never over a file that appeared meanwhile.
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target->c_str(), RENAME_NOREPLACE) != 0) {
            int renameErr = errno;
            if (renameErr == EINVAL || renameErr == ENOSYS) {
                renameErr = ::link(temp.c_str(), target->c_str()) == 0 ? 0 : errno;
            }
            ::unlink(temp.c_str());
            if (renameErr == EEXIST)
                return changedError();
            if (renameErr)
                return errorFrom(renameErr);
        }
        if (int syncErr = syncDirectory(dirName(*target)))
            logWarning("file", "couldn't sync the folder of " + *target + ": " + std::strerror(syncErr));
        return std::nullopt;
    }

    // Last look, immediately before the rename.
    if (!sameFile(old->get(), *target) || !holdsExactly(old->get(), *expected)) {
        ::unlink(temp.c_str());
        return changedError();
    }
    struct stat fresh {};
    ::stat(temp.c_str(), &fresh);
    if (::rename(temp.c_str(), target->c_str()) != 0) {
        int renameErr = errno;
        ::unlink(temp.c_str());
        return errorFrom(renameErr);
    }
    if (int syncErr = syncDirectory(dirName(*target)))
        logWarning("file", "couldn't sync the folder of " + *target + ": " + std::strerror(syncErr));

    // A writer that opened the old file before the rename writes into it
    // after: those bytes would be in neither file.
    bool intact = holdsExactly(old->get(), *expected);
    if (intact) {
        ::usleep(kSettleMicros);
        intact = holdsExactly(old->get(), *expected);
    }
    if (intact)
        return std::nullopt;

    // Undo: the old file's bytes go back, as long as the new file is still ours.
    std::string replaced = readAllBounded(old->get());
    struct stat now {};
    bool ours = ::stat(target->c_str(), &now) == 0 && now.st_dev == fresh.st_dev && now.st_ino == fresh.st_ino;
    if (ours) {
        int rawNew = ::open(target->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (rawNew >= 0) {
            Fd newFd(rawNew);
            ours = holdsExactly(newFd.get(), data);
        } else {
            ours = false;
        }
    }
    if (ours && !replaceFileAtomically(*target, replaced, options))
        return changedError();
    logError("file", "changed while it was replaced, and could not be put back: " + *target);
    FileError e = changedError();
    e.replaced = std::move(replaced);
    return e;
}

std::optional<FileError> removeFileIfUnchanged(const std::string& path, std::string_view expected)
{
    FileError lockError;
    auto lock = WriterLock::acquire(path, &lockError);
    if (!lock)
        return lockError;
    int raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (raw < 0)
        return errno == ENOENT ? changedError() : errorFrom(errno);
    Fd old(raw);
    struct stat st {};
    if (::fstat(raw, &st) != 0)
        return errorFrom(errno);
    if (!S_ISREG(st.st_mode))
        return errorFrom(EINVAL);
    if (!sameFile(raw, path) || !holdsExactly(raw, expected))
        return changedError();
    if (::unlink(path.c_str()) != 0)
        return errorFrom(errno);
    bool intact = holdsExactly(raw, expected);
    if (intact) {
        ::usleep(kSettleMicros);
        intact = holdsExactly(raw, expected);
    }
    if (intact)
        return std::nullopt;
    std::string replaced = readAllBounded(raw);
    if (!createFileExclusively(path, replaced, st.st_mode & 07777))
        return changedError();
    logError("file", "changed while it was deleted, and could not be put back: " + path);
    FileError e = changedError();
    e.replaced = std::move(replaced);
    return e;
}

std::optional<FileError> createFileExclusively(const std::string& path, std::string_view data, mode_t mode)
{
    if (int err = writeNewFile(path, data, mode, nullptr))
        return errorFrom(err);
    if (int err = syncDirectory(dirName(path)))
        logWarning("file", "couldn't sync the folder of " + path + ": " + std::strerror(err));
    return std::nullopt;
}

int syncDirectory(const std::string& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // Some file systems cannot sync a directory; the rename itself has happened.
    if (rc == EINVAL || rc == EROFS)
        rc = 0;
    return rc;
}

bool somethingAt(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int makeDirectories(const std::string& path, mode_t mode)
{
    if (path.empty() || somethingAt(path))
        return 0;
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        if (int err = makeDirectories(path.substr(0, slash), mode))
            return err;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return errno;
    ::chmod(path.c_str(), mode);  // mkdir's mode passes through the umask
    return 0;
}

}  // namespace platform
