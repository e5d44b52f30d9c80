#include "quillmar/sshconfig/SSHConfigIdentity.h"

#include "quillmar/sshconfig/SSHConfigMerge.h"

#include <algorithm>

namespace quillmar {

SSHConfigIdentity::SSHConfigIdentity(SSHConfigWriter writer) : writer_(std::move(writer))
{}

SSHConfigIdentity::BlockEdit SSHConfigIdentity::editBlock(std::string_view text, const std::string& alias,
                                                          const std::string& keyPath) const
{
    ConfigDocument doc = ConfigDocument::parse(text);
    std::vector<ConfigLine> lines = doc.lines;
    std::vector<SSHConfigMerge::ParsedLine> parsed;
    for (const ConfigLine& l : lines)
        parsed.push_back(SSHConfigMerge::parseLine(l.text));

    BlockEdit edit;
    std::size_t h = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (parsed[i].keyword == "host" &&
            std::find(parsed[i].args.begin(), parsed[i].args.end(), alias) != parsed[i].args.end()) {
            h = i;
            break;
        }
    }
    if (h == lines.size())
        return edit;
    std::size_t end = h + 1;
    while (end < lines.size() && parsed[end].keyword != "host" && parsed[end].keyword != "match")
        ++end;
    for (const std::string& name : parsed[h].args)
        if (name != alias)
            edit.sharedWith.push_back(name);
    for (std::size_t i = h; i < end; ++i)
        edit.block += lines[i].text + "\n";
    edit.hostLine = h;

    std::string indent = "    ";
    for (std::size_t i = h + 1; i < end; ++i) {
        if (!parsed[i].keyword.empty()) {
            indent = parsed[i].indent;
            break;
        }
    }
    const std::string value = SSHConfigWriter::quoteValue(keyPath);
    for (std::size_t i = h + 1; i < end; ++i) {
        if (parsed[i].keyword != "identityfile")
            continue;
        const SSHPaths& paths = writer_.paths();
        if (!parsed[i].args.empty() && paths.expandTilde(parsed[i].args.front()) == paths.expandTilde(keyPath)) {
            edit.kind = EditKind::alreadySet;
            return edit;
        }
        std::string line = parsed[i].indent + "IdentityFile " + value;
        edit.diff = {{'-', lines[i].text}, {'+', line}};
        lines[i].text = std::move(line);
        edit.kind = EditKind::edited;
        edit.keyLine = i;
        ConfigDocument joiner = doc;
        joiner.endedWithBreak = true;
        edit.newText = joiner.join(lines);
        return edit;
    }
    std::string line = indent + "IdentityFile " + value;
    edit.diff = {{' ', lines[h].text}, {'+', line}};
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(h) + 1, doc.newLine(std::move(line)));
    edit.kind = EditKind::edited;
    edit.keyLine = h + 1;
    edit.newText = doc.join(lines);
    return edit;
}

Result<SSHConfigIdentity::Outcome> SSHConfigIdentity::plan(const std::string& alias, const std::string& keyPath) const
{
    if (keyPath.empty() || !SSHConfigWriter::isWritableValue(keyPath))
        return ConfigError::unchanged("The key's path can't be written into an SSH config: it holds double quotes, "
                                      "backslashes or control characters. Nothing was changed.");
    Outcome outcome;
    SSHConfigRemove remover(writer_);
    auto locations = remover.locate(alias);
    if (locations.empty())
        return outcome;
    const Location& first = locations.front();
    if (!first.editable) {
        outcome.kind = OutcomeKind::notEditable;
        outcome.location = first;
        return outcome;
    }
    auto text = writer_.readForEdit(first.path);
    if (!text)
        return outcome;
    BlockEdit edit = editBlock(text.value(), alias, keyPath);
    switch (edit.kind) {
    case EditKind::notFound: return outcome;
    case EditKind::alreadySet:
        outcome.kind = OutcomeKind::alreadySet;
        outcome.tildePath = remover.tildePath(first.path);
        return outcome;
    case EditKind::edited: break;
    }
    outcome.kind = OutcomeKind::change;
    outcome.change = Change{first,
                            std::move(text.value()),
                            std::move(edit.newText),
                            std::move(edit.diff),
                            std::move(edit.sharedWith),
                            alias,
                            keyPath};
    return outcome;
}

Result<std::string> SSHConfigIdentity::apply(const Change& planned) const
{
    const std::string shown = writer_.paths().tildePath(planned.location.path);
    auto locks = writer_.lockFiles({{planned.location.path}});
    if (!locks)
        return locks.error();
    auto current = writer_.readForEdit(planned.location.path);
    if (!current)
        return ConfigError::unchanged("Couldn't read " + shown + ". Nothing was changed.");
    const ConfigError changed =
        ConfigError::unchanged(shown + " changed since this preview. Nothing was changed; close and try again.");
    if (planned.keyPath.empty()) {
        if (current.value() != planned.original)
            return changed;
    }
    Change change = planned;
    BlockEdit edit;
    if (!planned.keyPath.empty()) {
        edit = editBlock(current.value(), planned.alias, planned.keyPath);
        switch (edit.kind) {
        case EditKind::notFound:
            return ConfigError::unchanged(planned.alias + " is no longer in " + shown + ". Nothing was changed.");
        case EditKind::alreadySet:
            return ConfigError::unchanged(planned.alias + " already uses this key in " + shown +
                                          ". Nothing was changed.");
        case EditKind::edited: break;
        }
        // The user confirmed this block; an edit of it asks again.
        if (edit.diff != planned.diff ||
            edit.block != editBlock(planned.original, planned.alias, planned.keyPath).block)
            return changed;
        change.original = std::move(current.value());
        change.newText = edit.newText;
    }
    // ssh reads the Host line and the new IdentityFile line alone, on their own line numbers.
    const auto lines = ConfigDocument::parse(change.newText).lines;
    if (edit.kind == EditKind::edited && edit.keyLine < lines.size() && edit.hostLine < edit.keyLine) {
        const std::string checked = std::string(edit.hostLine, '\n') + lines[edit.hostLine].text + "\n" +
                                    std::string(edit.keyLine - edit.hostLine - 1, '\n') + lines[edit.keyLine].text +
                                    "\n";
        if (auto s = writer_.checkWithSSH(checked, change.location.path, change.alias); !s)
            return s.error();
    } else if (auto s = writer_.checkWithSSH(change.newText, change.location.path, change.alias); !s) {
        return s.error();
    }
    // The copy holds the bytes the change was planned from, and the file is
    // only replaced while it still holds them.
    return writer_.backupAndReplace(change.location.path, change.original, change.newText);
}

}  // namespace quillmar
