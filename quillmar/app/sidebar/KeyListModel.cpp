#include "quillmar/app/sidebar/KeyListModel.h"

#include "quillmar/app/style/Metro.h"
#include "quillmar/sshkeys/SSHKeyStore.h"
#include "ravelgrid/view/PlainText.h"

namespace quillmar {

KeyDot keyDot(const SSHKeyInfo& key)
{
    if (!key.hasPrivate && !key.hasPublic)
        return KeyDot::danger;
    if (key.hasPrivate && key.privatePerms && (*key.privatePerms & 0077) != 0)
        return KeyDot::danger;
    return key.loaded ? KeyDot::loaded : KeyDot::idle;
}

KeyListModel* KeyListModel::of(SSHKeyStore& store)
{
    if (auto* model = store.findChild<KeyListModel*>(QString(), Qt::FindDirectChildrenOnly))
        return model;
    return new KeyListModel(store, &store);
}

KeyListModel::KeyListModel(SSHKeyStore& store, QObject* parent) : QAbstractListModel(parent), store_(store)
{
    connect(&store_, &SSHKeyStore::keysChanged, this, &KeyListModel::reload);
    connect(&store_, &SSHKeyStore::agentFingerprintsChanged, this, &KeyListModel::reload);
    keys_ = store_.keys();
}

void KeyListModel::reload()
{
    beginResetModel();
    keys_ = store_.keys();
    endResetModel();
}

const SSHKeyInfo* KeyListModel::keyWithID(const std::string& id) const
{
    for (const auto& key : keys_) {
        if (key.id() == id)
            return &key;
    }
    return nullptr;
}

int KeyListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(keys_.size());
}

QVariant KeyListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || std::size_t(index.row()) >= keys_.size())
        return {};
    const SSHKeyInfo& key = keys_[std::size_t(index.row())];
    switch (role) {
    // A file name: nothing in it may hide or turn the letters around it.
    case Qt::DisplayRole: return ravelgrid::revealHiddenCharacters(QString::fromStdString(key.name));
    case Qt::DecorationRole:
        switch (keyDot(key)) {
        case KeyDot::danger: return Metro::danger();
        case KeyDot::loaded: return Metro::success();
        case KeyDot::idle: {
            QColor idle = Metro::mutedText();
            idle.setAlphaF(0.4f);
            return idle;
        }
        }
        return {};
    default: return {};
    }
}

}  // namespace quillmar
