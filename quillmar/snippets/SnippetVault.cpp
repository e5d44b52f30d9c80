#include "quillmar/snippets/SnippetVault.h"

#include "platform/FileRead.h"
#include "platform/Log.h"
#include "platform/SafeFile.h"
#include "quillmar/snippets/SnippetFileFormat.h"
#include "quillmar/snippets/SnippetJson.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar {
namespace {

using platform::makeDirectories;
using platform::somethingAt;

constexpr const char* kBackupPrefix = "snippets.";

// Best effort: the backup is made either way.
void syncDirectory(const std::string& dir)
{
    (void)platform::syncDirectory(dir);
}

}  // namespace

SnippetVault::SnippetVault(SnippetPaths paths, std::unique_ptr<SnippetKeySource> keys, Clock clock)
    : paths_(std::move(paths)), keys_(std::move(keys)), clock_(std::move(clock))
{}

SnippetResult<SnippetVault::Contents> SnippetVault::load()
{
    mayWrite_ = false;
    auto file = platform::readRegularFile(paths_.snippetsFile(), SnippetLimits::maxFileBytes);
    if (!file.ok()) {
        using Kind = platform::FileReadError::Kind;
        if (file.error->kind == Kind::notFound && !somethingAt(paths_.snippetsFile())) {
            seen_.reset();
            mayWrite_ = true;
            return Contents{};
        }
        if (file.error->kind == Kind::tooLarge)
            return SnippetError{"The snippets file is larger than a snippets file can be (64 MiB)."};
        return SnippetError{"Couldn't read the snippets file: " + file.error->description() + "."};
    }
    if (auto header = SnippetFileFormat::checkSnippetsHeader(file.data); !header)
        return header.error();

    if (auto key = knownKey(true); !key)
        return key.error();
    auto json = SnippetFileFormat::openSnippets(*key_, file.data);
    if (!json)
        return json.error();
    auto list = SnippetJson::decode(json.value(), "The snippets file");
    platform::wipe(json.value());
    if (!list)
        return list.error();
    seen_ = std::move(file.data);
    mayWrite_ = true;
    return Contents{true, std::move(list.value())};
}

SnippetError SnippetVault::keyFailure(bool forOpening, const std::string& why)
{
    return SnippetError{std::string(forOpening ? "Your snippets can't be opened. " : "Your snippets can't be saved. ") +
                        why};
}

SnippetError SnippetVault::keyFailure(bool forOpening, const SnippetError& why)
{
    SnippetError error = keyFailure(forOpening, why.message);
    error.keyring = why.keyring;
    return error;
}

SnippetResult<platform::SymmetricKey> SnippetVault::fetchKey(SnippetKeySource& keys, bool forOpening)
{
    auto found = keys.find();
    if (found.error)
        return keyFailure(forOpening, *found.error);
    if (found.key)
        return std::move(*found.key);
    if (forOpening)
        return SnippetError{"Your snippets can't be opened: the key they were saved with isn't in your keyring."};
    auto made = keys.create();
    if (!made)
        return keyFailure(false, made.error());
    return made;
}

void SnippetVault::setFetchedKey(SnippetResult<platform::SymmetricKey> fetched)
{
    if (fetched) {
        key_ = std::move(fetched.value());
        keyError_.reset();
    } else {
        keyError_ = fetched.error();
    }
}

SnippetResult<platform::SymmetricKey> SnippetVault::knownKey(bool forOpening)
{
    if (key_)
        return *key_;
    auto key = keyError_ ? SnippetResult<platform::SymmetricKey>(*keyError_) : fetchKey(*keys_, forOpening);
    if (key)
        key_ = key.value();
    return key;
}

SnippetStatus SnippetVault::keyForSaving()
{
    if (auto key = knownKey(false); !key)
        return key.error();
    return SnippetDone{};
}

bool SnippetVault::onDiskAsSeen() const
{
    if (!seen_)
        return !somethingAt(paths_.snippetsFile());
    auto file = platform::readRegularFile(paths_.snippetsFile(), SnippetLimits::maxFileBytes);
    return file.ok() && file.data == *seen_;
}

