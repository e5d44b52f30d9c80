#pragma once

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/SessionTarget.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/KeyListModel.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QToolButton;

namespace quillmar {

class RemoveHostSheet;

// What the sidebar list can select: a host alias or the local shell row.
struct SidebarItem {
    enum class Kind { host, local };
    Kind kind = Kind::local;
    QString alias;

    static SidebarItem host(const QString& alias) { return {Kind::host, alias}; }
    static SidebarItem local() { return {}; }
    SessionTarget target() const { return kind == Kind::host ? SessionTarget::ssh(alias) : SessionTarget::local(); }
    bool operator==(const SidebarItem&) const = default;
};

// The host whose removal sheet is shown.
struct RemoveHostTarget {
    QString alias;
};

// The aliases whose lower-case form holds the filter, trimmed of spaces and
// tabs and lower-cased; every alias for an empty filter. Store order kept.
QStringList filteredHosts(const QStringList& aliases, const QString& filter);

// An alias ssh would read as an option can't be opened, so it isn't listed.
bool isListableAlias(const QString& alias);

// True when an open session runs this target and has not ended.
bool hasRunningSession(const Workspace& workspace, const SessionTarget& target);

// Rows of session targets (the local row, the host rows) with their
// running dots. Display text is the label; UserRole the alias.
class SessionRowModel final : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr int runningRole = Qt::UserRole + 1;

    using QAbstractListModel::QAbstractListModel;

    // A host row per alias.
    void setAliases(QStringList aliases);
    // One local row with this label.
    void setLocal(const QString& label);
    // Recomputes every dot from the workspace.
    void refreshRunning(const Workspace& workspace);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    SidebarItem item(int row) const;
    // The row of an item, or -1.
    int rowOf(const SidebarItem& item) const;

private:
    bool local_ = false;
    QString localLabel_;
    QStringList aliases_;
    std::vector<char> running_;
};

// The window's left column: brand header, filter field, the Local, SSH
// Hosts and Keys sections (each collapsible, remembered under "sidebar.*"),
// the place of the Snippets section, and the Settings button. A single click
// on a host or the local row brings its latest session to the front; a
// double-click or Return opens a new one.
class Sidebar final : public QWidget {
    Q_OBJECT

public:
    Sidebar(SSHHostStore& hosts, SSHKeyStore& keyStore, Workspace& workspace, UserSettings& settings,
            QWidget* parent = nullptr);
    ~Sidebar() override;

    QLineEdit* filterField() const { return filter_; }
    QListView* localList() const { return localList_; }
    QListView* hostList() const { return hostList_; }
    QListView* keyList() const { return keyList_; }
    QLabel* hostsEmptyText() const { return hostsEmpty_; }
    QLabel* keysEmptyText() const { return keysEmpty_; }
    // Why hosts of the config are left out; hidden when nothing is.
    QLabel* hostProblemsText() const { return hostsProblems_; }
    QToolButton* addHostButton() const { return addHost_; }
    QToolButton* keysHeaderButton() const { return keysHeader_; }
    QPushButton* settingsButton() const { return settingsButton_; }
    // Where the Snippets section goes: an empty slot until snippets exist.
    QWidget* snippetsSectionSlot() const { return snippetsSlot_; }
    QWidget* section(const QString& name) const;

    // The aliases listed now (after the filter).
    QStringList listedHosts() const;
    std::optional<SidebarItem> selectedItem() const { return selected_; }
    // As the list's own selection does: runs the follow action on a change.
    void setSelectedItem(const std::optional<SidebarItem>& item);

    // Double-click or Return: always a new tab.
    void openSelectedItem(const std::optional<SidebarItem>& item);
    // The entries the context menu of an item offers ("Remove host…" for a host).
    QStringList contextMenuEntries(const std::optional<SidebarItem>& item) const;
    void requestRemoval(const QString& alias);
    std::optional<RemoveHostTarget> removeTarget() const { return removeTarget_; }
    RemoveHostSheet* removeSheet() const;

    // Colours of the theme of its window (again on each palette change).
    void applyTheme();

signals:
    void selectedItemChanged();
    // Escape in an empty filter: the keyboard goes back to the active terminal.
    void leaveToTerminal();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void rebuildHosts();
    void rebuildKeys();
    void showHostProblems();
    void refreshRunning();
    void watchSessions();
    void followSelection(const std::optional<SidebarItem>& item);
    void selectFromView(QListView* view);
    void showContextMenu(QListView* view, const QPoint& pos);

    SSHHostStore& hosts_;
    SSHKeyStore& keyStore_;
    Workspace& workspace_;
    UserSettings& settings_;

    QLineEdit* filter_ = nullptr;
    QListView* localList_ = nullptr;
    QListView* hostList_ = nullptr;
    QListView* keyList_ = nullptr;
    QLabel* hostsEmpty_ = nullptr;
    QLabel* keysEmpty_ = nullptr;
    QLabel* hostsProblems_ = nullptr;
    QToolButton* addHost_ = nullptr;
    QToolButton* keysHeader_ = nullptr;
    QPushButton* settingsButton_ = nullptr;
    QWidget* snippetsSlot_ = nullptr;
    SessionRowModel localModel_;
    SessionRowModel hostModel_;
    KeyListModel* keyModel_ = nullptr;  // the key store's
    QWidget* filler_ = nullptr;
    QWidget* hostsSection_ = nullptr;
    std::optional<SidebarItem> selected_;
    std::optional<RemoveHostTarget> removeTarget_;
    QPointer<RemoveHostSheet> sheet_;
    bool syncingSelection_ = false;
};

}  // namespace quillmar
