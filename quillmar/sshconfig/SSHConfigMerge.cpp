#include "quillmar/sshconfig/SSHConfigMerge.h"

#include "quillmar/sshconfig/ConfigText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <unistd.h>

namespace quillmar {

const char* const SSHConfigMerge::kMovedHeading = "# Hosts moved from ~/.ssh/quillmar_config by quillmar";
const char* const SSHConfigMerge::kMatchAllComment =
    "# Added by quillmar merge: keeps the settings below applying to every host";

namespace {

bool isConcreteAlias(const std::string& word)
{
    return !word.empty() && word.front() != '!' && word.find_first_of("*?") == std::string::npos;
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

// Takes `alias` off the Host lines of `blocks`; a block left without names goes.
void takeOut(std::vector<ConfigBlock>& blocks, const std::string& alias)
{
    std::vector<ConfigBlock> kept;
    for (ConfigBlock& block : blocks) {
        if (block.lines.empty())
            continue;
        auto parsed = SSHConfigMerge::parseLine(block.lines.front().text);
        if (parsed.keyword != "host" || std::find(parsed.args.begin(), parsed.args.end(), alias) == parsed.args.end()) {
            kept.push_back(std::move(block));
            continue;
        }
        std::vector<std::string> remaining;
        for (std::size_t i = 0; i < parsed.args.size(); ++i)
            if (parsed.args[i] != alias)
                remaining.push_back(parsed.rawArgs[i]);
        if (remaining.empty())
            continue;
        std::string line = parsed.indent + "Host " + joinWords(remaining);
        if (!parsed.comment.empty())
            line += " " + parsed.comment;
        block.lines.front().text = std::move(line);
        kept.push_back(std::move(block));
    }
    blocks = std::move(kept);
}

const char* const kOwnHeaderLines[] = {
    "# quillmar_config: hosts added in quillmar.",
    "# Pulled into ~/.ssh/config by its \"Include quillmar_config\" line.",
    "# You can edit this file by hand; quillmar re-reads it automatically.",
};

}  // namespace

SSHConfigMerge::ParsedLine SSHConfigMerge::parseLine(std::string_view line)
{
    ParsedLine out;
    std::size_t lead = 0;
    while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t'))
        ++lead;
    out.indent = std::string(line.substr(0, lead));
    std::string_view trimmed = configtext::trimSpacesTabs(line);
    if (trimmed.empty() || trimmed.front() == '#')
        return out;

    auto sep = trimmed.find_first_of(" \t=");
    if (sep == std::string_view::npos) {
        out.keyword = configtext::asciiLower(trimmed);
        return out;
    }
    out.keyword = configtext::asciiLower(trimmed.substr(0, sep));
    std::size_t i = sep;
    auto skipBlanks = [&] {
        while (i < trimmed.size() && (trimmed[i] == ' ' || trimmed[i] == '\t'))
            ++i;
    };
    skipBlanks();
    if (i < trimmed.size() && trimmed[i] == '=') {
        ++i;
        skipBlanks();
    }
    while (i < trimmed.size()) {
        skipBlanks();
        if (i >= trimmed.size())
            break;
        if (trimmed[i] == '#') {
            out.comment = std::string(trimmed.substr(i));
            break;
        }
        std::size_t start = i;
        bool quoted = false;
        std::string value;
        for (; i < trimmed.size() && (quoted || (trimmed[i] != ' ' && trimmed[i] != '\t')); ++i) {
            if (trimmed[i] == '"')
                quoted = !quoted;
            else
                value.push_back(trimmed[i]);
        }
        if (value.empty())
            continue;  // "" names nothing
        out.args.push_back(std::move(value));
        out.rawArgs.emplace_back(trimmed.substr(start, i - start));
    }
    return out;
}

std::pair<std::vector<ConfigLine>, std::vector<ConfigBlock>>
SSHConfigMerge::splitBlocks(const std::vector<ConfigLine>& lines)
{
    std::vector<ConfigLine> head;
    std::vector<ConfigBlock> blocks;
    for (const ConfigLine& line : lines) {
        std::string keyword = parseLine(line.text).keyword;
        if (keyword == "host" || keyword == "match")
            blocks.push_back(ConfigBlock{{line}});
        else if (blocks.empty())
            head.push_back(line);
        else
            blocks.back().lines.push_back(line);
    }
    return {std::move(head), std::move(blocks)};
}

std::vector<std::string> SSHConfigMerge::blockAliases(const std::vector<ConfigBlock>& blocks)
{
    std::vector<std::string> aliases;
    for (const ConfigBlock& block : blocks) {
        if (block.lines.empty())
            continue;
        auto parsed = parseLine(block.lines.front().text);
        if (parsed.keyword != "host")
            continue;
        for (const std::string& a : parsed.args)
            if (isConcreteAlias(a))
                aliases.push_back(a);
    }
    return aliases;
}

SSHConfigMerge::SSHConfigMerge(SSHConfigWriter writer) : writer_(std::move(writer))
{}

std::optional<SSHConfigMerge::Plan> SSHConfigMerge::plan() const
{
    if (!writer_.includePresentAtTop())
        return std::nullopt;
    auto own = writer_.readForEdit(writer_.paths().ownConfigPath());
    auto config = writer_.readForEdit(writer_.paths().configPath());
    if (!own || !config)
        return std::nullopt;
    Plan plan;
    plan.movingAliases = blockAliases(splitBlocks(ConfigDocument::parse(own.value()).lines).second);
    if (plan.movingAliases.empty())
        return std::nullopt;
    auto configAliases = blockAliases(splitBlocks(ConfigDocument::parse(config.value()).lines).second);
    std::set<std::string> inConfig(configAliases.begin(), configAliases.end());
    std::set<std::string> listed;
    for (const std::string& a : plan.movingAliases)
        if (inConfig.count(a) && listed.insert(a).second)
            plan.conflicts.push_back(a);
    return plan;
}

Result<SSHConfigMerge::Preview> SSHConfigMerge::preview(const std::map<std::string, Keep>& choices) const
{
    const SSHPaths& paths = writer_.paths();
    auto own = writer_.readForEdit(paths.ownConfigPath());
    auto config = writer_.readForEdit(paths.configPath());
    if (!own || !config)
        return ConfigError::unchanged("Couldn't read ~/.ssh/config or ~/.ssh/quillmar_config. Nothing was changed.");
    return previewFrom(std::move(config.value()), std::move(own.value()), choices);
}

Result<SSHConfigMerge::Preview> SSHConfigMerge::previewFrom(std::string configText, std::string ownText,
                                                            const std::map<std::string, Keep>& choices) const
{
    const SSHPaths& paths = writer_.paths();
    ConfigDocument ownDoc = ConfigDocument::parse(ownText);
    ConfigDocument configDoc = ConfigDocument::parse(configText);
    auto [ownHead, ownBlocks] = splitBlocks(ownDoc.lines);
    auto [configHead, configBlocks] = splitBlocks(configDoc.lines);

    // Conflicts in the order of the application file, so the message is stable.
    auto configAliases = blockAliases(configBlocks);
    std::set<std::string> inConfig(configAliases.begin(), configAliases.end());
    std::set<std::string> handled;
    for (const std::string& alias : blockAliases(ownBlocks)) {
        if (!inConfig.count(alias) || !handled.insert(alias).second)
            continue;
        auto choice = choices.find(alias);
        if (choice == choices.end())
            return ConfigError::unchanged("Choose which copy of " + alias + " to keep. Nothing was changed.");
        takeOut(choice->second == Keep::config ? ownBlocks : configBlocks, alias);
    }

    // The Include line; of a line that also names other files only our file goes.
    std::optional<std::size_t> includeAt;
    std::optional<ConfigLine> reducedInclude;
    for (std::size_t i = 0; i < configHead.size() && !includeAt; ++i) {
        auto parsed = parseLine(configHead[i].text);
        if (parsed.keyword != "include")
            continue;
        bool names = std::any_of(parsed.args.begin(), parsed.args.end(), [](const std::string& a) {
            return a.size() >= 15 && a.compare(a.size() - 15, 15, "quillmar_config") == 0;
        });
        if (!names)
            continue;
        std::vector<std::string> others;
        bool ours = false;
        for (std::size_t k = 0; k < parsed.args.size(); ++k) {
            const std::string& a = parsed.args[k];
            std::string resolved = a.rfind("~/", 0) == 0 ? paths.home() + a.substr(1)
                                   : a.front() == '/'    ? a
                                                         : paths.sshDirectory() + "/" + a;
            if (resolved == paths.ownConfigPath())
                ours = true;
            else
                others.push_back(parsed.rawArgs[k]);
        }
        if (!ours)
            break;  // names some other quillmar_config; not ours to edit
        includeAt = i;
        if (!others.empty()) {
            std::string text = parsed.indent + "Include " + joinWords(others);
            if (!parsed.comment.empty())
                text += " " + parsed.comment;
            reducedInclude = ConfigLine{std::move(text), configHead[i].ending};
        }
    }
    if (!includeAt)
        return ConfigError::unchanged(
            "The Include line for quillmar_config wasn't found at the top of ~/.ssh/config. Nothing was changed.");

    std::vector<ConfigLine> upper(configHead.begin(), configHead.begin() + static_cast<std::ptrdiff_t>(*includeAt));
    std::vector<ConfigLine> lower(configHead.begin() + static_cast<std::ptrdiff_t>(*includeAt) + 1, configHead.end());
    if (!upper.empty() && upper.back().text == SSHConfigWriter::kIncludeComment)
        upper.pop_back();
    if (!lower.empty() && configtext::trimSpacesTabs(lower.front().text).empty())
        lower.erase(lower.begin());
    if (reducedInclude)
        lower.insert(lower.begin(), *reducedInclude);
    bool globalSettings =
        std::any_of(lower.begin(), lower.end(), [](const ConfigLine& l) { return !parseLine(l.text).keyword.empty(); });

    // Settings written by hand above the first host of the application file
    // applied to every host at the Include line; they stay at that place.
    std::vector<ConfigLine> carried;
    for (const ConfigLine& l : ownHead) {
        bool header =
            std::find(std::begin(kOwnHeaderLines), std::end(kOwnHeaderLines), l.text) != std::end(kOwnHeaderLines);
        if (!header)
            carried.push_back(configDoc.newLine(l.text));
    }
    bool carriesSettings = std::any_of(carried.begin(), carried.end(),
                                       [](const ConfigLine& l) { return !parseLine(l.text).keyword.empty(); });
    if (!carriesSettings)
        carried.clear();
    while (!carried.empty() && configtext::isBlank(carried.front().text))
        carried.erase(carried.begin());
    while (!carried.empty() && configtext::isBlank(carried.back().text))
        carried.pop_back();

    Preview preview;
    std::vector<ConfigLine> out = upper;
    out.insert(out.end(), carried.begin(), carried.end());
    std::vector<ConfigLine> moved;
    for (const ConfigBlock& b : ownBlocks)
        for (const ConfigLine& l : b.lines)
            moved.push_back(configDoc.newLine(l.text));  // the config's breaks
    if (!moved.empty()) {
        out.push_back(configDoc.newLine(kMovedHeading));
        out.insert(out.end(), moved.begin(), moved.end());
        if (!configtext::trimSpacesTabs(moved.back().text).empty())
            out.push_back(configDoc.newLine(""));
        if (globalSettings) {
            out.push_back(configDoc.newLine(kMatchAllComment));
            out.push_back(configDoc.newLine("Match all"));
            preview.matchAllAdded = true;
        }
    }
    out.insert(out.end(), lower.begin(), lower.end());
    for (const ConfigBlock& b : configBlocks)
        out.insert(out.end(), b.lines.begin(), b.lines.end());

    // The result always ends with a line break.
    ConfigDocument joiner = configDoc;
    joiner.endedWithBreak = true;
    preview.newText = joiner.join(out);
    preview.configOriginal = std::move(configText);
    preview.ownOriginal = std::move(ownText);
    preview.choices = choices;
    preview.diff = lineDiff(lineTexts(configDoc.lines), lineTexts(out));
    preview.movedCount = static_cast<int>(blockAliases(ownBlocks).size());
    return preview;
}

Result<SSHConfigMerge::Applied> SSHConfigMerge::apply(const Preview& planned) const
{
    const SSHPaths& paths = writer_.paths();
    auto locks = writer_.lockFiles({{paths.ownConfigPath(), "delete"}, {paths.configPath()}});
    if (!locks)
        return locks.error();
    auto own = writer_.readForEdit(paths.ownConfigPath());
    auto config = writer_.readForEdit(paths.configPath());
    if (!own || !config)
        return ConfigError::unchanged("Couldn't read ~/.ssh/config or ~/.ssh/quillmar_config. Nothing was changed.");
    // Hosts another window appended to the own file since the preview move
    // along; any other change asks again, since the preview no longer shows it.
    if (config.value() != planned.configOriginal)
        return ConfigError::unchanged(
            "~/.ssh/config changed since this preview. Nothing was changed; close and try again.");
    if (!own.value().starts_with(planned.ownOriginal))
        return ConfigError::unchanged(
            "~/.ssh/quillmar_config changed since this preview. Nothing was changed; close and try again.");
    std::optional<Preview> rebuilt;
    if (own.value() != planned.ownOriginal) {
        auto again = previewFrom(std::move(config.value()), std::move(own.value()), planned.choices);
        if (!again)
            return again.error();
        rebuilt = std::move(again.value());
    }
    const Preview& preview = rebuilt ? *rebuilt : planned;

    // The merge moves the user's own lines; what it adds is its headings and
    // the Match all line.
    std::string added;
    for (const DiffLine& d : preview.diff)
        if (d.sign == '+' && (d.text == kMovedHeading || d.text == kMatchAllComment || d.text == "Match all"))
            added += d.text + "\n";
    if (auto s = writer_.checkWithSSH(added, paths.configPath()); !s)
        return s.error();

    Applied applied;
    applied.movedCount = preview.movedCount;
    applied.matchAllAdded = preview.matchAllAdded;
    auto ownCopy = writer_.backupBytes(paths.ownConfigPath(), preview.ownOriginal);
    if (!ownCopy)
        return ownCopy.error();
    auto configCopy = writer_.backupAndReplace(paths.configPath(), preview.configOriginal, preview.newText);
    if (!configCopy) {
        ::unlink(ownCopy.value().c_str());
        return configCopy.error();
    }
    applied.backups = {configCopy.value(), ownCopy.value()};
    if (auto s = writer_.removeIfUnchanged(paths.ownConfigPath(), preview.ownOriginal); !s) {
        // Put the config back so that a failure leaves both files as they were.
        if (writer_.replaceIfUnchanged(paths.configPath(), preview.newText, preview.configOriginal))
            return withNothingChanged(s.error());
        return ConfigError{"Hosts were merged, but quillmar_config couldn't be deleted (" + s.error().message +
                           ") A backup of it is in ~/.ssh/quillmar-backups/."};
    }
    return applied;
}

}  // namespace quillmar
