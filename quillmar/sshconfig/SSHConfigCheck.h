#pragma once

#include "quillmar/sshconfig/ConfigError.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quillmar {

// Characters ssh refuses in a destination on its command line, plus "," (a
// Host line reads it as a list of patterns) and "@" (the command line splits
// a user off at it): a host named with one of them can't be reached by name.
inline constexpr std::string_view kDestinationSpecials = ",@$&;|<>(){}`";

// Asks OpenSSH itself whether it reads the lines quillmar is about to write,
// before they go into a file ssh reads. Only those lines are checked, alone in
// a private temporary file read with `ssh -G -F`: none of the user's files is
// read, so none of their Match exec commands runs, and what ssh would refuse
// in our lines is still never written.
class SSHConfigCheck {
public:
    SSHConfigCheck(std::string sshExecutable, std::string home);

    // Done when ssh reads `text` for `alias` (or a neutral name when the alias
    // can't be given to ssh) without complaint. When there is no ssh to ask
    // the check is skipped, so that a missing client does not stop all edits.
    // `shownPath` names the file in the sentence.
    Status check(std::string_view text, const std::string& shownPath, std::string_view alias) const;

    // The Include line of the own host file as ssh reads it, with that file
    // holding `included` (what quillmar writes there): the line is checked
    // together with its target, still apart from the user's files.
    Status checkInclude(std::string_view included, const std::string& shownPath, std::string_view alias) const;

    static constexpr const char* kDefaultSSH = "/usr/bin/ssh";
    // The check reads only our own few lines, so this is ample even on a busy
    // machine; the callers run it off the window's thread.
    static constexpr std::chrono::milliseconds kTimeLimit{2000};

private:
    Status run(std::string_view text, std::optional<std::string_view> included, const std::string& shownPath,
               std::string_view alias) const;

    std::string ssh_;
    std::string home_;
};

}  // namespace quillmar
