#include "quillmar/sshkeys/KeyStoreModel.h"

namespace quillmar {

KeyStoreModel::KeyStoreModel(KeyScanner scanner) : scanner_(std::move(scanner))
{}

KeyStoreModel::Changes KeyStoreModel::reload()
{
    signature_ = scanner_.directorySignature();
    auto scanned = scanner_.scanKeys();
    markLoadedIn(scanned);
    Changes changes;
    changes.keys = setKeys(std::move(scanned));
    return changes;
}

KeyStoreModel::Tick KeyStoreModel::timerTick()
{
    Tick tick;
    ++ticks_;
    if (scanner_.directorySignature() != signature_) {
        tick.changes = reload();
        tick.reloaded = true;
    }
    tick.agentDue = ticks_ % 5 == 0;
    return tick;
}

KeyStoreModel::Changes KeyStoreModel::applyAgentListing(const AgentListing& listing)
{
    AgentAnswer answer = AgentAnswer::from(listing);
    Changes changes;
    changes.agent = !(answer.status == agent_);
    agent_ = answer.status;
    changes.agentFingerprints = answer.fingerprints != agentFingerprints_;
    if (changes.agentFingerprints)
        agentFingerprints_ = std::move(answer.fingerprints);
    changes |= markLoaded();
    return changes;
}

KeyStoreModel::Changes KeyStoreModel::markLoaded()
{
    auto marked = keys_;
    markLoadedIn(marked);
    Changes changes;
    changes.keys = setKeys(std::move(marked));
    return changes;
}

bool KeyStoreModel::setKeys(std::vector<SSHKeyInfo> keys)
{
    if (keys == keys_)
        return false;
    keys_ = std::move(keys);
    return true;
}

void KeyStoreModel::markLoadedIn(std::vector<SSHKeyInfo>& keys) const
{
    for (auto& key : keys)
        key.loaded = key.fingerprint && agentFingerprints_.contains(*key.fingerprint);
}

}  // namespace quillmar
