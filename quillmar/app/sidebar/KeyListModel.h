#pragma once

#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <QAbstractListModel>

#include <vector>

namespace quillmar {

class SSHKeyStore;

enum class KeyDot { danger, loaded, idle };
// Danger for a key without files or with a private file open to group or
// others (even when loaded), else loaded when the agent holds it.
KeyDot keyDot(const SSHKeyInfo& key);

// The key pairs of a key store as rows: the name, hidden characters spelt
// out, as display text, the dot's colour as decoration. One per store, shared by the sidebar and the Keys
// pane; it follows the keys and what the agent holds.
class KeyListModel final : public QAbstractListModel {
    Q_OBJECT

public:
    // The store's model, made on first use; it goes with the store.
    static KeyListModel* of(SSHKeyStore& store);

    const std::vector<SSHKeyInfo>& keys() const { return keys_; }
    // The key whose id this is, or null.
    const SSHKeyInfo* keyWithID(const std::string& id) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    KeyListModel(SSHKeyStore& store, QObject* parent);
    void reload();

    SSHKeyStore& store_;
    // A copy: views ask between the store's change and this model's reset.
    std::vector<SSHKeyInfo> keys_;
};

}  // namespace quillmar
