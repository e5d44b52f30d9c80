#pragma once

#include "platform/NaturalOrder.h"
#include "platform/WriterLock.h"
#include "quillmar/snippets/Snippet.h"
#include "quillmar/snippets/SnippetError.h"
#include "quillmar/snippets/SnippetFileFormat.h"
#include "quillmar/snippets/SnippetImport.h"
#include "quillmar/snippets/SnippetVault.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// The user's snippets in memory and on disk. Every change is saved before it
// is kept: a change that can't be saved leaves the list as it was. While the
// file couldn't be opened (`loadError`), every change is refused. When
// another window saved the file since it was read, its list is taken and the
// change made again on it, by id, so neither loses the other's snippets.
class SnippetLibrary {
public:
    explicit SnippetLibrary(SnippetVault vault);

    // What a change or the first save says when another writer holds the
    // file's lock for longer than the lock wait; nothing is changed.
    static constexpr const char* kOtherWriterSaving = "Another quillmar window is saving the snippets; try again.";
    // How long a save waits for another writer's lock.
    void setLockWait(std::chrono::milliseconds wait) { lockWait_ = wait; }

    // Whether a load was asked for; the window sets it before it loads.
    bool loaded() const { return loaded_; }
    void setLoaded(bool loaded) { loaded_ = loaded; }
    const std::optional<std::string>& loadError() const { return loadError_; }
    const SnippetVault& vault() const { return vault_; }
    SnippetVault& vault() { return vault_; }

    // Goes up whenever the list is replaced, so observers can tell cheaply.
    std::uint64_t revision() const { return revision_; }
    // In stored order.
    const std::vector<Snippet>& all() const { return snippets_; }
    const Snippet* find(std::string_view id) const;
    // Distinct categories in the order they first occur.
    std::vector<std::string> categories() const;
    // The snippets of exactly this category, by title (stable for equal titles).
    std::vector<Snippet> snippets(std::string_view inCategory) const;

    // Reads the file; with no file at all, saves and uses the factory set.
    // Failures end up in `loadError`. Sets `loaded`.
    void load();
    // Whether the last load found no file and another writer held the lock
    // (`loadError` says so): loading again later may succeed.
    bool loadWaitsForWriter() const { return loadWaitsForWriter_; }

    // Takes the list another process saved since this one last read or wrote
    // the file; nothing when the file is as seen. Refused while not opened.
    SnippetStatus reloadIfChanged();

    // An empty id gets a new one; the id given is the snippet's.
    SnippetResult<std::string> add(Snippet snippet);
    SnippetStatus edit(const Snippet& snippet);
    SnippetStatus remove(std::string_view id);
    SnippetStatus resetToFactory();

    // Writes every snippet to `path`, encrypted under `passphrase`.
    SnippetStatus exportTo(const std::string& path, std::string_view passphrase,
                           std::uint32_t rounds = SnippetFileFormat::kExportRounds) const;
    // Reads and decrypts an export; changes nothing.
    SnippetResult<SnippetImportPlan> prepareImport(const std::string& path, std::string_view passphrase) const;
    SnippetResult<SnippetImportPlan> prepareImportFromData(std::string_view file, std::string_view passphrase) const;
    SnippetResult<SnippetImportOutcome> applyImport(const SnippetImportPlan& plan, SnippetImportChoice choice);

private:
    void readFile();
    SnippetStatus mayChange() const;
    // The list a change makes of the list it is given, or why it can't.
    using Change = std::function<SnippetResult<std::vector<Snippet>>(const std::vector<Snippet>&)>;
    SnippetStatus commit(const Change& change);
    // The list another window saved; failing that, the load error.
    SnippetStatus takeFileOnDisk();
    // The writers' lock of the snippets file, its folder made first;
    // `busy` tells another writer's lock from other failures.
    SnippetResult<platform::WriterLock> lockFile(bool& busy);

    SnippetVault vault_;
    platform::NaturalOrder order_;
    std::vector<Snippet> snippets_;
    std::optional<std::string> loadError_;
    std::chrono::milliseconds lockWait_ = platform::WriterLock::kDefaultWait;
    bool loadWaitsForWriter_ = false;
    bool loaded_ = false;
    bool opened_ = false;
    std::uint64_t revision_ = 0;
};

}  // namespace quillmar
