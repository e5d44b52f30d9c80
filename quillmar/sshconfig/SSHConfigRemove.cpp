#include "quillmar/sshconfig/SSHConfigRemove.h"

#include "quillmar/sshconfig/ConfigText.h"
#include "quillmar/sshconfig/SSHConfigMerge.h"
#include "quillmar/sshconfig/SSHConfigReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <unistd.h>

namespace quillmar {
namespace {

bool isHeader(const std::string& keyword)
{
    return keyword == "host" || keyword == "match";
}

std::string joinWords(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty())
            out += ' ';
        out += w;
    }
    return out;
}

}  // namespace

SSHConfigRemove::SSHConfigRemove(SSHConfigWriter writer) : writer_(std::move(writer))
{}

std::vector<SSHConfigRemove::Location> SSHConfigRemove::locate(const std::string& alias) const
{
    const SSHPaths& paths = writer_.paths();
    std::vector<std::string> found;
    SSHConfigReader(paths).findDefiningFiles(alias, paths.configPath(), 0, found);
    std::vector<Location> out;
    for (std::string& path : found) {
        bool editable = path == paths.configPath() || path == paths.ownConfigPath();
        out.push_back({std::move(path), editable});
    }
    return out;
}

std::optional<SSHConfigRemove::TextEdit> SSHConfigRemove::removeFromText(std::string_view text,
                                                                         const std::string& alias)
{
    ConfigDocument doc = ConfigDocument::parse(text);
    const auto& lines = doc.lines;
    const std::size_t n = lines.size();
    std::vector<SSHConfigMerge::ParsedLine> parsed;
    parsed.reserve(n);
    std::vector<std::size_t> headers;
    for (std::size_t i = 0; i < n; ++i) {
        parsed.push_back(SSHConfigMerge::parseLine(lines[i].text));
        if (isHeader(parsed.back().keyword))
            headers.push_back(i);
    }

    std::set<std::size_t> drop;
    std::map<std::size_t, std::string> replace;
    std::vector<DiffLine> diff;
    bool wholeBlock = false;
    for (std::size_t k = 0; k < headers.size(); ++k) {
        const std::size_t h = headers[k];
        const auto& p = parsed[h];
        if (p.keyword != "host" || std::find(p.args.begin(), p.args.end(), alias) == p.args.end())
            continue;
        std::vector<std::string> remaining;
        for (std::size_t a = 0; a < p.args.size(); ++a)
            if (p.args[a] != alias)
                remaining.push_back(p.rawArgs[a]);  // quoting as written
        if (!remaining.empty()) {
            std::string line = p.indent + "Host " + joinWords(remaining);
            if (!p.comment.empty())
                line += " " + p.comment;
            diff.push_back({'-', lines[h].text});
            diff.push_back({'+', line});
            replace[h] = std::move(line);
            continue;
        }
        const std::size_t end = k + 1 < headers.size() ? headers[k + 1] : n;
        std::size_t last = end - 1;
        while (last > h && parsed[last].keyword.empty())
            --last;
        for (std::size_t i = h; i <= last; ++i) {
            drop.insert(i);
            diff.push_back({'-', lines[i].text});
        }
        const std::size_t after = last + 1;
        if (after < n && configtext::isBlank(lines[after].text) && (h == 0 || configtext::isBlank(lines[h - 1].text)))
            drop.insert(after);
        wholeBlock = true;
    }
    if (diff.empty())
        return std::nullopt;

    std::vector<ConfigLine> out;
    for (std::size_t i = 0; i < n; ++i) {
        if (drop.count(i))
            continue;
        ConfigLine line = lines[i];
        if (auto r = replace.find(i); r != replace.end())
            line.text = r->second;
        out.push_back(std::move(line));
    }
    if (n > 0 && drop.count(n - 1))
        while (!out.empty() && configtext::isBlank(out.back().text))
            out.pop_back();

    if (wholeBlock && !out.empty()) {
        auto heading = std::find_if(out.begin(), out.end(),
                                    [](const ConfigLine& l) { return l.text == SSHConfigMerge::kMovedHeading; });
        if (heading != out.end()) {
            std::size_t m = static_cast<std::size_t>(heading - out.begin());
            std::size_t next = m + 1;
            while (next < out.size() && configtext::isBlank(out[next].text))
                ++next;
            bool hostFollows = next < out.size() && SSHConfigMerge::parseLine(out[next].text).keyword == "host";
            if (!hostFollows) {
                diff.push_back({'-', out[m].text});
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(m));
                if (m < out.size() && configtext::isBlank(out[m].text) &&
                    (m == 0 || configtext::isBlank(out[m - 1].text)))
                    out.erase(out.begin() + static_cast<std::ptrdiff_t>(m));
            }
        }
    }
    return TextEdit{doc.join(out), std::move(diff), !wholeBlock};
}

