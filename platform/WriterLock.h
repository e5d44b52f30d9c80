#pragma once

#include "platform/SafeFile.h"

#include <chrono>
#include <optional>
#include <string>

namespace platform {

// Serialises the writers of one file, across processes and threads: an
// advisory lock (flock) on a lock file beside the target, "." + name +
// ".quillmar-lock", never on the target itself, which ssh and editors read.
// Hold it across read, check, merge and rename, so that a change planned from
// what was read cannot be overtaken by another writer's.
//
// A thread that already holds the lock of a target gets a nested hold, so
// the file functions that take the lock themselves can be called under it.
// While the outermost hold is taken, temporary files left beside the target
// by a writer that crashed are removed: every writer makes its temporary file
// only under the lock, so none of them can be in use.
class WriterLock {
public:
    // Waits up to `wait` for the lock of the file `target` (symbolic links
    // followed, as the writers follow them). Fails with EWOULDBLOCK when the
    // time runs out, or with the error of making or opening the lock file.
    static std::optional<WriterLock> acquire(const std::string& target, FileError* error = nullptr,
                                             std::chrono::milliseconds wait = kDefaultWait);

    static constexpr std::chrono::milliseconds kDefaultWait{10000};

    WriterLock(WriterLock&& other) noexcept;
    WriterLock& operator=(WriterLock&& other) noexcept;
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;
    ~WriterLock();

    // The file the lock is for, links followed.
    const std::string& target() const { return target_; }

    // Whether the calling thread holds the lock of `target` (links followed).
    static bool heldByThisThread(const std::string& target);

private:
    explicit WriterLock(std::string target) : target_(std::move(target)) {}
    void release();

    std::string target_;
    bool owns_ = false;
};

// The lock file of `target` (after symbolic links are followed).
std::string lockPathFor(const std::string& target);

}  // namespace platform
