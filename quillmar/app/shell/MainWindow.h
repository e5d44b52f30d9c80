#pragma once

#include "platform/Scheduler.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/KeyRouter.h"
#include "quillmar/app/shell/TabWidgets.h"
#include "quillmar/app/shell/TerminalHost.h"
#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/Sidebar.h"
#include "quillmar/app/style/SystemAppearance.h"
#include "quillmar/app/style/Theme.h"
#include "quillmar/snippets/SnippetStore.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <vector>

class QLabel;
class QStackedWidget;

namespace quillmar {

class SidebarSnippetsSection;
class SnippetInsertion;
class TabNumberBadges;
class TabStrip;

// The application's one window. It owns, in this order, the SSH host store,
// the key store, the snippet store, the workspace of tabs and the key
// router, and lays out a sidebar column, a tab-strip row and the detail
// stack, which holds one TerminalHost per session (only the active one
// shown) and the pane of an active tool tab. When first shown it opens a
// local shell and starts routing the window's shortcuts.
class MainWindow final : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int sidebarWidth = 230;
    static constexpr int tabStripHeight = 40;
    // The latest the snippets are read after the window is first shown.
    static constexpr int snippetReadDelayMs = 500;

    explicit MainWindow(UserSettings& settings = UserSettings::standard(), QWidget* parent = nullptr);
    // With a snippet store of the caller's (tests).
    MainWindow(UserSettings& settings, std::unique_ptr<SnippetStore> snippets, QWidget* parent = nullptr);
    ~MainWindow() override;

    UserSettings& settings() const { return settings_; }
    SSHHostStore& hosts() const { return *hosts_; }
    SSHKeyStore& keyStore() const { return *keyStore_; }
    SnippetStore& snippets() const { return *snippets_; }
    Workspace& workspace() { return workspace_; }
    KeyRouter& keys() { return keys_; }
    SystemAppearance& systemAppearance() { return systemAppearance_; }
    const Theme& theme() const { return theme_; }

    QWidget* sidebarColumn() const { return sidebarColumn_; }
    Sidebar* sidebar() const { return sidebar_; }
    QWidget* tabStripRow() const { return tabStripRow_; }
    QStackedWidget* detailStack() const { return detailStack_; }
    QLabel* emptyHint() const { return emptyHint_; }
    TabStrip* tabStrip() const { return tabStrip_; }
    TabNumberBadges* tabNumberBadges() const { return badges_; }
    SnippetInsertion& snippetInsertion() const { return *snippetInsertion_; }
    SidebarSnippetsSection* snippetsSection() const { return snippetsSection_; }

    TerminalHost* hostFor(const QUuid& sessionID) const;
    TerminalHost* activeHost() const;
    QWidget* toolPane(ToolTab tool) const;

    // The scheme and font every terminal gets now.
    const TerminalScheme& effectiveScheme() const;
    const ravelgrid::FontSet& terminalFont() const { return font_; }
    bool colourSchemeIsDark() const;

signals:
    void sessionEnded(const QString& description);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Asks first while a tab still runs a program; no answer keeps the window.
    void closeEvent(QCloseEvent* event) override;

private:
    void installKeyMonitor();
    void removeKeyMonitor();
    void loadSnippets();
    void syncPages();
    // The page of a new tab: a terminal host for a session, the pane of a tool.
    QWidget* makePage(const TabID& id);
    TerminalHost* makeHost(const std::shared_ptr<TerminalSession>& session);
    void dropPage(QWidget* page);
    std::vector<TerminalHost*> terminalHosts() const;
    void showActive();
    // A pane brought to the front takes the keyboard: its first field.
    void giveKeyboardTo(QWidget* page);
    QWidget* firstField(QWidget* page) const;
    void applySchemeToAll();
    void rebuildFont();
    // The workspace's close guard: a tab that still runs a program closes
    // only once the user agrees, asked from the event loop.
    bool allowTabClose(const TabID& id);
    bool confirmClose(const QString& text);
    void handleSessionExit(std::optional<std::int32_t> code, const std::shared_ptr<TerminalSession>& session);
    QWidget* makeToolPane(ToolTab tool);
    void refreshTitle();
    void showBadges();
    void placeBadges();

    UserSettings& settings_;
    platform::Scheduler& scheduler_;  // the event loop's clock
    std::unique_ptr<SSHHostStore> hosts_;
    std::unique_ptr<SSHKeyStore> keyStore_;
    std::unique_ptr<SnippetStore> snippets_;  // read once, when the window is first shown
    Workspace workspace_;
    KeyRouter keys_;
    SystemAppearance systemAppearance_;
    Theme theme_;  // before the widgets, which take its palette
    ravelgrid::FontSet font_;

    QWidget* root_ = nullptr;
    QWidget* sidebarColumn_ = nullptr;
    QWidget* sidebarLine_ = nullptr;
    Sidebar* sidebar_ = nullptr;
    QWidget* tabStripRow_ = nullptr;
    QWidget* tabLine_ = nullptr;
    QStackedWidget* detailStack_ = nullptr;
    QLabel* emptyHint_ = nullptr;
    QWidget* blankPage_ = nullptr;
    QWidget* detailColumn_ = nullptr;
    TabStrip* tabStrip_ = nullptr;
    TabNumberBadges* badges_ = nullptr;
    SnippetInsertion* snippetInsertion_ = nullptr;  // a child
    SidebarSnippetsSection* snippetsSection_ = nullptr;
    TabWidgets<QWidget> pages_;  // in the detail stack
    QPointer<QWidget> shownPage_;
    bool firstPromptLogged_ = false;
    bool snippetsRead_ = false;
    bool askingToClose_ = false;  // one close question at a time
};

}  // namespace quillmar
