#pragma once

#include "quillmar/app/shell/BackgroundSave.h"
#include "quillmar/app/shell/KeyToolCommands.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"
#include "quillmar/sshkeys/SSHKeyInfo.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace quillmar {

class KeyListModel;
class SSHHostStore;
class SSHKeyStore;
class Workspace;

// The Keys pane: the key pairs of ~/.ssh with what is known of each, the
// agent's state, and the tools that make, install, use and load keys. The
// tools run in tool tabs; the pane never reads a private key.
class KeysView : public QWidget {
    Q_OBJECT
public:
    enum Column {
        nameColumn,
        typeColumn,
        fingerprintColumn,
        commentColumn,
        permissionsColumn,
        hostsColumn,
        agentColumn,
        columnCount
    };

    // Picks one of the hosts, or none when the user cancels.
    using ChooseHost = std::function<std::optional<QString>(const QString& title, const QStringList& aliases)>;
    using Confirm = std::function<bool(const QString& title, const QString& text)>;
    using OpenUrl = std::function<void(const QUrl&)>;

    KeysView(SSHKeyStore& keyStore, Workspace& workspace, SSHHostStore& hostStore, QWidget* parent = nullptr);

    void setChooseHost(ChooseHost choose) { chooseHost_ = std::move(choose); }
    void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }
    void setOpenUrl(OpenUrl open) { openUrl_ = std::move(open); }

    QTreeWidget* list() const { return list_; }
    QLabel* agentLabel() const { return agent_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* generateButton() const { return generate_; }
    std::optional<SSHKeyInfo> selectedKey() const;
    // The key of that file name, as stored (rows show it spelt out).
    void selectKey(const QString& name);

    // The actions, on the selected key.
    void copyPublicLine();
    void showInFileManager();
    void installOnHost();
    // Asks, then writes on a worker; useFinished tells how a started write ended.
    void useWithHost();
    bool saving() const { return saving_.running(); }
    void loadIntoAgent();
    void openGenerateSheet();
    // Refuses a bad name or comment with its sentence before anything runs.
    std::optional<QString> generateKey(const QString& name, KeyToolCommands::KeyType type, const QString& comment);

    static QString permissionsText(const SSHKeyInfo& key);

signals:
    void useFinished(bool written);

protected:
    void changeEvent(QEvent* event) override;

private:
    void finishUse(const QString& shownAlias, const QString& keyName, const Result<std::string>& applied);
    void rebuild();
    void showAgent();
    void updateButtons();
    QString sshDirectory() const;
    QStringList hostAliases() const;

    SSHKeyStore& keyStore_;
    KeyListModel* keys_ = nullptr;  // the store's, shared with the sidebar
    Workspace& workspace_;
    SSHHostStore& hostStore_;
    SSHConfigWriter writer_;
    ChooseHost chooseHost_;
    Confirm confirm_;
    OpenUrl openUrl_;
    QTreeWidget* list_ = nullptr;
    QLabel* agent_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* generate_ = nullptr;
    std::vector<QPushButton*> keyButtons_;
    BackgroundSave saving_{this};
};

}  // namespace quillmar
