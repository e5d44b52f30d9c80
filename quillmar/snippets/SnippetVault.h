#pragma once

#include "platform/Crypto.h"
#include "quillmar/snippets/Snippet.h"
#include "quillmar/snippets/SnippetError.h"
#include "quillmar/snippets/SnippetKeySource.h"
#include "quillmar/snippets/SnippetPaths.h"

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmar {

// The snippets file on disk: reads and decrypts it, and writes it sealed
// under the key from the key source, backing the old file up first. Nothing
// is ever written in plain text, a file that couldn't be opened is never
// written over, and neither is one that changed since it was last read or
// written (another window saved it).
class SnippetVault {
public:
    using Clock = std::function<std::time_t()>;

    // `clock` stamps backups; the wall clock when empty.
    SnippetVault(SnippetPaths paths, std::unique_ptr<SnippetKeySource> keys, Clock clock = {});

    const SnippetPaths& paths() const { return paths_; }

    struct Contents {
        bool fileExisted = false;
        std::vector<Snippet> snippets;
    };
    SnippetResult<Contents> load();

    enum class SaveOutcome {
        written,
        // The file isn't the one last read or written; nothing was written.
        // `load` it again and redo the change on what it holds.
        fileChanged,
    };
    // Allowed only after a load that found no file or opened it. Makes the
    // key when there is none yet.
    SnippetResult<SaveOutcome> save(std::span<const Snippet> snippets);

    // The key to open the file with (`forOpening`), or to save a new file
    // with, made anew when the source has none; a failure carries the
    // sentence `load` or `save` would give. Waits as long as the source does.
    static SnippetResult<platform::SymmetricKey> fetchKey(SnippetKeySource& keys, bool forOpening);
    // "Your snippets can't be opened." (or "saved.") and `why`, keeping how
    // the keyring stood.
    static SnippetError keyFailure(bool forOpening, const std::string& why);
    static SnippetError keyFailure(bool forOpening, const SnippetError& why);
    // What `fetchKey` gave on another thread: load and save use it instead
    // of asking the key source, a failure too.
    void setFetchedKey(SnippetResult<platform::SymmetricKey> fetched);
    bool hasKey() const { return key_.has_value(); }
    // Whether a key to save with is known or can be had (as `save` would get it).
    SnippetStatus keyForSaving();
    const std::shared_ptr<SnippetKeySource>& keySource() const { return keys_; }

    static constexpr std::size_t kBackupsKept = 20;

    // Whether the file holds what was last read or written (no file: none seen).
    bool onDiskAsSeen() const;

private:
    // The key known, fetched before, or fetched now.
    SnippetResult<platform::SymmetricKey> knownKey(bool forOpening);
    // Links the file into the backups, or keeps `bytes` there when given.
    SnippetStatus backUp(const std::string* bytes = nullptr);
    void pruneBackups() const;
    std::string stampNow() const;

    SnippetPaths paths_;
    std::shared_ptr<SnippetKeySource> keys_;
    Clock clock_;
    std::optional<platform::SymmetricKey> key_;
    std::optional<SnippetError> keyError_;  // a fetched failure, until the next fetch
    // The file's bytes as last read or written; none when there was no file.
    std::optional<std::string> seen_;
    bool mayWrite_ = false;
};

}  // namespace quillmar
