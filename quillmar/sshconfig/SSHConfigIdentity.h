#pragma once

#include "quillmar/sshconfig/ConfigDocument.h"
#include "quillmar/sshconfig/ConfigError.h"
#include "quillmar/sshconfig/SSHConfigRemove.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// Points one host at a key: sets the IdentityFile of the first Host block
// naming the alias, in the first file OpenSSH reads it from.
class SSHConfigIdentity {
public:
    using Location = SSHConfigRemove::Location;

    struct Change {
        Location location;
        std::string original;
        std::string newText;
        std::vector<DiffLine> diff;           // two lines
        std::vector<std::string> sharedWith;  // the other names of that Host line
        std::string alias;
        std::string keyPath;
    };

    enum class OutcomeKind { change, alreadySet, notEditable, notFound };

    struct Outcome {
        OutcomeKind kind = OutcomeKind::notFound;
        std::optional<Change> change;      // for change
        std::string tildePath;             // for alreadySet
        std::optional<Location> location;  // for notEditable
    };

    enum class EditKind { edited, alreadySet, notFound };

    struct BlockEdit {
        EditKind kind = EditKind::notFound;
        std::string newText;
        std::vector<DiffLine> diff;
        std::vector<std::string> sharedWith;
        std::string block;         // the Host block as it was, its lines joined
        std::size_t hostLine = 0;  // from 0, in the new text
        std::size_t keyLine = 0;
    };

    explicit SSHConfigIdentity(SSHConfigWriter writer);

    // Fails only for a key path that can't be written into a config.
    Result<Outcome> plan(const std::string& alias, const std::string& keyPath) const;

    BlockEdit editBlock(std::string_view text, const std::string& alias, const std::string& keyPath) const;

    // Backs up and writes the change, holding the file's lock throughout.
    // When another window changed the file since the plan, the change is
    // planned again on its text as it is now, provided the host's block is
    // still the one the preview showed; ssh checks the line quillmar writes,
    // with its Host line. Gives the backup.
    Result<std::string> apply(const Change& change) const;

private:
    SSHConfigWriter writer_;
};

}  // namespace quillmar
