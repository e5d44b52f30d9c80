#pragma once

#include "quillmar/app/style/AppAppearance.h"
#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshconfig/SSHPaths.h"

#include <QDateTime>
#include <QScrollArea>
#include <QUrl>

#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QVBoxLayout;

namespace quillmar {

class SSHMergeSection;
class UserSettings;
class Workspace;

// The Settings pane: one scrolling column of sections (appearance, terminal,
// SSH files, merge, folder access, about). Every control writes its setting
// at once and follows the setting when it changes elsewhere. When shown, and
// whenever the workspace names a section, it scrolls to that section
// ("about" for About); with none named it starts at the top.
class SettingsView : public QScrollArea {
    Q_OBJECT

public:
    struct Options {
        // Whether the desktop prefers dark, for the "system" theme's previews.
        std::function<bool()> systemIsDark;
        // Shows a file or folder in the file manager (QDesktopServices by default).
        std::function<bool(const QUrl&)> openUrl;
    };

    SettingsView(Workspace& workspace, UserSettings& settings, SSHPaths paths, Options options,
                 QWidget* parent = nullptr);
    ~SettingsView() override;

    // The section of that id ("appearance", "terminal", "sshFiles", "merge",
    // "folderAccess", "about"), or null.
    QWidget* section(const QString& id) const;
    void scrollToSection(const QString& id);

    QRadioButton* themeButton(AppAppearance appearance) const;
    QRadioButton* exitPolicyButton(SessionExitPolicy policy) const;
    QComboBox* fontBox() const { return fontBox_; }
    QCheckBox* nerdOnlyBox() const { return nerdOnly_; }
    QSpinBox* sizeBox() const { return sizeBox_; }
    QComboBox* schemeBox() const { return schemeBox_; }
    QLabel* fontInUseLabel() const { return fontInUse_; }
    QListWidget* backupsList() const { return backups_; }
    SSHMergeSection* mergeSection() const { return merge_; }

    // Plain-language label of an exit policy.
    static QString exitPolicyLabel(SessionExitPolicy policy);

    struct Backup {
        QString path;
        QDateTime modified;
    };
    // The files of a backups folder, newest first (by modification time, then name).
    static std::vector<Backup> backupsNewestFirst(const QString& folder);

    // Re-reads the SSH files' state and the backups list.
    void refreshFiles();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* addSection(const QString& id, const QString& title);
    void buildAppearance();
    void buildTerminal();
    void buildFiles();
    void buildMerge();
    void buildFolderAccess();
    void buildAbout();
    void fillFonts();
    void fillSchemes();
    void syncFromSettings();
    void showFontInUse();
    void scrollToTarget();
    void pollFiles();

    Workspace& workspace_;
    UserSettings& settings_;
    SSHPaths paths_;
    Options options_;
    QVBoxLayout* column_ = nullptr;
    std::vector<std::pair<QString, QWidget*>> sections_;
    std::vector<std::pair<AppAppearance, QRadioButton*>> themeButtons_;
    std::vector<std::pair<SessionExitPolicy, QRadioButton*>> exitButtons_;
    QComboBox* fontBox_ = nullptr;
    QCheckBox* nerdOnly_ = nullptr;
    QSpinBox* sizeBox_ = nullptr;
    QComboBox* schemeBox_ = nullptr;
    QLabel* fontInUse_ = nullptr;
    QLabel* configState_ = nullptr;
    QLabel* ownState_ = nullptr;
    QLabel* backupsState_ = nullptr;
    QListWidget* backups_ = nullptr;
    std::vector<std::pair<QPushButton*, QString>> showButtons_;
    SSHMergeSection* merge_ = nullptr;
    FileSignature filesSignature_;
};

}  // namespace quillmar
