#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Why a bounded read failed. `systemError` is the errno value when there is one.
struct FileReadError {
    enum class Kind { notFound, notRegular, tooLarge, io };
    Kind kind = Kind::io;
    int systemError = 0;
    std::size_t limit = 0;

    // A short sentence fragment for the user ("No such file or directory").
    std::string description() const;
};

struct FileReadResult {
    std::string data;
    std::optional<FileReadError> error;
    // Identity of the file read, for telling two paths to one file apart.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Permission bits of the file read (st_mode & 07777).
    std::uint32_t mode = 0;

    bool ok() const { return !error.has_value(); }
};

// Reads a whole regular file of at most `maxBytes` bytes. FIFOs, devices,
// sockets and directories are refused without blocking: the path is checked
// before it is opened, opened non-blocking, and checked again on the
// descriptor. Symbolic links are followed.
FileReadResult readRegularFile(const std::string& path, std::size_t maxBytes);

// The same checks, but reads only the first `maxBytes` bytes of a file of
// any size (enough to tell what kind of file it is).
FileReadResult readRegularFileHead(const std::string& path, std::size_t maxBytes);

}  // namespace platform
