#pragma once
// A lock file held (flock) as another process holds it: on an open file
// description of its own.

#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillmar::testing {

class HeldFileLock {
public:
    explicit HeldFileLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    HeldFileLock(const HeldFileLock&) = delete;
    HeldFileLock& operator=(const HeldFileLock&) = delete;
    ~HeldFileLock() { release(); }
    bool held() const { return held_; }
    void release()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    bool held_ = false;
};

}  // namespace quillmar::testing