std::optional<SSHConfigRemove::CleanupEdit> SSHConfigRemove::cleanupConfig(std::string_view text) const
{
    const SSHPaths& paths = writer_.paths();
    ConfigDocument doc = ConfigDocument::parse(text);
    std::vector<ConfigLine> lines = doc.lines;
    if (lines.empty())
        return std::nullopt;
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < lines.size() && !found; ++i) {
        auto p = SSHConfigMerge::parseLine(lines[i].text);
        if (isHeader(p.keyword))
            return std::nullopt;
        if (p.keyword != "include")
            continue;
        bool names = std::any_of(p.args.begin(), p.args.end(), [](const std::string& a) {
            return a.size() >= 15 && a.compare(a.size() - 15, 15, "quillmar_config") == 0;
        });
        if (!names)
            continue;
        // A shared Include line is never edited, nor one naming another file.
        if (p.args.size() > 1)
            return std::nullopt;
        const std::string& a = p.args.front();
        std::string resolved = a.rfind("~/", 0) == 0 ? paths.home() + a.substr(1)
                               : a.front() == '/'    ? a
                                                     : paths.sshDirectory() + "/" + a;
        if (resolved != paths.ownConfigPath())
            return std::nullopt;
        found = i;
    }
    if (!found)
        return std::nullopt;

    std::vector<DiffLine> diff;
    std::size_t i = *found;
    if (i > 0 && lines[i - 1].text == SSHConfigWriter::kIncludeComment) {
        diff.push_back({'-', lines[i - 1].text});
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i - 1));
        --i;
    }
    diff.push_back({'-', lines[i].text});
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    if (i < lines.size() && configtext::isBlank(lines[i].text) && (i == 0 || configtext::isBlank(lines[i - 1].text)))
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    return CleanupEdit{doc.join(lines), std::move(diff)};
}

std::optional<SSHConfigRemove::Change> SSHConfigRemove::plan(const std::string& alias, const Location& location) const
{
    if (!location.editable)
        return std::nullopt;
    auto text = writer_.readForEdit(location.path);
    if (!text)
        return std::nullopt;
    auto edit = removeFromText(text.value(), alias);
    if (!edit)
        return std::nullopt;

    Change change;
    change.location = location;
    change.original = std::move(text.value());
    change.newText = std::move(edit->newText);
    change.diff = std::move(edit->diff);
    change.onlyNameRemoved = edit->onlyNameRemoved;
    change.alias = alias;

    const SSHPaths& paths = writer_.paths();
    if (location.path != paths.ownConfigPath() || change.onlyNameRemoved)
        return change;
    for (const ConfigLine& l : ConfigDocument::parse(change.newText).lines)
        if (!SSHConfigMerge::parseLine(l.text).keyword.empty())
            return change;
    auto config = writer_.readForEdit(paths.configPath());
    if (!config)
        return change;
    if (auto cleanup = cleanupConfig(config.value()))
        change.cleanup = Cleanup{std::move(config.value()), std::move(cleanup->newText), std::move(cleanup->diff)};
    return change;
}

