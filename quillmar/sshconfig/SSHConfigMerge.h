#pragma once

#include "quillmar/sshconfig/ConfigDocument.h"
#include "quillmar/sshconfig/ConfigError.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar {

// A Host or Match line and the lines after it up to the next one.
struct ConfigBlock {
    std::vector<ConfigLine> lines;
};

// Folds ~/.ssh/quillmar_config back into ~/.ssh/config at the place of its
// Include line, then deletes it. Also home of the line tokeniser that every
// edit of an SSH file uses.
class SSHConfigMerge {
public:
    using MergeError = ConfigError;

    // One line, tokenised the way OpenSSH reads it: double quotes group words
    // and are dropped, an unquoted word starting with "#" starts a comment.
    struct ParsedLine {
        std::string keyword;               // lower case; empty for blank and comment lines
        std::vector<std::string> args;     // without quotes
        std::vector<std::string> rawArgs;  // as written, quotes and all
        std::string indent;                // leading spaces and tabs
        std::string comment;               // a trailing "#..." comment as written, or empty
    };
    static ParsedLine parseLine(std::string_view line);

    // The lines before the first Host or Match line, and the blocks.
    static std::pair<std::vector<ConfigLine>, std::vector<ConfigBlock>>
    splitBlocks(const std::vector<ConfigLine>& lines);

    // Concrete aliases (no wildcards, no negation) of the blocks' Host lines;
    // a name written twice is given twice.
    static std::vector<std::string> blockAliases(const std::vector<ConfigBlock>& blocks);

    enum class Keep { quillmar, config };

    struct Plan {
        std::vector<std::string> movingAliases;
        std::vector<std::string> conflicts;  // in the order of movingAliases, each once
    };

    // The merged text for the user's choices, and what the preview shows.
    struct Preview {
        std::string configOriginal;
        std::string ownOriginal;
        std::string newText;
        std::vector<DiffLine> diff;  // changes of ~/.ssh/config
        int movedCount = 0;
        bool matchAllAdded = false;
        std::map<std::string, Keep> choices;  // what it was built for
    };

    struct Applied {
        int movedCount = 0;
        bool matchAllAdded = false;
        std::vector<std::string> backups;  // of ~/.ssh/config, then of quillmar_config
    };

    explicit SSHConfigMerge(SSHConfigWriter writer);

    // Nothing when there is nothing to merge or the merge can't start.
    std::optional<Plan> plan() const;

    // Reads both files and builds the merged text; nothing is written.
    Result<Preview> preview(const std::map<std::string, Keep>& choices) const;

    // Writes a preview, holding both files' locks throughout. When another
    // window changed a file since, the merge is built again from the files as
    // they are now with the same choices. ssh checks the lines the merge adds.
    Result<Applied> apply(const Preview& preview) const;

    static const char* const kMovedHeading;
    static const char* const kMatchAllComment;

private:
    Result<Preview> previewFrom(std::string config, std::string own, const std::map<std::string, Keep>& choices) const;

    SSHConfigWriter writer_;
};

}  // namespace quillmar
