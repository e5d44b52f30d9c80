#include "platform/FileRead.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string FileReadError::description() const
{
    switch (kind) {
    case Kind::notFound: return std::strerror(systemError ? systemError : ENOENT);
    case Kind::notRegular: return "not a regular file";
    case Kind::tooLarge: return "the file is larger than " + std::to_string(limit) + " bytes";
    case Kind::io: return std::strerror(systemError ? systemError : EIO);
    }
    return "unknown error";
}

namespace {

FileReadResult failure(FileReadError::Kind kind, int err, std::size_t limit = 0)
{
    FileReadResult r;
    r.error = FileReadError{kind, err, limit};
    return r;
}

FileReadResult fromErrno(int err)
{
    if (err == ENOENT || err == ENOTDIR)
        return failure(FileReadError::Kind::notFound, err);
    return failure(FileReadError::Kind::io, err);
}

// A descriptor of a regular file, or why there is none.
struct OpenedFile {
    int fd = -1;
    struct stat st {};
    std::optional<FileReadResult> failed;
    ~OpenedFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

void openRegular(const std::string& path, OpenedFile& file)
{
    struct stat& st = file.st;
    // Checking first keeps us from ever opening a device, whose open alone may act.
    if (::stat(path.c_str(), &st) != 0) {
        file.failed = fromErrno(errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        file.failed = failure(FileReadError::Kind::notRegular, 0);
        return;
    }
    file.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file.fd < 0) {
        file.failed = fromErrno(errno);
        return;
    }
    // The path may have been swapped between stat and open.
    if (::fstat(file.fd, &st) != 0)
        file.failed = fromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        file.failed = failure(FileReadError::Kind::notRegular, 0);
}

FileReadResult described(const struct stat& st)
{
    FileReadResult result;
    result.device = static_cast<std::uint64_t>(st.st_dev);
    result.inode = static_cast<std::uint64_t>(st.st_ino);
    result.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    return result;
}

}  // namespace

FileReadResult readRegularFile(const std::string& path, std::size_t maxBytes)
{
    OpenedFile file;
    openRegular(path, file);
    if (file.failed)
        return std::move(*file.failed);
    const int fd = file.fd;
    const struct stat& st = file.st;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes)
        return failure(FileReadError::Kind::tooLarge, 0, maxBytes);

    FileReadResult result = described(st);
    result.data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    char extra[4096];
    for (;;) {
        // The file may grow while we read; read one byte past the cap to notice.
        char* dst;
        std::size_t room;
        if (used < result.data.size()) {
            dst = result.data.data() + used;
            room = result.data.size() - used;
        } else {
            dst = extra;
            room = sizeof extra;
        }
        ssize_t n = ::read(fd, dst, room);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fromErrno(errno);
        }
        if (n == 0)
            break;
        if (dst == extra) {
            if (used + static_cast<std::size_t>(n) > maxBytes)
                return failure(FileReadError::Kind::tooLarge, 0, maxBytes);
            result.data.append(extra, static_cast<std::size_t>(n));
        }
        used += static_cast<std::size_t>(n);
    }
    result.data.resize(used);
    return result;
}

FileReadResult readRegularFileHead(const std::string& path, std::size_t maxBytes)
{
    OpenedFile file;
    openRegular(path, file);
    if (file.failed)
        return std::move(*file.failed);
    FileReadResult result = described(file.st);
    result.data.resize(maxBytes);
    std::size_t used = 0;
    while (used < maxBytes) {
        const ssize_t n = ::read(file.fd, result.data.data() + used, maxBytes - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fromErrno(errno);
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    result.data.resize(used);
    return result;
}

}  // namespace platform
