#pragma once

#include "quillmar/sshconfig/SSHPaths.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar {

// One IdentityFile line of the configuration.
struct IdentityFileRecord {
    std::string value;               // first word of the value, quotes removed, "~" not expanded
    std::vector<std::string> hosts;  // patterns of the Host line in force, or "Match " + criteria,
                                     // or, before any Host or Match line, the caller's starting patterns
    std::string file;                // the file that holds the line

    bool operator==(const IdentityFileRecord&) const = default;
};

// What the poll compares to notice that a file changed.
struct FileStamp {
    bool exists = false;  // false stands for "distant past": missing or unreadable
    std::int64_t modifiedNs = 0;
    std::int64_t size = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileStamp&) const = default;
};
using FileSignature = std::map<std::string, FileStamp>;

// What one read left out because a bound was reached. Files that aren't
// valid UTF-8 are read leniently and are not mentioned here.
struct ReadReport {
    bool globLimitReached = false;  // Include patterns matched more than one read may look at
    bool timeLimitReached = false;
    bool fileLimitReached = false;
    bool byteLimitReached = false;
    std::vector<std::string> tooLarge;  // files over kMaxSSHFileBytes, each once

    bool complete() const
    {
        return !globLimitReached && !timeLimitReached && !fileLimitReached && !byteLimitReached && tooLarge.empty();
    }
    // One sentence per problem, for the host list to show.
    std::vector<std::string> sentences(const SSHPaths& paths) const;
};

struct HostListSnapshot {
    std::vector<std::string> aliases;  // sorted for display
    bool configExists = false;
    FileSignature signature;            // every file read, plus the config path
    std::vector<std::string> problems;  // why the list may be incomplete; empty when it is whole
};

// Reads ~/.ssh/config and the files it includes. Never writes, never reports
// a parse error: unreadable files, unknown lines and Include patterns that
// match nothing are passed over; bytes that aren't UTF-8 read as U+FFFD.
// Bounded as a whole: Include loops are cut, the number and size of files,
// the directory entries all Include patterns may visit and the time of one
// read are capped, and FIFOs or devices are never opened. What a bound left
// out is told in a ReadReport.
class SSHConfigReader {
public:
    explicit SSHConfigReader(SSHPaths paths);

    const SSHPaths& paths() const { return paths_; }

    // Concrete Host aliases in reading order, each once (`seen` dedupes), and
    // every file actually read, in reading order. Callers pass depth 0.
    void parseHostAliases(const std::string& path, int depth, std::vector<std::string>& aliases,
                          std::set<std::string>& seen, std::vector<std::string>& filesRead,
                          ReadReport* report = nullptr) const;

    // Every file, in reading order and each once, with a Host line naming `alias`
    // exactly (case-sensitive, no pattern matching).
    void findDefiningFiles(const std::string& alias, const std::string& path, int depth,
                           std::vector<std::string>& paths) const;

    // Whether ssh reads `path` as configuration: ~/.ssh/config, the own file,
    // a file they include now, or one an Include pattern of theirs would pick
    // up once it exists.
    bool readsAsConfig(const std::string& path) const;

    // One record per IdentityFile line with a value. `currentHosts` is carried
    // across Include boundaries; start it as {"*"} so that lines before any
    // Host or Match line belong to every host.
    void parseIdentityFiles(const std::string& path, int depth, std::vector<std::string>& currentHosts,
                            std::vector<IdentityFileRecord>& records) const;

    // The host list's reload: aliases of the config and its includes, sorted
    // for display, whether the config exists, and the signature to poll.
    HostListSnapshot loadHostList() const;

    // Case-insensitive, digits by numeric value, stable ("host1", "Host2", "host10").
    static void sortForDisplay(std::vector<std::string>& aliases);

    // Keyword (in its written case) and the rest of a trimmed line. Space, tab
    // and one "=" separate them.
    static std::pair<std::string, std::string> tokenizeLine(std::string_view line);

    // Words of a value: space and tab separate outside double quotes; quotes
    // are dropped; no escapes; empty words are not kept; an unquoted word
    // starting with "#" begins a comment that runs to the end.
    static std::vector<std::string> splitWords(std::string_view value);

    // Paths matching a glob pattern, sorted by code point; empty on no match.
    static std::vector<std::string> globPaths(const std::string& pattern);

    static FileSignature fileSignature(const std::vector<std::string>& paths);

    static constexpr int kMaxIncludeDepth = 15;
    static constexpr std::size_t kMaxFilesPerRead = 128;
    static constexpr std::size_t kMaxBytesPerRead = 16 * 1024 * 1024;
    // Directory entries all the Include patterns of one read may visit together.
    static constexpr std::size_t kMaxGlobEntriesPerRead = 20000;
    static constexpr std::chrono::milliseconds kMaxReadTime{1000};

private:
    SSHPaths paths_;
};

}  // namespace quillmar
