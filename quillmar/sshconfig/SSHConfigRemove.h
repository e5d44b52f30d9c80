#pragma once

#include "quillmar/sshconfig/ConfigDocument.h"
#include "quillmar/sshconfig/ConfigError.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// Takes one alias out of ~/.ssh/config or ~/.ssh/quillmar_config: locate the
// files that define it, plan the new text with a preview, apply the plan.
class SSHConfigRemove {
public:
    using RemoveError = ConfigError;
    using DiffLine = quillmar::DiffLine;

    struct Location {
        std::string path;
        bool editable = false;  // only ~/.ssh/config and ~/.ssh/quillmar_config are

        bool operator==(const Location&) const = default;
    };

    // Taking the Include line of the own file out of ~/.ssh/config.
    struct Cleanup {
        std::string configOriginal;
        std::string configNewText;
        std::vector<DiffLine> configDiff;
    };

    struct Change {
        Location location;
        std::string original;
        std::string newText;
        std::vector<DiffLine> diff;
        bool onlyNameRemoved = false;  // no whole block goes
        std::optional<Cleanup> cleanup;
        std::string alias;
    };

    struct TextEdit {
        std::string newText;
        std::vector<DiffLine> diff;
        bool onlyNameRemoved = false;
    };

    struct CleanupEdit {
        std::string newText;
        std::vector<DiffLine> diff;
    };

    explicit SSHConfigRemove(SSHConfigWriter writer);

    // Every file defining the alias, in the order OpenSSH reads them.
    std::vector<Location> locate(const std::string& alias) const;
    std::string tildePath(const std::string& path) const { return writer_.paths().tildePath(path); }

    // None when nothing can be removed from that file.
    std::optional<Change> plan(const std::string& alias, const Location& location) const;

    static std::optional<TextEdit> removeFromText(std::string_view text, const std::string& alias);
    // None when the header of ~/.ssh/config has no Include line of the own file alone.
    std::optional<CleanupEdit> cleanupConfig(std::string_view text) const;

    // Backs up and writes the planned texts, holding the files' locks
    // throughout. When another window changed a file since the plan, the same
    // removal is planned again on its text as it is now, provided it takes
    // out exactly the lines the preview showed; ssh checks the lines quillmar
    // writes. Gives the backups made, in order.
    Result<std::vector<std::string>> apply(const Change& change) const;

private:
    // The planned removal, planned again on the files as they are now.
    Result<Change> replan(const Change& planned, std::string text) const;

    SSHConfigWriter writer_;
};

}  // namespace quillmar
