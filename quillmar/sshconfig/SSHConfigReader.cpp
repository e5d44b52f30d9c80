#include "quillmar/sshconfig/SSHConfigReader.h"

#include "platform/FileRead.h"
#include "quillmar/sshconfig/ConfigText.h"

#include <algorithm>
#include <dirent.h>
#include <fnmatch.h>
#include <glob.h>
#include <memory>
#include <sys/stat.h>
#include <unicode/ucol.h>

namespace quillmar {
namespace {

using configtext::asciiLower;

using Clock = std::chrono::steady_clock;

// What every glob of one read shares: the directory entries left to visit
// and the time the read must end by.
struct GlobBudget {
    std::size_t entries = 0;
    Clock::time_point deadline;
    std::size_t sinceClockCheck = 0;
    bool entriesRanOut = false;
    bool timeRanOut = false;

    bool pastDeadline()
    {
        if (!timeRanOut && Clock::now() >= deadline)
            timeRanOut = true;
        return timeRanOut;
    }
};

struct WalkState {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chain;  // files on the current Include path
    std::size_t files = 0;
    std::size_t bytes = 0;
    GlobBudget glob;
    ReadReport report;

    WalkState()
    {
        glob.entries = SSHConfigReader::kMaxGlobEntriesPerRead;
        glob.deadline = Clock::now() + SSHConfigReader::kMaxReadTime;
    }

    void noteTooLarge(const std::string& path)
    {
        auto& list = report.tooLarge;
        if (std::find(list.begin(), list.end(), path) == list.end())
            list.push_back(path);
    }

    // Copies the bounds that were reached into the caller's report.
    void finish(ReadReport* out)
    {
        report.globLimitReached = report.globLimitReached || glob.entriesRanOut;
        report.timeLimitReached = report.timeLimitReached || glob.timeRanOut;
        if (out)
            *out = report;
    }
};

std::vector<std::string> globWithBudget(const std::string& pattern, GlobBudget& budget);

class Visitor {
public:
    virtual ~Visitor() = default;
    virtual void fileRead(const std::string&) {}
    virtual void includePattern(const std::string&) {}
    virtual void directive(const std::string& keyword, const std::string& value, const std::string& path) = 0;
};

void walk(const SSHPaths& paths, const std::string& path, int depth, WalkState& state, Visitor& visitor)
{
    if (depth > SSHConfigReader::kMaxIncludeDepth)
        return;
    if (state.glob.pastDeadline())
        return;
    if (state.files >= SSHConfigReader::kMaxFilesPerRead) {
        state.report.fileLimitReached = true;
        return;
    }
    ++state.files;

    auto read = platform::readRegularFile(path, kMaxSSHFileBytes);
    if (!read.ok()) {
        if (read.error->kind == platform::FileReadError::Kind::tooLarge)
            state.noteTooLarge(path);
        return;
    }
    if (state.bytes + read.data.size() > SSHConfigReader::kMaxBytesPerRead) {
        state.report.byteLimitReached = true;
        return;
    }
    state.bytes += read.data.size();
    // One stray byte (a Latin-1 comment) must not hide every host of the file.
    if (!configtext::isValidUtf8(read.data))
        read.data = configtext::lenientUtf8(read.data);

    // A file that includes itself, directly or not, would otherwise be read
    // again at every level.
    std::pair<std::uint64_t, std::uint64_t> id{read.device, read.inode};
    if (std::find(state.chain.begin(), state.chain.end(), id) != state.chain.end())
        return;

    visitor.fileRead(path);
    state.chain.push_back(id);
    for (std::string_view raw : configtext::splitAtLineBreaks(read.data)) {
        std::string_view line = configtext::trimSpacesTabs(raw);
        if (line.empty() || line.front() == '#')
            continue;
        auto [keyword, value] = SSHConfigReader::tokenizeLine(line);
        std::string lower = asciiLower(keyword);
        if (lower != "include") {
            visitor.directive(lower, value, path);
            continue;
        }
        for (const std::string& word : SSHConfigReader::splitWords(value)) {
            // Once a bound is reached, the rest of the Include lines cost nothing.
            if (state.glob.entriesRanOut || state.glob.pastDeadline())
                break;
            std::string pattern;
            if (word.rfind("~/", 0) == 0)
                pattern = paths.home() + word.substr(1);
            else if (word.front() == '/')
                pattern = word;
            else
                pattern = paths.sshDirectory() + "/" + word;
            visitor.includePattern(pattern);
            for (const std::string& match : globWithBudget(pattern, state.glob))
                walk(paths, match, depth + 1, state, visitor);
        }
    }
    state.chain.pop_back();
}

// glob walks directories itself; these hooks stop it after a fixed number of
// entries so that a pattern like "/*/*/*" cannot stall the main thread.
struct GlobDir {
    DIR* dir;
    GlobBudget* budget;
};
thread_local GlobBudget* tlsGlobBudget = nullptr;

void* globOpenDir(const char* name)
{
    DIR* d = ::opendir(name);
    if (!d)
        return nullptr;
    return new GlobDir{d, tlsGlobBudget};
}

struct dirent* globReadDir(void* p)
{
    auto* g = static_cast<GlobDir*>(p);
    if (GlobBudget* b = g->budget) {
        if (b->entriesRanOut || b->timeRanOut)
            return nullptr;
        if (b->entries == 0) {
            b->entriesRanOut = true;
            return nullptr;
        }
        --b->entries;
        if (++b->sinceClockCheck >= 64) {
            b->sinceClockCheck = 0;
            if (b->pastDeadline())
                return nullptr;
        }
    }
    return ::readdir(g->dir);
}

void globCloseDir(void* p)
{
    auto* g = static_cast<GlobDir*>(p);
    ::closedir(g->dir);
    delete g;
}

int globLstat(const char* path, struct stat* st)
{
    return ::lstat(path, st);
}
int globStat(const char* path, struct stat* st)
{
    return ::stat(path, st);
}

constexpr std::size_t kGlobEntryBudget = 20000;

std::vector<std::string> globWithBudget(const std::string& pattern, GlobBudget& budget)
{
    std::vector<std::string> out;
    tlsGlobBudget = &budget;
    glob_t g{};
    g.gl_opendir = globOpenDir;
    g.gl_readdir = globReadDir;
    g.gl_closedir = globCloseDir;
    g.gl_lstat = globLstat;
    g.gl_stat = globStat;
    int rc = ::glob(pattern.c_str(), GLOB_ALTDIRFUNC, nullptr, &g);
    tlsGlobBudget = nullptr;
    if (rc == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; ++i) {
            const char* p = g.gl_pathv[i];
            if (p && configtext::isValidUtf8(p))
                out.emplace_back(p);
        }
    }
    ::globfree(&g);
    std::sort(out.begin(), out.end());
    return out;
}

UCollator* displayCollator()
{
    static UCollator* collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* c = ucol_open("", &status);
        if (U_FAILURE(status))
            return static_cast<UCollator*>(nullptr);
        ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
        ucol_setStrength(c, UCOL_SECONDARY);  // ignores case, keeps accents
        return c;
    }();
    return collator;
}

}  // namespace

