#include "quillmar/sshconfig/SSHConfigWriter.h"

#include "platform/FileRead.h"
#include "platform/SafeFile.h"
#include "quillmar/sshconfig/ConfigText.h"
#include "quillmar/sshconfig/SSHConfigMerge.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar {

const char* const SSHConfigWriter::kIncludeComment =
    "# Added by quillmar: hosts you add in quillmar live in ~/.ssh/quillmar_config";
const char* const SSHConfigWriter::kIncludeLine = "Include quillmar_config";
const char* const SSHConfigWriter::kOwnFileHeader =
    "# quillmar_config: hosts added in quillmar.\n"
    "# Pulled into ~/.ssh/config by its \"Include quillmar_config\" line.\n"
    "# You can edit this file by hand; quillmar re-reads it automatically.\n";

namespace {

std::string baseName(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

using platform::makeDirectories;
using platform::somethingAt;

bool isPortValid(const std::string& port)
{
    std::size_t i = 0;
    if (i < port.size() && (port[i] == '+' || port[i] == '-'))
        ++i;
    if (i == port.size())
        return false;
    bool negative = port[0] == '-';
    std::int64_t value = 0;
    for (; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9')
            return false;
        value = value * 10 + (port[i] - '0');
        if (value > 1000000)
            value = 1000000;  // far out of range either way; no overflow
    }
    if (negative)
        value = -value;
    return value >= 1 && value <= 65535;
}

// Characters that would reach the shell running ssh's jump command as
// syntax: the hop is pasted into it unquoted. ssh itself passes them on.
constexpr std::string_view kHopUnsafe = ";$`|&<>(){}'*?#";

bool isDomainName(std::string_view s)
{
    return !s.empty() && s.front() != '-' && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
               c == '_';
    });
}

// A port as ssh reads it: a number from 1 to 65535 (an optional "+", zeros in
// front) or a TCP service name the system knows.
bool isJumpPort(std::string_view port)
{
    std::string_view digits = port.starts_with('+') ? port.substr(1) : port;
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return isPortValid(std::string(digits));
    if (port.empty() || port.size() > 64 || port.front() == '+' || port.front() == '-')
        return false;
    struct servent entry {};
    struct servent* found = nullptr;
    char buffer[1024];
    return ::getservbyname_r(std::string(port).c_str(), "tcp", &entry, buffer, sizeof buffer, &found) == 0 && found &&
           found->s_port != 0;
}

enum class HopShape { ok, badPort, bad };

// One hop as ssh reads it: ssh://[user@]host[:port][/] with host a domain
// name, or [user@]host[:port] with the user up to the last "@" and host a
// name or anything in brackets. Parts that start with "-" would be read as
// options by the jump command.
HopShape hopShape(std::string_view hop)
{
    if (hop.empty() || hop.front() == '-' || hop.front() == '~')
        return HopShape::bad;
    if (hop.starts_with("ssh://")) {
        hop.remove_prefix(6);
        if (auto at = hop.find('@'); at != std::string_view::npos) {
            if (at == 0 || hop.front() == '-')
                return HopShape::bad;
            hop.remove_prefix(at + 1);
        }
        if (hop.ends_with('/'))
            hop.remove_suffix(1);
        const auto colon = hop.find(':');
        if (!isDomainName(hop.substr(0, colon)))
            return HopShape::bad;
        if (colon == std::string_view::npos || colon + 1 == hop.size())
            return HopShape::ok;
        const std::string_view port = hop.substr(colon + 1);
        if (port.find('/') != std::string_view::npos)
            return HopShape::bad;
        return isJumpPort(port) ? HopShape::ok : HopShape::badPort;
    }
    if (auto at = hop.rfind('@'); at != std::string_view::npos) {
        if (at == 0)
            return HopShape::bad;
        hop.remove_prefix(at + 1);
    }
    if (hop.empty() || hop.front() == '-' || hop.find('/') != std::string_view::npos)
        return HopShape::bad;
    std::string_view port;
    if (hop.starts_with('[')) {
        const auto close = hop.find(']');
        if (close == std::string_view::npos)
            return HopShape::bad;
        const std::string_view rest = hop.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return HopShape::bad;
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        const auto colon = hop.find(':');
        if (colon == 0)
            return HopShape::bad;
        if (colon != std::string_view::npos)
            port = hop.substr(colon + 1);
    }
    // An empty port is ssh's default one.
    return port.empty() || isJumpPort(port) ? HopShape::ok : HopShape::badPort;
}

