#include "quillmar/sshconfig/SSHConfigReader.h"

#include "platform/FileRead.h"
#include "quillmar/sshconfig/ConfigText.h"

#include <algorithm>
#include <dirent.h>
#include <glob.h>
#include <memory>
#include <sys/stat.h>
#include <unicode/ucol.h>

namespace quillmar {
namespace {

using configtext::asciiLower;

struct WalkState {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> chain;  // files on the current Include path
    std::size_t files = 0;
    std::size_t bytes = 0;
};

class Visitor {
public:
    virtual ~Visitor() = default;
    virtual void fileRead(const std::string&) {}
    virtual void directive(const std::string& keyword, const std::string& value, const std::string& path) = 0;
};

void walk(const SSHPaths& paths, const std::string& path, int depth, WalkState& state, Visitor& visitor) {
    if (depth > SSHConfigReader::kMaxIncludeDepth) return;
    if (state.files >= SSHConfigReader::kMaxFilesPerRead) return;
    ++state.files;

    auto read = platform::readRegularFile(path, kMaxSSHFileBytes);
    if (!read.ok()) return;
    if (state.bytes + read.data.size() > SSHConfigReader::kMaxBytesPerRead) return;
    state.bytes += read.data.size();
    if (!configtext::isValidUtf8(read.data)) return;

    // A file that includes itself, directly or not, would otherwise be read
    // again at every level.
    std::pair<std::uint64_t, std::uint64_t> id{read.device, read.inode};
    if (std::find(state.chain.begin(), state.chain.end(), id) != state.chain.end()) return;

    visitor.fileRead(path);
    state.chain.push_back(id);
    for (std::string_view raw : configtext::splitAtLineBreaks(read.data)) {
        std::string_view line = configtext::trimSpacesTabs(raw);
        if (line.empty() || line.front() == '#') continue;
        auto [keyword, value] = SSHConfigReader::tokenizeLine(line);
        std::string lower = asciiLower(keyword);
        if (lower != "include") {
            visitor.directive(lower, value, path);
            continue;
        }
        for (const std::string& word : SSHConfigReader::splitWords(value)) {
            std::string pattern;
            if (word.rfind("~/", 0) == 0)
                pattern = paths.home() + word.substr(1);
            else if (word.front() == '/')
                pattern = word;
            else
                pattern = paths.sshDirectory() + "/" + word;
            for (const std::string& match : SSHConfigReader::globPaths(pattern))
                walk(paths, match, depth + 1, state, visitor);
        }
    }
    state.chain.pop_back();
}

// glob walks directories itself; these hooks stop it after a fixed number of
// entries so that a pattern like "/*/*/*" cannot stall the main thread.
struct GlobDir {
    DIR* dir;
    std::size_t* budget;
};
thread_local std::size_t* tlsGlobBudget = nullptr;

void* globOpenDir(const char* name) {
    DIR* d = ::opendir(name);
    if (!d) return nullptr;
    return new GlobDir{d, tlsGlobBudget};
}

struct dirent* globReadDir(void* p) {
    auto* g = static_cast<GlobDir*>(p);
    if (g->budget) {
        if (*g->budget == 0) return nullptr;
        --*g->budget;
    }
    return ::readdir(g->dir);
}

void globCloseDir(void* p) {
    auto* g = static_cast<GlobDir*>(p);
    ::closedir(g->dir);
    delete g;
}

int globLstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int globStat(const char* path, struct stat* st) { return ::stat(path, st); }

constexpr std::size_t kGlobEntryBudget = 20000;

UCollator* displayCollator() {
    static UCollator* collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* c = ucol_open("", &status);
        if (U_FAILURE(status)) return static_cast<UCollator*>(nullptr);
        ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
        ucol_setStrength(c, UCOL_SECONDARY);  // ignores case, keeps accents
        return c;
    }();
    return collator;
}

}  // namespace

SSHConfigReader::SSHConfigReader(SSHPaths paths) : paths_(std::move(paths)) {}

std::pair<std::string, std::string> SSHConfigReader::tokenizeLine(std::string_view line) {
    auto sep = line.find_first_of(" \t=");
    if (sep == std::string_view::npos) return {std::string(line), std::string()};
    std::string keyword(line.substr(0, sep));
    std::size_t i = sep;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] == '=') {
        ++i;
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    }
    return {std::move(keyword), std::string(line.substr(i))};
}

