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
// is ever written in plain text, and a file that couldn't be opened is never
// written over.
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

    // Allowed only after a load that found no file or opened it. Makes the
    // key when there is none yet.
    SnippetStatus save(std::span<const Snippet> snippets);

    static constexpr std::size_t kBackupsKept = 20;

private:
    SnippetResult<platform::SymmetricKey> keyForSaving();
    SnippetStatus backUpCurrentFile();
    void pruneBackups() const;
    std::string stampNow() const;

    SnippetPaths paths_;
    std::unique_ptr<SnippetKeySource> keys_;
    Clock clock_;
    std::optional<platform::SymmetricKey> key_;
    bool mayWrite_ = false;
};

}  // namespace quillmar