std::optional<EntryProblem> proxyJumpProblem(std::string_view value)
{
    if (value.empty() || configtext::asciiLower(value) == "none")
        return std::nullopt;
    if (value.find_first_of(kHopUnsafe) != std::string_view::npos)
        return EntryProblem::make(ProblemCode::proxyJumpShape);
    bool badPort = false;
    for (std::size_t start = 0;;) {
        auto comma = value.find(',', start);
        switch (
            hopShape(value.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start))) {
        case HopShape::bad: return EntryProblem::make(ProblemCode::proxyJumpShape);
        case HopShape::badPort: badPort = true; break;
        case HopShape::ok: break;
        }
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (badPort)
        return EntryProblem::make(ProblemCode::proxyJumpPort);
    return std::nullopt;
}

// The line ending a text already uses, so that added lines match it.
std::string lineEndingOf(std::string_view text)
{
    auto lf = text.find('\n');
    return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

std::string withEnding(std::string_view text, const std::string& eol)
{
    if (eol == "\n")
        return std::string(text);
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += eol;
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace

SSHConfigWriter::SSHConfigWriter(SSHPaths paths, Clock clock) : paths_(std::move(paths)), clock_(std::move(clock))
{}

bool SSHConfigWriter::isWritableValue(std::string_view value)
{
    return configtext::isValidUtf8(value) && !configtext::containsControl(value) &&
           value.find_first_of("\"\\") == std::string_view::npos;
}

std::string SSHConfigWriter::quoteValue(const std::string& value)
{
    bool needsQuotes = configtext::containsWhitespace(value) || value.find('\'') != std::string::npos ||
                       (!value.empty() && value.front() == '#');
    return needsQuotes ? "\"" + value + "\"" : value;
}

std::vector<std::string> SSHConfigWriter::validate(const HostEntry& e, const std::set<std::string>& known) const
{
    std::vector<std::string> sentences;
    for (const EntryProblem& p : problems(e, known))
        sentences.push_back(describe(p));
    return sentences;
}

std::vector<EntryProblem> SSHConfigWriter::problems(const HostEntry& e, const std::set<std::string>& known) const
{
    using configtext::containsWhitespace;
    using P = ProblemCode;
    std::vector<EntryProblem> problems;
    auto add = [&](ProblemCode code, std::vector<std::string> arguments = {}) {
        problems.push_back(EntryProblem::make(code, std::move(arguments)));
    };

    if (e.alias.empty()) {
        add(P::aliasRequired);
    } else if (containsWhitespace(e.alias) || e.alias.find_first_of("*?!#\"'") != std::string::npos) {
        add(P::aliasBadCharacters);
    } else if (!isWritableValue(e.alias)) {
        add(P::aliasUnsafe);
    } else if (platform::containsHiddenCharacter(e.alias)) {
        // The sidebar and the tabs would draw it as another name.
        add(P::aliasInvisible);
    } else if (e.alias.front() == '-') {
        // ssh would take it for an option.
        add(P::aliasLeadingHyphen);
    } else if (e.alias.front() == '=') {
        // "Host =x" is read as "Host x".
        add(P::aliasLeadingEquals);
    } else if (e.alias.find_first_of(kDestinationSpecials) != std::string::npos) {
        add(P::aliasDestinationSpecials);
    } else if (known.count(e.alias)) {
        add(P::aliasExists, {e.alias});
    } else {
        std::string lower = configtext::asciiLower(e.alias);
        for (const std::string& k : known) {
            if (configtext::asciiLower(k) == lower) {
                add(P::aliasCaseClash, {e.alias, k});
                break;
            }
        }
    }

    if (e.hostName.empty())
        add(P::hostNameRequired);
    else if (containsWhitespace(e.hostName))
        add(P::hostNameSpaces);
    else if (!isWritableValue(e.hostName))
        add(P::hostNameUnsafe);

    if (containsWhitespace(e.user))
        add(P::userSpaces);
    else if (!isWritableValue(e.user))
        add(P::userUnsafe);

    if (!e.port.empty() && !isPortValid(e.port))
        add(P::portRange);

    if (!e.identityFile.empty()) {
        struct stat st {};
        if (!isWritableValue(e.identityFile))
            add(P::keyFileUnsafe);
        else if (::stat(paths_.expandTilde(e.identityFile).c_str(), &st) != 0)
            add(P::keyFileMissing, {e.identityFile});
    }

    if (containsWhitespace(e.proxyJump))
        add(P::proxyJumpSpaces);
    else if (!isWritableValue(e.proxyJump))
        add(P::proxyJumpUnsafe);
    else if (auto jump = proxyJumpProblem(e.proxyJump))
        problems.push_back(*jump);
    return problems;
}

std::string SSHConfigWriter::renderHostBlock(const HostEntry& e)
{
    std::string block = "Host " + e.alias + "\n";
    block += "    HostName " + quoteValue(e.hostName) + "\n";
    if (!e.user.empty())
        block += "    User " + quoteValue(e.user) + "\n";
    if (!e.port.empty() && e.port != "22")
        block += "    Port " + e.port + "\n";
    if (!e.identityFile.empty())
        block += "    IdentityFile " + quoteValue(e.identityFile) + "\n";
    if (!e.proxyJump.empty())
        block += "    ProxyJump " + quoteValue(e.proxyJump) + "\n";
    return block;
}

bool SSHConfigWriter::includePresentAtTop() const
{
    auto read = platform::readRegularFile(paths_.configPath(), kMaxSSHFileBytes);
    if (!read.ok() || !configtext::isValidUtf8(read.data))
        return false;
    for (std::string_view raw : configtext::splitAtLineBreaks(read.data)) {
        std::string_view line = configtext::trimSpacesTabs(raw);
        if (line.empty() || line.front() == '#')
            continue;
        std::string lower = configtext::asciiLower(line);
        for (const char* header : {"host ", "host\t", "host=", "match ", "match\t", "match="})
            if (lower.rfind(header, 0) == 0)
                return false;
        if (lower.rfind("include", 0) == 0 && line.find("quillmar_config") != std::string_view::npos)
            return true;
    }
    return false;
}

Result<std::string> SSHConfigWriter::readForEdit(const std::string& path) const
{
    const std::string name = baseName(path);
    auto read = platform::readRegularFile(path, kMaxSSHFileBytes);
    if (!read.ok())
        return ConfigError{"Couldn't read " + name + ": " + read.error->description() + "."};
    if (!configtext::isValidUtf8(read.data))
        return ConfigError{"Couldn't read " + name + ": it isn't UTF-8 text, so quillmar won't rewrite it."};
    return std::move(read.data);
}

Status SSHConfigWriter::ensureSSHDirectory() const
{
    const std::string dir = paths_.sshDirectory();
    if (somethingAt(dir))
        return Done{};
    if (int err = makeDirectories(dir, 0700))
        return ConfigError{"Couldn't create ~/.ssh: " + std::string(std::strerror(err)) + "."};
    return Done{};
}

Result<std::vector<platform::WriterLock>> SSHConfigWriter::lockFiles(const std::vector<LockRequest>& files) const
{
    struct Entry {
        std::string lockPath;
        const LockRequest* request;
    };
    std::vector<Entry> order;
    for (const LockRequest& f : files) {
        auto resolved = platform::resolveSymlinks(f.path);
        order.push_back({platform::lockPathFor(resolved.value_or(f.path)), &f});
    }
    std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) { return a.lockPath < b.lockPath; });
    std::vector<platform::WriterLock> held;
    for (const Entry& e : order) {
        platform::FileError error;
        auto lock = platform::WriterLock::acquire(e.request->path, &error);
        if (!lock) {
            // Where no lock file can be made, no writer can replace or delete
            // the file either; the edit then fails at that step with its own words.
            if (error.systemError == EACCES || error.systemError == EPERM || error.systemError == EROFS)
                continue;
            const std::string name = baseName(e.request->path);
            if (error.systemError == EWOULDBLOCK)
                return ConfigError::unchanged("Another quillmar window kept " + paths_.tildePath(e.request->path) +
                                              " busy for too long. Nothing was changed; try again.");
            return ConfigError{"Couldn't " + std::string(e.request->verb) + " " + name + ": " + error.description +
                               "."};
        }
        held.push_back(std::move(*lock));
    }
    return held;
}

