#include "platform/SafeFile.h"

#include "platform/Log.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

FileError errorFrom(int err) { return FileError{err, std::strerror(err)}; }

std::string dirName(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report a deferred write error, so callers check it.
    int release() {
        int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

int writeAll(int fd, std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

int syncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    // Some file systems cannot sync a directory; the rename itself has happened.
    if (rc == EINVAL || rc == EROFS) rc = 0;
    return rc;
}

// Writes `data` to a new file at `path` created with O_EXCL and O_NOFOLLOW so
// that nothing planted there (a link to elsewhere) is ever written through.
int writeNewFile(const std::string& path, std::string_view data, mode_t mode, const struct stat* owner) {
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (raw < 0) return errno;
    Fd fd(raw);
    int err = 0;
    if (owner && ::geteuid() == 0) {
        // Best effort: root editing someone's file must not leave it owned by root.
        (void)!::fchown(fd.get(), owner->st_uid, owner->st_gid);
    }
    if (::fchmod(fd.get(), mode) != 0) err = errno;
    if (!err) err = writeAll(fd.get(), data);
    if (!err && ::fsync(fd.get()) != 0) err = errno;
    if (fd.release() != 0 && !err) err = errno;
    if (err) ::unlink(path.c_str());
    return err;
}

}  // namespace

std::string temporaryPathFor(const std::string& target, const std::string& tempSuffix) {
    std::string dir = dirName(target);
    std::string prefix = dir == "/" ? "/" : dir + "/";
    return prefix + "." + baseName(target) + tempSuffix;
}

std::optional<std::string> resolveSymlinks(const std::string& path, FileError* error) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT) return current;  // a new file, or a dangling link's target
            if (error) *error = errorFrom(errno);
            return std::nullopt;
        }
        if (!S_ISLNK(st.st_mode)) return current;
        char buf[PATH_MAX];
        ssize_t n = ::readlink(current.c_str(), buf, sizeof buf);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) {
            if (error) *error = errorFrom(n < 0 ? errno : ENAMETOOLONG);
            return std::nullopt;
        }
        std::string link(buf, static_cast<std::size_t>(n));
        if (link.empty()) {
            if (error) *error = errorFrom(ENOENT);
            return std::nullopt;
        }
        if (link.front() == '/') {
            current = link;
        } else {
            std::string dir = dirName(current);
            current = (dir == "/" ? "/" : dir + "/") + link;
        }
    }
    if (error) *error = errorFrom(ELOOP);
    return std::nullopt;
}

std::optional<FileError> replaceFileAtomically(const std::string& path, std::string_view data,
                                               const SafeWriteOptions& options) {
    FileError resolveError;
    auto target = resolveSymlinks(path, &resolveError);
    if (!target) return resolveError;

    struct stat old {};
    bool exists = ::stat(target->c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) return errorFrom(EISDIR);
    mode_t mode = exists ? (old.st_mode & 07777) : options.modeWhenNew;

    std::string temp = temporaryPathFor(*target, options.tempSuffix);
    int err = writeNewFile(temp, data, mode, exists ? &old : nullptr);
    if (err == EEXIST) {
        // Left over from a crash. unlink removes a planted link, never its target.
        struct stat leftover {};
        if (::lstat(temp.c_str(), &leftover) == 0 && !S_ISDIR(leftover.st_mode) && ::unlink(temp.c_str()) == 0)
            err = writeNewFile(temp, data, mode, exists ? &old : nullptr);
    }
    if (err) return errorFrom(err);

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

std::optional<FileError> createFileExclusively(const std::string& path, std::string_view data, mode_t mode) {
    if (int err = writeNewFile(path, data, mode, nullptr)) return errorFrom(err);
    if (int err = syncDirectory(dirName(path)))
        logWarning("file", "couldn't sync the folder of " + path + ": " + std::strerror(err));
    return std::nullopt;
}

}  // namespace platform
