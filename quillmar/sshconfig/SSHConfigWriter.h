#pragma once

#include "platform/WriterLock.h"
#include "quillmar/sshconfig/ConfigError.h"
#include "quillmar/sshconfig/HostEntry.h"
#include "quillmar/sshconfig/SSHConfigCheck.h"
#include "quillmar/sshconfig/SSHPaths.h"

#include <ctime>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// Creates and changes the user's OpenSSH files: validates and appends hosts
// to ~/.ssh/quillmar_config, puts the Include line at the top of
// ~/.ssh/config, backs files up and replaces them safely.
class SSHConfigWriter {
public:
    using WriteError = ConfigError;
    using Clock = std::function<std::time_t()>;

    // `clock` stamps backups; the wall clock when empty.
    explicit SSHConfigWriter(SSHPaths paths, Clock clock = {});

    const SSHPaths& paths() const { return paths_; }

    // The ssh that checks every planned text before it is written.
    void setSSHExecutable(std::string path) { sshExecutable_ = std::move(path); }

    // Whether ssh reads `newText`, the lines quillmar writes into the file at
    // `path`, alone; asked for `alias` when there is one; refuses with
    // "... Nothing was changed." otherwise.
    Status checkWithSSH(std::string_view newText, const std::string& path, std::string_view alias = {}) const;
    // Whether ssh reads the Include line of the own file, that file holding
    // `included` (the lines quillmar writes there), apart from the user's files.
    Status checkIncludeWithSSH(std::string_view included, std::string_view alias = {}) const;

    // Every edit holds the WriterLock of each file it writes from its read to
    // its rename. Several are taken in one fixed order (by lock file), so two
    // edits of the same files never wait on each other crosswise. `verb`
    // words the failure ("write", "delete").
    struct LockRequest {
        std::string path;
        const char* verb = "write";
    };
    Result<std::vector<platform::WriterLock>> lockFiles(const std::vector<LockRequest>& files) const;

    // Every problem with the entry, in field order; empty when it may be saved.
    std::vector<EntryProblem> problems(const HostEntry& entry, const std::set<std::string>& knownAliases) const;
    // The same problems in English sentences.
    std::vector<std::string> validate(const HostEntry& entry, const std::set<std::string>& knownAliases) const;

    // Whether an Include of quillmar_config stands above the first Host or
    // Match line of ~/.ssh/config. False when the file can't be read.
    bool includePresentAtTop() const;

    // Puts the Include block at the top of ~/.ssh/config, backing it up first.
    // The new config is checked with ssh, which reads quillmar_config as it is now.
    // Gives the backup's path, or none when there was no config yet.
    Result<std::optional<std::string>> addInclude() const;

    // Appends the entry's block to ~/.ssh/quillmar_config as it is now (no
    // backup); refuses an alias that is already there.
    Status appendHost(const HostEntry& entry) const;

    struct HostAdded {
        std::optional<std::string> ownBackup;     // the own file before the block
        std::optional<std::string> configBackup;  // ~/.ssh/config before the Include line
        bool includeAdded = false;
    };
    // The whole save of the Add host pane, under the locks of both files:
    // backs up the own file, appends the block to it as it is now and, when
    // the Include line is missing from ~/.ssh/config at that moment, puts it
    // in (the pane asks first when it sees it missing). All or nothing. An
    // alias in `knownAliases` or already in the own file is refused with the
    // validation's sentence.
    Result<HostAdded> addHost(const HostEntry& entry, const std::set<std::string>& knownAliases = {}) const;

    static std::string renderHostBlock(const HostEntry& entry);

    // A value as it must be written so that OpenSSH reads it back unchanged:
    // in double quotes when it holds white space or an apostrophe or starts
    // with "#". Values with double quotes, backslashes or control characters
    // can't be written safely; validation refuses them.
    static std::string quoteValue(const std::string& value);
    static bool isWritableValue(std::string_view value);

    // Copies a file into the backups folder; gives the copy's path.
    Result<std::string> backup(const std::string& path) const;
    // A copy of `bytes` (the file as an edit read it) in the backups folder,
    // named after `path`, so the copy is exactly what the edit replaces.
    Result<std::string> backupBytes(const std::string& path, std::string_view bytes) const;

    // Every change to an existing file goes through here. Writes `newText` to
    // `path` only while the file still holds exactly `expected` (absent: only
    // while there is no file), compared again just before the new file takes
    // its place; otherwise fails with "... Nothing was changed." `afterPreview`
    // words the message for an edit the user confirmed from a preview.
    Status replaceIfUnchanged(const std::string& path, std::optional<std::string_view> expected,
                              std::string_view newText, bool afterPreview = true) const;
    // A backup of `expected`, then replaceIfUnchanged; when nothing was
    // changed the backup is taken away again. Gives the backup's path.
    Result<std::string> backupAndReplace(const std::string& path, std::string_view expected,
                                         std::string_view newText) const;
    // Deletes `path` only while it still holds exactly `expected`.
    Status removeIfUnchanged(const std::string& path, std::string_view expected) const;
    void pruneBackups(const std::string& prefix) const;

    Status writeAtomically(std::string_view text, const std::string& path) const;
    Status writeSSHConfig(std::string_view text) const;
    Status ensureSSHDirectory() const;

    // Reads a file that is about to be rewritten: it must be a regular file of
    // bounded size holding UTF-8 text, or we refuse to touch it.
    Result<std::string> readForEdit(const std::string& path) const;

    static constexpr std::size_t kBackupsKept = 20;
    static const char* const kIncludeComment;
    static const char* const kIncludeLine;
    static const char* const kOwnFileHeader;

private:
    std::string stampNow() const;
    // The own file's text with the entry's block appended; `old` is the file
    // as read under its lock (none: no file yet).
    Result<std::string> planAppend(const HostEntry& entry, const std::optional<std::string>& old,
                                   const std::set<std::string>& knownAliases) const;
    Result<std::optional<std::string>> readIfPresent(const std::string& path) const;
    std::string includeText(const std::optional<std::string>& old) const;
    Result<std::string> makeBackup(const std::string& path, std::string_view bytes, bool prune) const;

    SSHPaths paths_;
    Clock clock_;
    std::string sshExecutable_ = SSHConfigCheck::kDefaultSSH;
};

}  // namespace quillmar