Result<std::optional<std::string>> SSHConfigWriter::readIfPresent(const std::string& path) const
{
    if (!somethingAt(path))
        return std::optional<std::string>();
    // A file we can't read whole is never replaced.
    auto text = readForEdit(path);
    if (!text)
        return text.error();
    return std::optional<std::string>(std::move(text.value()));
}

std::string SSHConfigWriter::includeText(const std::optional<std::string>& old) const
{
    const std::string eol = lineEndingOf(old.value_or(""));
    std::string text = std::string(kIncludeComment) + eol + kIncludeLine + eol;
    if (old && !old->empty())
        text += eol + *old;
    return text;
}

Result<std::optional<std::string>> SSHConfigWriter::addInclude() const
{
    if (auto s = ensureSSHDirectory(); !s)
        return s.error();
    const std::string config = paths_.configPath();
    auto locks = lockFiles({{config}});
    if (!locks)
        return locks.error();
    auto old = readIfPresent(config);
    if (!old)
        return old.error();
    const std::string text = includeText(old.value());
    if (auto s = checkIncludeWithSSH(kOwnFileHeader); !s)
        return s.error();
    if (!old.value()) {
        if (auto s = replaceIfUnchanged(config, std::nullopt, text, false); !s)
            return s.error();
        return std::optional<std::string>();
    }
    auto copy = backupAndReplace(config, *old.value(), text);
    if (!copy)
        return copy.error();
    return std::optional<std::string>(copy.value());
}