SnippetResult<SnippetVault::SaveOutcome> SnippetVault::save(std::span<const Snippet> snippets)
{
    if (!mayWrite_)
        return SnippetError{"The snippets file couldn't be opened, so it is left as it is."};
    // A first look, so that another window's file isn't backed up on each try.
    if (!onDiskAsSeen())
        return SaveOutcome::fileChanged;
    auto key = knownKey(false);
    if (!key)
        return key.error();

    std::string json = SnippetJson::encode(snippets);
    auto sealed = SnippetFileFormat::sealSnippets(key.value(), json);
    platform::wipe(json);
    if (!sealed)
        return sealed.error();

    if (int err = makeDirectories(paths_.dataDirectory(), 0700))
        return SnippetError{"Couldn't make the folder " + paths_.dataDirectory() + ": " + std::strerror(err) + "."};
    if (auto backed = backUp(); !backed)
        return backed.error();

    platform::SafeWriteOptions options;
    options.modeWhenNew = 0600;
    const std::optional<std::string_view> expected = seen_ ? std::optional<std::string_view>(*seen_) : std::nullopt;
    if (auto err = platform::replaceFileIfUnchanged(paths_.snippetsFile(), expected, sealed.value(), options)) {
        if (!err->changed)
            return SnippetError{"Couldn't write the snippets file: " + err->description + "."};
        // Bytes written into the old file as ours took its place: keep them.
        if (err->replaced)
            (void)backUp(&*err->replaced);
        return SaveOutcome::fileChanged;
    }
    seen_ = std::move(sealed.value());
    return SaveOutcome::written;
}

std::string SnippetVault::stampNow() const
{
    std::time_t now = clock_ ? clock_() : std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%m%d%Y-%H%M%S", &local);
    return buf;
}

SnippetStatus SnippetVault::backUp(const std::string* bytes)
{
    const std::string source = paths_.snippetsFile();
    if (!bytes && !somethingAt(source))
        return SnippetDone{};
    auto fail = [](const std::string& why) { return SnippetError{"Couldn't back up the snippets file: " + why + "."}; };
    const std::string dir = paths_.backupsDirectory();
    if (int err = makeDirectories(dir, 0700))
        return fail(std::strerror(err));

    // Within one stamp the suffix only grows, so names never go back in time
    // after old copies were pruned.
    const std::string stamp = kBackupPrefix + stampNow();
    int first = 1;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            const std::string_view name = e->d_name;
            if (name == stamp)
                first = std::max(first, 2);
            if (name.size() > stamp.size() + 1 && name.substr(0, stamp.size()) == stamp && name[stamp.size()] == '-') {
                int n = 0;
                for (char c : name.substr(stamp.size() + 1)) {
                    if (c < '0' || c > '9' || n >= 100000) {
                        n = 0;
                        break;
                    }
                    n = n * 10 + (c - '0');
                }
                if (n > 0)
                    first = std::max(first, n + 1);
            }
        }
        ::closedir(d);
    }
    const std::string stem = dir + "/" + stamp;
    for (int n = first; n < first + 1000; ++n) {
        std::string candidate = n == 1 ? stem : stem + "-" + std::to_string(n);
        if (somethingAt(candidate))
            continue;
        // The file is only ever replaced by a rename, never written in place, so
        // a second link keeps the old contents without copying them.
        if (!bytes && ::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            syncDirectory(dir);
            pruneBackups();
            return SnippetDone{};
        }
        if (!bytes && errno == EEXIST)
            continue;
        // Given bytes, and file systems without hard links, get a copy.
        platform::FileReadResult file;
        if (!bytes) {
            file = platform::readRegularFile(source, SnippetLimits::maxFileBytes);
            if (!file.ok())
                return fail(file.error->description());
        }
        auto err = platform::createFileExclusively(candidate, bytes ? *bytes : file.data, 0600);
        if (!err) {
            pruneBackups();
            return SnippetDone{};
        }
        if (err->systemError != EEXIST)
            return fail(err->description);
    }
    return fail("too many copies with the same time stamp");
}

void SnippetVault::pruneBackups() const
{
    const std::string dir = paths_.backupsDirectory();
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    struct Entry {
        std::string name;
        std::int64_t modifiedNs;
    };
    std::vector<Entry> entries;
    const std::string prefix = kBackupPrefix;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat st {};
        std::int64_t modified = INT64_MIN;  // unreadable dates count as oldest
        if (::lstat((dir + "/" + name).c_str(), &st) == 0)
            modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        entries.push_back({std::move(name), modified});
    }
    ::closedir(d);
    if (entries.size() <= kBackupsKept)
        return;
    // Newest first; within one date a clash suffix ("-2", "-10") is newer than none,
    // and a larger one newer than a smaller one.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.modifiedNs != b.modifiedNs)
            return a.modifiedNs > b.modifiedNs;
        if (a.name.size() != b.name.size())
            return a.name.size() > b.name.size();
        return a.name > b.name;
    });
    for (std::size_t i = kBackupsKept; i < entries.size(); ++i) {
        if (::unlink((dir + "/" + entries[i].name).c_str()) != 0)
            platform::logWarning("snippets",
                                 "couldn't remove an old backup " + entries[i].name + ": " + std::strerror(errno));
    }
}

}  // namespace quillmar
