#include "quillmar/snippets/SnippetLibrary.h"

#include "platform/FileRead.h"
#include "platform/SafeFile.h"
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/SnippetJson.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unordered_set>

namespace quillmar {
namespace {

constexpr const char* kNothingChanged = " Nothing was changed.";

// How often a save is redone on another window's newer file before giving up.
constexpr int kSaveAttempts = 5;

SnippetError unchanged(const SnippetError& error)
{
    return SnippetError{error.message + kNothingChanged};
}
SnippetError refused(const char* sentence)
{
    return SnippetError{sentence + std::string(kNothingChanged)};
}

auto sameId(const std::string& id)
{
    return [&id](const Snippet& s) { return s.id == id; };
}

}  // namespace

SnippetLibrary::SnippetLibrary(SnippetVault vault) : vault_(std::move(vault))
{}

const Snippet* SnippetLibrary::find(std::string_view id) const
{
    auto normal = normalizedSnippetId(id);
    if (!normal)
        return nullptr;
    auto it = std::find_if(snippets_.begin(), snippets_.end(), [&](const Snippet& s) { return s.id == *normal; });
    return it == snippets_.end() ? nullptr : &*it;
}

std::vector<std::string> SnippetLibrary::categories() const
{
    std::vector<std::string> names;
    std::unordered_set<std::string_view> seen;
    for (const Snippet& s : snippets_)
        if (seen.insert(s.category).second)
            names.push_back(s.category);
    return names;
}

std::vector<Snippet> SnippetLibrary::snippets(std::string_view inCategory) const
{
    std::vector<Snippet> list;
    for (const Snippet& s : snippets_)
        if (s.category == inCategory)
            list.push_back(s);
    std::stable_sort(list.begin(), list.end(),
                     [this](const Snippet& a, const Snippet& b) { return order_.compare(a.title, b.title) < 0; });
    return list;
}

void SnippetLibrary::load()
{
    loaded_ = true;
    opened_ = false;
    std::vector<Snippet> previous = std::move(snippets_);
    snippets_.clear();
    readFile();
    if (snippets_ != previous)
        ++revision_;
}

SnippetResult<platform::WriterLock> SnippetLibrary::lockFile(bool& busy)
{
    busy = false;
    const SnippetPaths& paths = vault_.paths();
    if (int err = platform::makeDirectories(paths.dataDirectory(), 0700))
        return SnippetError{"Couldn't make the folder " + paths.dataDirectory() + ": " + std::strerror(err) + "."};
    platform::FileError error;
    auto lock = platform::WriterLock::acquire(paths.snippetsFile(), &error, lockWait_);
    if (!lock) {
        busy = error.systemError == EWOULDBLOCK;
        if (busy)
            return SnippetError{kOtherWriterSaving};
        return SnippetError{"Couldn't write the snippets file: " + error.description + "."};
    }
    return std::move(*lock);
}

void SnippetLibrary::readFile()
{
    loadWaitsForWriter_ = false;
    auto contents = vault_.load();
    if (contents && !contents.value().fileExisted) {
        // Only when there is no file at all: never in place of one we couldn't read.
        // Without a key nothing is made, not even the folder.
        if (auto key = vault_.keyForSaving(); !key) {
            loadError_ = key.error().message;
            return;
        }
        bool busy = false;
        auto lock = lockFile(busy);
        if (!lock) {
            loadError_ = lock.error().message;
            loadWaitsForWriter_ = busy;
            return;
        }
        std::vector<Snippet> factory = factorySnippets();
        auto saved = vault_.save(factory);
        if (!saved) {
            loadError_ = saved.error().message;
            return;
        }
        if (saved.value() == SnippetVault::SaveOutcome::written)
            contents.value().snippets = std::move(factory);
        else
            contents = vault_.load();  // another window made the file first
    }
    if (!contents) {
        loadError_ = contents.error().message;
        return;
    }
    snippets_ = std::move(contents.value().snippets);
    loadError_.reset();
    opened_ = true;
}

SnippetStatus SnippetLibrary::mayChange() const
{
    if (loadError_)
        return SnippetError{"Your snippets couldn't be opened, so no change can be saved." +
                            std::string(kNothingChanged)};
    if (!opened_)
        return SnippetError{"Your snippets haven't been loaded yet." + std::string(kNothingChanged)};
    return SnippetDone{};
}

SnippetStatus SnippetLibrary::commit(const Change& change)
{
    // Held from the look at the file to the rename, so that another
    // process's save can't come between the two and be written over.
    bool busy = false;
    auto lock = lockFile(busy);
    if (!lock)
        return busy ? lock.error() : unchanged(lock.error());
    if (!vault_.onDiskAsSeen())
        if (auto taken = takeFileOnDisk(); !taken)
            return taken.error();
    for (int attempt = 0; attempt < kSaveAttempts; ++attempt) {
        auto next = change(snippets_);
        if (!next)
            return next.error();
        auto saved = vault_.save(next.value());
        if (!saved)
            return unchanged(saved.error());
        if (saved.value() == SnippetVault::SaveOutcome::written) {
            snippets_ = std::move(next.value());
            ++revision_;
            return SnippetDone{};
        }
        if (auto taken = takeFileOnDisk(); !taken)
            return taken.error();
    }
    return refused("The snippets file kept changing while the change was saved.");
}

SnippetStatus SnippetLibrary::takeFileOnDisk()
{
    auto contents = vault_.load();
    if (!contents) {
        // Whatever is there now can't be opened here, so it is never written over.
        loadError_ = contents.error().message;
        opened_ = false;
        if (!snippets_.empty()) {
            snippets_.clear();
            ++revision_;
        }
        return unchanged(contents.error());
    }
    // A file removed by hand holds nothing to keep: the list stays and is written anew.
    if (contents.value().fileExisted && contents.value().snippets != snippets_) {
        snippets_ = std::move(contents.value().snippets);
        ++revision_;
    }
    return SnippetDone{};
}

SnippetStatus SnippetLibrary::reloadIfChanged()
{
    if (auto ok = mayChange(); !ok)
        return ok;
    if (vault_.onDiskAsSeen())
        return SnippetDone{};
    return takeFileOnDisk();
}

SnippetResult<std::string> SnippetLibrary::add(Snippet snippet)
{
    if (auto ok = mayChange(); !ok)
        return ok.error();
    if (snippet.id.empty())
        snippet.id = newSnippetId();
    if (auto id = normalizedSnippetId(snippet.id))
        snippet.id = *id;
    if (auto problem = snippetProblem(snippet))
        return SnippetError{*problem + kNothingChanged};
    auto done = commit([&snippet](const std::vector<Snippet>& list) -> SnippetResult<std::vector<Snippet>> {
        if (std::any_of(list.begin(), list.end(), sameId(snippet.id)))
            return refused("A snippet with this id exists already.");
        if (list.size() >= SnippetLimits::maxSnippets)
            return refused("There are too many snippets to add another.");
        std::vector<Snippet> next = list;
        next.push_back(snippet);
        return next;
    });
    if (!done)
        return done.error();
    return snippet.id;
}

SnippetStatus SnippetLibrary::edit(const Snippet& changed)
{
    if (auto ok = mayChange(); !ok)
        return ok;
    Snippet snippet = changed;
    if (auto id = normalizedSnippetId(snippet.id))
        snippet.id = *id;
    if (auto problem = snippetProblem(snippet))
        return SnippetError{*problem + kNothingChanged};
    if (const Snippet* existing = find(snippet.id); existing && *existing == snippet)
        return SnippetDone{};
    return commit([&snippet](const std::vector<Snippet>& list) -> SnippetResult<std::vector<Snippet>> {
        std::vector<Snippet> next = list;
        auto it = std::find_if(next.begin(), next.end(), sameId(snippet.id));
        if (it == next.end())
            return refused("That snippet no longer exists.");
        *it = snippet;
        return next;
    });
}

SnippetStatus SnippetLibrary::remove(std::string_view id)
{
    if (auto ok = mayChange(); !ok)
        return ok;
    auto target = normalizedSnippetId(id);
    if (!target)
        return refused("That snippet no longer exists.");
    return commit([&target](const std::vector<Snippet>& list) -> SnippetResult<std::vector<Snippet>> {
        std::vector<Snippet> next = list;
        auto gone = std::remove_if(next.begin(), next.end(), sameId(*target));
        if (gone == next.end())
            return refused("That snippet no longer exists.");
        next.erase(gone, next.end());
        return next;
    });
}

SnippetStatus SnippetLibrary::resetToFactory()
{
    if (auto ok = mayChange(); !ok)
        return ok;
    return commit([](const std::vector<Snippet>&) -> SnippetResult<std::vector<Snippet>> { return factorySnippets(); });
}

SnippetStatus SnippetLibrary::exportTo(const std::string& path, std::string_view passphrase, std::uint32_t rounds) const
{
    if (auto ok = mayChange(); !ok)
        return ok;
    if (passphrase.empty())
        return SnippetError{"Choose a passphrase to protect the export." + std::string(kNothingChanged)};
    // Writing an export over the snippets file (or a link to it) would lose them.
    struct stat target {
    }, own{};
    if (::stat(path.c_str(), &target) == 0 && ::stat(vault_.paths().snippetsFile().c_str(), &own) == 0 &&
        target.st_dev == own.st_dev && target.st_ino == own.st_ino)
        return SnippetError{"That is the file your snippets are kept in; choose another one." +
                            std::string(kNothingChanged)};
    std::string json = SnippetJson::encode(snippets_);
    auto sealed = SnippetFileFormat::sealExport(passphrase, json, rounds);
    platform::wipe(json);
    if (!sealed)
        return unchanged(sealed.error());
    platform::SafeWriteOptions options;
    options.modeWhenNew = 0600;
    options.lockTarget = false;  // nothing but the named file stays in its folder
    if (auto err = platform::replaceFileAtomically(path, sealed.value(), options))
        return SnippetError{"Couldn't write the export file: " + err->description + "." + kNothingChanged};
    return SnippetDone{};
}

SnippetResult<SnippetImportPlan> SnippetLibrary::prepareImport(const std::string& path,
                                                               std::string_view passphrase) const
{
    if (auto ok = mayChange(); !ok)
        return ok.error();
    auto file = platform::readRegularFile(path, SnippetLimits::maxFileBytes);
    if (!file.ok()) {
        if (file.error->kind == platform::FileReadError::Kind::tooLarge)
            return SnippetError{"The file is larger than a snippets export can be (64 MiB)." +
                                std::string(kNothingChanged)};
        return SnippetError{"Couldn't read the file: " + file.error->description() + "." + kNothingChanged};
    }
    return prepareImportFromData(file.data, passphrase);
}

SnippetResult<SnippetImportPlan> SnippetLibrary::prepareImportFromData(std::string_view file,
                                                                       std::string_view passphrase) const
{
    if (auto ok = mayChange(); !ok)
        return ok.error();
    if (file.size() > SnippetLimits::maxFileBytes)
        return SnippetError{"The file is larger than a snippets export can be (64 MiB)." +
                            std::string(kNothingChanged)};
    auto json = SnippetFileFormat::openExport(passphrase, file);
    if (!json)
        return unchanged(json.error());
    auto list = SnippetJson::decode(json.value(), "The export file");
    platform::wipe(json.value());
    if (!list)
        return unchanged(list.error());
    return SnippetImport::plan(snippets_, std::move(list.value()));
}

SnippetResult<SnippetImportOutcome> SnippetLibrary::applyImport(const SnippetImportPlan& plan,
                                                                SnippetImportChoice choice)
{
    if (auto ok = mayChange(); !ok)
        return ok.error();
    SnippetImportOutcome outcome;
    const auto change = [&](const std::vector<Snippet>& list) -> SnippetResult<std::vector<Snippet>> {
        outcome = {};
        std::vector<Snippet> next = SnippetImport::merge(list, plan.incoming, choice, &outcome);
        if (next.size() > SnippetLimits::maxSnippets)
            return refused("The import would make more snippets than can be kept.");
        return next;
    };
    auto first = change(snippets_);
    if (!first)
        return first.error();
    if (outcome.added.empty() && outcome.replaced.empty())
        return outcome;
    if (auto done = commit(change); !done)
        return done.error();
    return outcome;
}

}  // namespace quillmar
