#pragma once
// The writers' lock of a snippets folder, held as another process's stuck
// save would hold it: on an open file description of its own.

#include "platform/WriterLock.h"

#include <QString>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillmar::testing {

class HeldLock {
public:
    explicit HeldLock(const QString& folder)
        : fd_(::open(platform::lockPathFor(folder.toStdString() + "/snippets").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                     0600))
    {
        held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() { release(); }
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