SSHConfigReader::SSHConfigReader(SSHPaths paths) : paths_(std::move(paths))
{}

std::pair<std::string, std::string> SSHConfigReader::tokenizeLine(std::string_view line)
{
    auto sep = line.find_first_of(" \t=");
    if (sep == std::string_view::npos)
        return {std::string(line), std::string()};
    std::string keyword(line.substr(0, sep));
    std::size_t i = sep;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i < line.size() && line[i] == '=') {
        ++i;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
    }
    return {std::move(keyword), std::string(line.substr(i))};
}

std::vector<std::string> SSHConfigReader::splitWords(std::string_view value)
{
    std::vector<std::string> words;
    std::string current;
    bool quoted = false;
    bool inWord = false;
    for (char c : value) {
        if (!inWord && !quoted && c == '#')
            break;  // OpenSSH ends the line at a word starting with "#"
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (!current.empty())
                words.push_back(std::move(current));
            current.clear();
            inWord = false;
        } else {
            current.push_back(c);
            inWord = true;
        }
    }
    if (!current.empty())
        words.push_back(std::move(current));
    return words;
}

std::vector<std::string> SSHConfigReader::globPaths(const std::string& pattern)
{
    GlobBudget budget;
    budget.entries = kGlobEntryBudget;
    budget.deadline = Clock::now() + kMaxReadTime;
    return globWithBudget(pattern, budget);
}

std::vector<std::string> ReadReport::sentences(const SSHPaths& paths) const
{
    std::vector<std::string> out;
    for (const std::string& path : tooLarge)
        out.push_back(paths.tildePath(path) + " is too large to read (over " +
                      std::to_string(kMaxSSHFileBytes / (1024 * 1024)) + " MB), so its hosts aren't listed.");
    if (globLimitReached)
        out.push_back("Include lines in your SSH config match too many files; some weren't read.");
    if (timeLimitReached)
        out.push_back("Reading your SSH config took too long and was stopped; some hosts may be missing.");
    if (fileLimitReached)
        out.push_back("Your SSH config includes more than " + std::to_string(SSHConfigReader::kMaxFilesPerRead) +
                      " files; the rest weren't read.");
    if (byteLimitReached)
        out.push_back("Your SSH config and its includes hold more than " +
                      std::to_string(SSHConfigReader::kMaxBytesPerRead / (1024 * 1024)) +
                      " MB together; the rest wasn't read.");
    return out;
}

FileSignature SSHConfigReader::fileSignature(const std::vector<std::string>& paths)
{
    FileSignature sig;
    for (const std::string& path : paths) {
        FileStamp stamp;
        struct stat st {};
        // Following links: editing a symlinked config's target must be noticed.
        if (::stat(path.c_str(), &st) == 0) {
            stamp.exists = true;
            stamp.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            stamp.size = static_cast<std::int64_t>(st.st_size);
            stamp.inode = static_cast<std::uint64_t>(st.st_ino);
        }
        sig.emplace(path, stamp);
    }
    return sig;
}

