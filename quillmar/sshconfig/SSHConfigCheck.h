#pragma once

#include "quillmar/sshconfig/ConfigError.h"

#include <chrono>
#include <string>
#include <string_view>

namespace quillmar {

// Characters ssh refuses in a destination on its command line, plus "," (a
// Host line reads it as a list of patterns) and "@" (the command line splits
// a user off at it): a host named with one of them can't be reached by name.
inline constexpr std::string_view kDestinationSpecials = ",@$&;|<>(){}`";

// Asks OpenSSH itself whether it reads a planned config text, before that
// text replaces a file ssh reads. The text goes to a private temporary file
// and `ssh -G -F` reads it with HOME set to the edited home, so its own
// Include lines resolve against the real ~/.ssh as they will after the write.
class SSHConfigCheck {
public:
    SSHConfigCheck(std::string sshExecutable, std::string home);

    // Done when ssh reads `text` for `alias` (or a neutral name when the alias
    // can't be given to ssh) without complaint. When there is no ssh to ask
    // the check is skipped, so that a missing client does not stop all edits.
    // `shownPath` names the file in the sentence.
    Status check(std::string_view text, const std::string& shownPath, std::string_view alias) const;

    static constexpr const char* kDefaultSSH = "/usr/bin/ssh";
    // Runs on the thread that saves, often the main one.
    static constexpr std::chrono::milliseconds kTimeLimit{2000};

private:
    std::string ssh_;
    std::string home_;
};

}  // namespace quillmar