Result<SSHConfigRemove::Change> SSHConfigRemove::replan(const Change& planned, std::string text) const
{
    const SSHPaths& paths = writer_.paths();
    const std::string shown = tildePath(planned.location.path);
    const ConfigError changed =
        ConfigError::unchanged(shown + " changed since this preview. Nothing was changed; close and try again.");
    Change change = planned;
    if (text != planned.original) {
        if (planned.alias.empty())
            return changed;
        auto edit = removeFromText(text, planned.alias);
        if (!edit)
            return ConfigError::unchanged(planned.alias + " is no longer in " + shown +
                                          "; it was removed meanwhile. Nothing was changed.");
        // The user confirmed these very lines; an edit of them asks again.
        if (edit->diff != planned.diff)
            return changed;
        change.original = std::move(text);
        change.newText = std::move(edit->newText);
        change.onlyNameRemoved = edit->onlyNameRemoved;
    }
    if (!planned.cleanup)
        return change;
    // The Include line goes only while the own file is left without hosts and
    // the line is still the one the preview showed.
    change.cleanup.reset();
    for (const ConfigLine& l : ConfigDocument::parse(change.newText).lines)
        if (!SSHConfigMerge::parseLine(l.text).keyword.empty())
            return change;
    auto config = writer_.readForEdit(paths.configPath());
    if (!config)
        return change;
    auto cleanup = cleanupConfig(config.value());
    if (!cleanup || cleanup->diff != planned.cleanup->configDiff)
        return change;
    change.cleanup = Cleanup{std::move(config.value()), std::move(cleanup->newText), std::move(cleanup->diff)};
    return change;
}

Result<std::vector<std::string>> SSHConfigRemove::apply(const Change& planned) const
{
    const SSHPaths& paths = writer_.paths();
    const std::string shown = tildePath(planned.location.path);
    std::vector<SSHConfigWriter::LockRequest> files{{planned.location.path, planned.cleanup ? "delete" : "write"}};
    if (planned.cleanup && planned.location.path != paths.configPath())
        files.push_back({paths.configPath()});
    auto locks = writer_.lockFiles(files);
    if (!locks)
        return locks.error();

    auto current = writer_.readForEdit(planned.location.path);
    if (!current)
        return ConfigError::unchanged("Couldn't read " + shown + ". Nothing was changed.");
    auto replanned = replan(planned, std::move(current.value()));
    if (!replanned)
        return replanned.error();
    const Change& change = replanned.value();

    // Only a Host line that keeps other names is written anew; lines that go
    // leave nothing for ssh to refuse.
    if (change.onlyNameRemoved) {
        std::string written;
        for (const DiffLine& d : change.diff)
            if (d.sign == '+')
                written += d.text + "\n";
        if (auto s = writer_.checkWithSSH(written, change.location.path); !s)
            return s.error();
    }

    std::vector<std::string> backups;
    if (!change.cleanup) {
        auto copy = writer_.backupAndReplace(change.location.path, change.original, change.newText);
        if (!copy)
            return copy.error();
        backups.push_back(copy.value());
        return backups;
    }

    auto ownCopy = writer_.backupBytes(change.location.path, change.original);
    if (!ownCopy)
        return ownCopy.error();
    auto configCopy =
        writer_.backupAndReplace(paths.configPath(), change.cleanup->configOriginal, change.cleanup->configNewText);
    if (!configCopy) {
        ::unlink(ownCopy.value().c_str());
        return configCopy.error();
    }
    backups = {ownCopy.value(), configCopy.value()};
    if (auto s = writer_.removeIfUnchanged(change.location.path, change.original); !s) {
        // Put the config back so that a failure leaves both files as they were.
        if (writer_.replaceIfUnchanged(paths.configPath(), change.cleanup->configNewText,
                                       change.cleanup->configOriginal))
            return withNothingChanged(s.error());
        return ConfigError{"The host and the Include line were removed, but quillmar_config couldn't be deleted (" +
                           s.error().message + ") It has no hosts, so it does nothing."};
    }
    return backups;
}

}  // namespace quillmar
