#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform {

struct FileError {
    int systemError = 0;
    std::string description;  // strerror text, or our own sentence fragment
    // The file did not hold the bytes the caller planned from, so nothing was
    // changed (or the change was undone).
    bool changed = false;
    // Set only when the file changed under a replacement in a way that could
    // not be undone: the bytes that were replaced, for the caller to keep.
    std::optional<std::string> replaced;
};

// What every temporary file beside a target carries after "." + its name.
inline constexpr const char* kTemporaryMarker = ".quillmar-tmp";

struct SafeWriteOptions {
    // Mode of a file that did not exist before.
    mode_t modeWhenNew = 0600;
    // The temporary file is "." + the target's name + this suffix + a random
    // part, beside the target.
    std::string tempSuffix = kTemporaryMarker;
    // Whether to hold the target's WriterLock. A file made for the user to
    // take elsewhere (an export) has no other writer to wait for, and its
    // lock file would stay beside it for good.
    bool lockTarget = true;
};

// Follows symbolic links from `path` to the path of the file they end at;
// that file need not exist. Gives `path` itself when it is no link.
std::optional<std::string> resolveSymlinks(const std::string& path, FileError* error = nullptr);

// The replacing and removing functions below hold the target's WriterLock
// while they work (nested when the caller holds it already) unless told not
// to (lockTarget), and each write goes through a temporary file of its own
// name.

// Replaces the file at `path` with `data` so that a reader sees either the old
// or the new file, never a mix, and a crash leaves the old one. When `path` is
// a symbolic link the file it points to is replaced and the link stays. The
// new file gets the old file's mode (and owner, when we may set it). On any
// failure the target is untouched and no temporary file is left behind.
std::optional<FileError> replaceFileAtomically(const std::string& path, std::string_view data,
                                               const SafeWriteOptions& options = {});

// As replaceFileAtomically, but only while the file holds exactly `expected`
// (with `expected` absent: only while there is no file). The file is compared
// when the new text is written and again just before it takes the old one's
// place; a difference fails with `changed` and leaves the file as it is. Bytes
// that reach the old file in the moment of the replacement undo it.
std::optional<FileError> replaceFileIfUnchanged(const std::string& path, std::optional<std::string_view> expected,
                                                std::string_view data, const SafeWriteOptions& options = {});

// Deletes the file at `path` only while it holds exactly `expected`; bytes
// that reach it in the moment of the deletion put it back.
std::optional<FileError> removeFileIfUnchanged(const std::string& path, std::string_view expected);

// Creates `path`, which must not exist yet (not even as a dangling link), with
// `mode` and `data`, and flushes it to disk. Fails with EEXIST when something
// is there. A partly written file is removed again.
std::optional<FileError> createFileExclusively(const std::string& path, std::string_view data, mode_t mode);

// Whether anything, a dangling link too, is at `path`.
bool somethingAt(const std::string& path);

// mkdir -p where every folder it makes gets `mode`, whatever the umask.
// 0, or the errno of the step that failed.
int makeDirectories(const std::string& path, mode_t mode);

// Flushes a directory's entries (a rename, a new file) to disk. 0, or an
// errno; file systems that cannot sync a directory count as done.
int syncDirectory(const std::string& dir);

}  // namespace platform