std::vector<std::string> SSHConfigReader::splitWords(std::string_view value) {
    std::vector<std::string> words;
    std::string current;
    bool quoted = false;
    bool inWord = false;
    for (char c : value) {
        if (!inWord && !quoted && c == '#') break;  // OpenSSH ends the line at a word starting with "#"
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (!current.empty()) words.push_back(std::move(current));
            current.clear();
            inWord = false;
        } else {
            current.push_back(c);
            inWord = true;
        }
    }
    if (!current.empty()) words.push_back(std::move(current));
    return words;
}

std::vector<std::string> SSHConfigReader::globPaths(const std::string& pattern) {
    std::vector<std::string> out;
    std::size_t budget = kGlobEntryBudget;
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
            if (p && configtext::isValidUtf8(p)) out.emplace_back(p);
        }
    }
    ::globfree(&g);
    std::sort(out.begin(), out.end());
    return out;
}

FileSignature SSHConfigReader::fileSignature(const std::vector<std::string>& paths) {
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
                                       std::set<std::string>& seen, std::vector<std::string>& filesRead) const {
    class AliasVisitor : public Visitor {
    public:
        AliasVisitor(std::vector<std::string>& a, std::set<std::string>& s, std::vector<std::string>& f)
            : aliases(a), seen(s), files(f) {}
        void fileRead(const std::string& path) override { files.push_back(path); }
        void directive(const std::string& keyword, const std::string& value, const std::string&) override {
            if (keyword != "host") return;
            for (std::string& word : splitWords(value)) {
                if (word.front() == '!' || word.find_first_of("*?") != std::string::npos) continue;
                if (seen.insert(word).second) aliases.push_back(std::move(word));
            }
        }
        std::vector<std::string>& aliases;
        std::set<std::string>& seen;
        std::vector<std::string>& files;
    } visitor(aliases, seen, filesRead);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
}

void SSHConfigReader::findDefiningFiles(const std::string& alias, const std::string& path, int depth,
                                        std::vector<std::string>& paths) const {
    class FindVisitor : public Visitor {
    public:
        FindVisitor(const std::string& a, std::vector<std::string>& p) : alias(a), paths(p) {}
        void directive(const std::string& keyword, const std::string& value, const std::string& file) override {
            if (keyword != "host") return;
            auto words = splitWords(value);
            if (std::find(words.begin(), words.end(), alias) == words.end()) return;
            if (std::find(paths.begin(), paths.end(), file) == paths.end()) paths.push_back(file);
        }
        const std::string& alias;
        std::vector<std::string>& paths;
    } visitor(alias, paths);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
}

void SSHConfigReader::parseIdentityFiles(const std::string& path, int depth, std::vector<std::string>& currentHosts,
                                         std::vector<IdentityFileRecord>& records) const {
    class IdentityVisitor : public Visitor {
    public:
        IdentityVisitor(std::vector<std::string>& h, std::vector<IdentityFileRecord>& r) : hosts(h), records(r) {}
        void directive(const std::string& keyword, const std::string& value, const std::string& file) override {
            if (keyword == "host") {
                hosts = splitWords(value);
            } else if (keyword == "match") {
                hosts = {"Match " + value};
            } else if (keyword == "identityfile") {
                auto words = splitWords(value);
                if (!words.empty()) records.push_back({words.front(), hosts, file});
            }
        }
        std::vector<std::string>& hosts;
        std::vector<IdentityFileRecord>& records;
    } visitor(currentHosts, records);
    WalkState state;
    walk(paths_, path, depth, state, visitor);
}

void SSHConfigReader::sortForDisplay(std::vector<std::string>& aliases) {
    UCollator* collator = displayCollator();
    std::stable_sort(aliases.begin(), aliases.end(), [collator](const std::string& a, const std::string& b) {
        if (collator) {
            UErrorCode status = U_ZERO_ERROR;
            UCollationResult r = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                  static_cast<int32_t>(b.size()), &status);
            if (U_SUCCESS(status)) return r == UCOL_LESS;
        }
        return asciiLower(a) < asciiLower(b);
    });
}

HostListSnapshot SSHConfigReader::loadHostList() const {
    HostListSnapshot snapshot;
    const std::string config = paths_.configPath();
    struct stat st {};
    snapshot.configExists = ::stat(config.c_str(), &st) == 0;
    std::set<std::string> seen;
    std::vector<std::string> files;
    parseHostAliases(config, 0, snapshot.aliases, seen, files);
    sortForDisplay(snapshot.aliases);
    files.push_back(config);
    snapshot.signature = fileSignature(files);
    return snapshot;
}

}  // namespace quillmar
