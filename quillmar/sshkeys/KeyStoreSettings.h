#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quillmar {

// Where the key store looks and how it asks the agent. Tests point these at
// a temporary home, a stand-in ssh-add and their own agent.
struct KeyStoreSettings {
    std::string home;  // without a trailing slash
    std::string userName;
    std::string sshAddPath = "/usr/bin/ssh-add";
    // Replaces SSH_AUTH_SOCK for the listing when set; otherwise ours is inherited.
    std::optional<std::string> authSocket;
    std::chrono::milliseconds agentTimeLimit{5000};
    std::chrono::milliseconds pollInterval{2000};

    // Home from $HOME (else the password database) and the login name.
    static KeyStoreSettings forCurrentUser();
};

}  // namespace quillmar
