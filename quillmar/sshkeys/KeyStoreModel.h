#pragma once

#include "quillmar/sshkeys/AgentListing.h"
#include "quillmar/sshkeys/AgentStatus.h"
#include "quillmar/sshkeys/KeyScanner.h"
#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <set>
#include <string>
#include <vector>

namespace quillmar {

// The key store's state and rules without the event loop: the Qt store owns
// one, drives it from its timer and worker, and turns Changes into signals.
class KeyStoreModel {
public:
    // Which observed properties really changed.
    struct Changes {
        bool keys = false;
        bool agent = false;
        bool agentFingerprints = false;
        Changes& operator|=(const Changes& o)
        {
            keys |= o.keys;
            agent |= o.agent;
            agentFingerprints |= o.agentFingerprints;
            return *this;
        }
    };
    struct Tick {
        Changes changes;
        bool reloaded = false;  // the reload wants an agent query
        bool agentDue = false;  // every fifth tick asks the agent too
    };

    explicit KeyStoreModel(KeyScanner scanner);

    const std::vector<SSHKeyInfo>& keys() const { return keys_; }
    const AgentStatus& agent() const { return agent_; }
    const std::set<std::string>& agentFingerprints() const { return agentFingerprints_; }
    const DirectorySignature& signature() const { return signature_; }
    int ticks() const { return ticks_; }
    const KeyScanner& scanner() const { return scanner_; }

    // New signature, rescan, loaded flags from the last agent answer. The
    // caller then starts an agent query.
    Changes reload();
    Tick timerTick();
    Changes applyAgentListing(const AgentListing& listing);
    Changes markLoaded();

private:
    bool setKeys(std::vector<SSHKeyInfo> keys);
    void markLoadedIn(std::vector<SSHKeyInfo>& keys) const;

    KeyScanner scanner_;
    std::vector<SSHKeyInfo> keys_;
    AgentStatus agent_ = AgentStatus::unknownYet();
    std::set<std::string> agentFingerprints_;
    DirectorySignature signature_;
    int ticks_ = 0;
};

}  // namespace quillmar