void SSHConfigReader::parseHostAliases(const std::string& path, int depth, std::vector<std::string>& aliases,
                                       std::set<std::string>& seen, std::vector<std::string>& filesRead,
                                       ReadReport* report) const
{
    class AliasVisitor : public Visitor {
    public:
        AliasVisitor(std::vector<std::string>& a, std::set<std::string>& s, std::vector<std::string>& f)
            : aliases(a), seen(s), files(f)
        {}
        void fileRead(const std::string& path) override { files.push_back(path); }
        void directive(const std::string& keyword, const std::string& value, const std::string&) override
        {
            if (keyword != "host")
                return;
            for (std::string& word : splitWords(value)) {
                if (word.front() == '!' || word.find_first_of("*?") != std::string::npos)
                    continue;
                if (seen.insert(word).second)
                    aliases.push_back(std::move(word));
            }
        }
        std::vector<std::string>& aliases;
        std::set<std::string>& seen;
        std::vector<std::string>& files;
    } visitor(aliases, seen, filesRead);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
    state.finish(report);
}

void SSHConfigReader::findDefiningFiles(const std::string& alias, const std::string& path, int depth,
                                        std::vector<std::string>& paths) const
{
    class FindVisitor : public Visitor {
    public:
        FindVisitor(const std::string& a, std::vector<std::string>& p) : alias(a), paths(p) {}
        void directive(const std::string& keyword, const std::string& value, const std::string& file) override
        {
            if (keyword != "host")
                return;
            auto words = splitWords(value);
            if (std::find(words.begin(), words.end(), alias) == words.end())
                return;
            if (std::find(paths.begin(), paths.end(), file) == paths.end())
                paths.push_back(file);
        }
        const std::string& alias;
        std::vector<std::string>& paths;
    } visitor(alias, paths);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
}

bool SSHConfigReader::readsAsConfig(const std::string& path) const
{
    class ConfigFilesVisitor : public Visitor {
    public:
        explicit ConfigFilesVisitor(const std::string& p) : path(p) {}
        void fileRead(const std::string& file) override { found = found || file == path; }
        // A file that doesn't exist yet is read once something is written there.
        void includePattern(const std::string& pattern) override
        {
            found = found || ::fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME | FNM_PERIOD) == 0;
        }
        void directive(const std::string&, const std::string&, const std::string&) override {}
        const std::string& path;
        bool found = false;
    } visitor(path);
    if (path == paths_.configPath() || path == paths_.ownConfigPath())
        return true;
    WalkState state;
    walk(paths_, paths_.configPath(), 0, state, visitor);
    return visitor.found;
}

void SSHConfigReader::parseIdentityFiles(const std::string& path, int depth, std::vector<std::string>& currentHosts,
                                         std::vector<IdentityFileRecord>& records) const
{
    class IdentityVisitor : public Visitor {
    public:
        IdentityVisitor(std::vector<std::string>& h, std::vector<IdentityFileRecord>& r) : hosts(h), records(r) {}
        void directive(const std::string& keyword, const std::string& value, const std::string& file) override
        {
            if (keyword == "host") {
                hosts = splitWords(value);
            } else if (keyword == "match") {
                hosts = {"Match " + value};
            } else if (keyword == "identityfile") {
                auto words = splitWords(value);
                if (!words.empty())
                    records.push_back({words.front(), hosts, file});
            }
        }
        std::vector<std::string>& hosts;
        std::vector<IdentityFileRecord>& records;
    } visitor(currentHosts, records);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
}

void SSHConfigReader::sortForDisplay(std::vector<std::string>& aliases)
{
    UCollator* collator = displayCollator();
    std::stable_sort(aliases.begin(), aliases.end(), [collator](const std::string& a, const std::string& b) {
        if (collator) {
            UErrorCode status = U_ZERO_ERROR;
            UCollationResult r = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                  static_cast<int32_t>(b.size()), &status);
            if (U_SUCCESS(status))
                return r == UCOL_LESS;
        }
        return asciiLower(a) < asciiLower(b);
    });
}

HostListSnapshot SSHConfigReader::loadHostList() const
{
    HostListSnapshot snapshot;
    const std::string config = paths_.configPath();
    struct stat st {};
    snapshot.configExists = ::stat(config.c_str(), &st) == 0;
    std::set<std::string> seen;
    std::vector<std::string> files;
    ReadReport report;
    parseHostAliases(config, 0, snapshot.aliases, seen, files, &report);
    snapshot.problems = report.sentences(paths_);
    // A file left out for its size is watched too, so that trimming it is noticed.
    files.insert(files.end(), report.tooLarge.begin(), report.tooLarge.end());
    sortForDisplay(snapshot.aliases);
    files.push_back(config);
    snapshot.signature = fileSignature(files);
    return snapshot;
}

}  // namespace quillmar