namespace {

// `text` moved down so that its first line is line `line` (from 1) of the
// checked file, as in the real one, and ssh's line numbers stay true.
std::string placedAtLine(std::size_t line, std::string_view text)
{
    return std::string(line > 1 ? line - 1 : 0, '\n') + std::string(text);
}

std::size_t lineCount(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

Result<std::string> SSHConfigWriter::planAppend(const HostEntry& entry, const std::optional<std::string>& old,
                                                const std::set<std::string>& knownAliases) const
{
    std::string text = old ? *old : std::string(kOwnFileHeader);
    // Another window may have added the same alias since the caller looked.
    std::set<std::string> known = knownAliases;
    if (old)
        for (std::string& a :
             SSHConfigMerge::blockAliases(SSHConfigMerge::splitBlocks(ConfigDocument::parse(*old).lines).second))
            known.insert(std::move(a));
    HostEntry aliasOnly;
    aliasOnly.alias = entry.alias;
    aliasOnly.hostName = "-";
    if (auto found = problems(aliasOnly, known); !found.empty())
        return withNothingChanged(ConfigError{describe(found.front()), false, found.front()});

    const std::string eol = lineEndingOf(text);
    auto endsWith = [&](const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (!text.empty() && !endsWith("\n"))
        text += eol;
    if (!endsWith(eol + eol))
        text += eol;
    text += withEnding(renderHostBlock(entry), eol);
    return text;
}

Status SSHConfigWriter::appendHost(const HostEntry& entry) const
{
    if (auto s = ensureSSHDirectory(); !s)
        return s;
    const std::string own = paths_.ownConfigPath();
    auto locks = lockFiles({{own}});
    if (!locks)
        return locks.error();
    auto old = readIfPresent(own);
    if (!old)
        return old.error();
    auto text = planAppend(entry, old.value(), {});
    if (!text)
        return text.error();
    const std::string block = withEnding(renderHostBlock(entry), lineEndingOf(text.value()));
    const std::size_t at = lineCount(text.value()) - lineCount(block) + 1;
    if (auto s = checkWithSSH(placedAtLine(at, block), own, entry.alias); !s)
        return s;
    // A line the user added by hand meanwhile must not be written over.
    const auto& before = old.value();
    return replaceIfUnchanged(own, before ? std::optional<std::string_view>(*before) : std::nullopt, text.value(),
                              false);
}

Result<SSHConfigWriter::HostAdded> SSHConfigWriter::addHost(const HostEntry& entry,
                                                            const std::set<std::string>& knownAliases) const
{
    if (auto s = ensureSSHDirectory(); !s)
        return s.error();
    const std::string own = paths_.ownConfigPath();
    const std::string config = paths_.configPath();
    auto locks = lockFiles({{own}, {config}});
    if (!locks)
        return locks.error();

    // Everything is planned and checked from the files as they are now, under
    // the locks, before anything is written.
    auto oldOwn = readIfPresent(own);
    if (!oldOwn)
        return oldOwn.error();
    auto ownText = planAppend(entry, oldOwn.value(), knownAliases);
    if (!ownText)
        return ownText.error();
    const std::string block = withEnding(renderHostBlock(entry), lineEndingOf(ownText.value()));
    const std::size_t at = lineCount(ownText.value()) - lineCount(block) + 1;
    if (auto s = checkWithSSH(placedAtLine(at, block), own, entry.alias); !s)
        return s.error();

    HostAdded added;
    std::optional<std::string> oldConfig;
    std::string configText;
    const bool needInclude = !includePresentAtTop();
    if (needInclude) {
        auto read = readIfPresent(config);
        if (!read)
            return read.error();
        oldConfig = std::move(read.value());
        configText = includeText(oldConfig);
        if (auto s = checkIncludeWithSSH(block, entry.alias); !s)
            return s.error();
    }

    const auto& before = oldOwn.value();
    if (before) {
        auto copy = makeBackup(own, *before, false);
        if (!copy)
            return copy.error();
        added.ownBackup = copy.value();
    }
    // A copy of a file that ends up unchanged is no backup of anything.
    auto dropOwnCopy = [&] {
        if (added.ownBackup)
            ::unlink(added.ownBackup->c_str());
    };
    if (auto s = replaceIfUnchanged(own, before ? std::optional<std::string_view>(*before) : std::nullopt,
                                    ownText.value(), false);
        !s) {
        dropOwnCopy();
        return s.error();
    }
    if (needInclude) {
        Status written = Done{};
        if (oldConfig) {
            auto copy = backupAndReplace(config, *oldConfig, configText);
            if (copy)
                added.configBackup = copy.value();
            else
                written = copy.error();
        } else {
            written = replaceIfUnchanged(config, std::nullopt, configText, false);
        }
        if (!written) {
            // Take the host out again so the save is all or nothing.
            const bool undone = before ? bool(replaceIfUnchanged(own, ownText.value(), *before, false))
                                       : bool(removeIfUnchanged(own, ownText.value()));
            if (undone)
                dropOwnCopy();
            return undone ? withNothingChanged(written.error()) : written.error();
        }
        added.includeAdded = true;
    }
    if (added.ownBackup)
        pruneBackups(baseName(own) + ".");
    return added;
}

std::string SSHConfigWriter::stampNow() const
{
    std::time_t now = clock_ ? clock_() : std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%m%d%Y-%H%M%S", &local);
    return buf;
}

Result<std::string> SSHConfigWriter::backup(const std::string& path) const
{
    auto source = platform::readRegularFile(path, kMaxSSHFileBytes);
    if (!source.ok())
        return ConfigError{"Couldn't back up " + baseName(path) + ": " + source.error->description() + "."};
    return backupBytes(path, source.data);
}

Result<std::string> SSHConfigWriter::backupBytes(const std::string& path, std::string_view bytes) const
{
    return makeBackup(path, bytes, true);
}

Result<std::string> SSHConfigWriter::makeBackup(const std::string& path, std::string_view bytes, bool prune) const
{
    const std::string name = baseName(path);
    auto fail = [&](const std::string& why) { return ConfigError{"Couldn't back up " + name + ": " + why + "."}; };
    const std::string dir = paths_.backupsDirectory();
    if (int err = makeDirectories(dir, 0700))
        return fail(std::strerror(err));

    const std::string stem = dir + "/" + name + "." + stampNow();
    for (int n = 1; n <= 1000; ++n) {
        std::string candidate = n == 1 ? stem : stem + "-" + std::to_string(n);
        if (somethingAt(candidate))
            continue;
        auto err = platform::createFileExclusively(candidate, bytes, 0600);
        if (!err) {
            if (prune)
                pruneBackups(name + ".");
            return candidate;
        }
        if (err->systemError != EEXIST)
            return fail(err->description);
    }
    return fail("too many copies with the same time stamp");
}

Status SSHConfigWriter::replaceIfUnchanged(const std::string& path, std::optional<std::string_view> expected,
                                           std::string_view newText, bool afterPreview) const
{
    platform::SafeWriteOptions options;
    options.modeWhenNew = 0600;
    auto err = platform::replaceFileIfUnchanged(path, expected, newText, options);
    if (!err)
        return Done{};
    const std::string shown = paths_.tildePath(path);
    if (err->replaced) {
        // Undoing failed: keep what was replaced where the user can find it.
        auto copy = backupBytes(path, *err->replaced);
        if (copy)
            return ConfigError{shown + " changed while it was being saved. Its text from just before is in " +
                               paths_.tildePath(copy.value()) + "."};
        return ConfigError{shown +
                           " changed while it was being saved, and its text from just before couldn't be kept: " +
                           copy.error().message};
    }
    if (err->changed) {
        if (afterPreview)
            return ConfigError::unchanged(shown +
                                          " changed since this preview. Nothing was changed; close and try again.");
        return ConfigError::unchanged(shown + " changed while it was being saved. Nothing was changed; try again.");
    }
    return ConfigError{"Couldn't write " + baseName(path) + ": " + err->description + "."};
}

Result<std::string> SSHConfigWriter::backupAndReplace(const std::string& path, std::string_view expected,
                                                      std::string_view newText) const
{
    // Pruned only once the copy is needed, so an abort costs no older copy.
    auto copy = makeBackup(path, expected, false);
    if (!copy)
        return copy.error();
    if (auto s = replaceIfUnchanged(path, expected, newText); !s) {
        ::unlink(copy.value().c_str());  // nothing was replaced, so there is nothing to keep
        return s.error();
    }
    pruneBackups(baseName(path) + ".");
    return copy.value();
}

Status SSHConfigWriter::removeIfUnchanged(const std::string& path, std::string_view expected) const
{
    auto err = platform::removeFileIfUnchanged(path, expected);
    if (!err)
        return Done{};
    const std::string shown = paths_.tildePath(path);
    if (err->replaced) {
        auto copy = backupBytes(path, *err->replaced);
        return ConfigError{shown + " changed while it was being deleted." +
                           (copy ? " Its text from just before is in " + paths_.tildePath(copy.value()) + "."
                                 : std::string(" Its text from just before couldn't be kept."))};
    }
    if (err->changed)
        return ConfigError::unchanged(shown + " changed since this preview. Nothing was changed; close and try again.");
    return ConfigError{"Couldn't delete " + baseName(path) + ": " + err->description + "."};
}

void SSHConfigWriter::pruneBackups(const std::string& prefix) const
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
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat st {};
        std::int64_t modified = INT64_MIN;  // unreadable dates sort last
        if (::lstat((dir + "/" + name).c_str(), &st) == 0)
            modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        entries.push_back({std::move(name), modified});
    }
    ::closedir(d);
    if (entries.size() <= kBackupsKept)
        return;
    // Names first, so that equal dates give the same order on every run.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.modifiedNs > b.modifiedNs; });
    for (std::size_t i = kBackupsKept; i < entries.size(); ++i)
        ::unlink((dir + "/" + entries[i].name).c_str());
}

Status SSHConfigWriter::writeAtomically(std::string_view text, const std::string& path) const
{
    platform::SafeWriteOptions options;
    options.modeWhenNew = 0600;
    if (auto err = platform::replaceFileAtomically(path, text, options))
        return ConfigError{"Couldn't write " + baseName(path) + ": " + err->description + "."};
    return Done{};
}

Status SSHConfigWriter::writeSSHConfig(std::string_view text) const
{
    if (auto s = checkWithSSH(text, paths_.configPath()); !s)
        return s;
    return writeAtomically(text, paths_.configPath());
}

Status SSHConfigWriter::checkWithSSH(std::string_view newText, const std::string& path, std::string_view alias) const
{
    return SSHConfigCheck(sshExecutable_, paths_.home()).check(newText, paths_.tildePath(path), alias);
}

Status SSHConfigWriter::checkIncludeWithSSH(std::string_view included, std::string_view alias) const
{
    return SSHConfigCheck(sshExecutable_, paths_.home())
        .checkInclude(included, paths_.tildePath(paths_.configPath()), alias);
}

}  // namespace quillmar
