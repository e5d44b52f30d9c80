#pragma once

#include "quillmar/sshkeys/AgentStatus.h"
#include "quillmar/sshkeys/KeyStoreSettings.h"

#include <optional>
#include <set>
#include <string>

namespace quillmar {

// One answer of `ssh-add -l -E sha256`: its exit status and its output, the
// output absent when the tool did not start, died or ran out of time.
struct AgentListing {
    int status = 0;
    std::optional<std::string> output;

    // Blocks for at most the settings' time limit; call off the main thread.
    static AgentListing runSSHAdd(const KeyStoreSettings& settings);
};

// What an answer means for the store.
struct AgentAnswer {
    AgentStatus status;
    std::set<std::string> fingerprints;

    static AgentAnswer from(const AgentListing& listing);
};

}  // namespace quillmar
