#pragma once
// The writers' lock of a snippets folder, held as another process's stuck
// save would hold it.

#include "platform/WriterLock.h"
#include "quillmar/snippets/tests/support/HeldFileLock.h"

#include <QString>

namespace quillmar::testing {

class HeldLock : public HeldFileLock {
public:
    explicit HeldLock(const QString& folder) : HeldFileLock(platform::lockPathFor(folder.toStdString() + "/snippets"))
    {}
};

}  // namespace quillmar::testing
