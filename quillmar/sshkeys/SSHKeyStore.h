#pragma once

#include "quillmar/sshkeys/AgentListing.h"
#include "quillmar/sshkeys/AgentStatus.h"
#include "quillmar/sshkeys/KeyStoreModel.h"
#include "quillmar/sshkeys/KeyStoreSettings.h"
#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <QObject>
#include <QTimer>

#include <set>
#include <string>
#include <vector>

namespace quillmar {

// The user's key pairs and the agent's state for the views, kept current by a
// poll. Main thread only; the agent listing alone runs on a worker.
class SSHKeyStore : public QObject {
    Q_OBJECT

public:
    explicit SSHKeyStore(QObject* parent = nullptr);
    explicit SSHKeyStore(KeyStoreSettings settings, QObject* parent = nullptr);
    ~SSHKeyStore() override;

    const std::vector<SSHKeyInfo>& keys() const { return model_.keys(); }
    const AgentStatus& agent() const { return model_.agent(); }
    const std::set<std::string>& agentFingerprints() const { return model_.agentFingerprints(); }
    const KeyStoreSettings& settings() const { return settings_; }

    // Rescan now and ask the agent again; the shell calls it when a tool tab ends.
    void reload();
    // Ask the agent in the background. While one listing runs, further asks
    // fold into a single rerun after it, so the answer is never older than the ask.
    void queryAgent();
    bool agentQueryRunning() const { return queryRunning_; }

    void timerTick();

signals:
    void keysChanged();
    void agentChanged();
    void agentFingerprintsChanged();

private:
    void applyAgentListing(const AgentListing& listing);
    void publish(const KeyStoreModel::Changes& changes);

    KeyStoreSettings settings_;
    KeyStoreModel model_;
    QTimer timer_;
    bool queryRunning_ = false;
    bool queryPending_ = false;
};

}  // namespace quillmar
