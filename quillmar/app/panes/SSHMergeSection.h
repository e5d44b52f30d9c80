#pragma once

#include "quillmar/app/shell/BackgroundSave.h"
#include "quillmar/sshconfig/SSHConfigMerge.h"

#include <QWidget>

#include <map>
#include <optional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;

namespace quillmar {

// "Merge into my SSH config": plans the merge, shows what both files become
// and each conflict with the user's choice, and applies it. A write happens
// only while both files still hold what the preview shows (hosts another
// window added to the own file meanwhile move along); otherwise the merge is
// planned again and nothing is written.
class SSHMergeSection : public QWidget {
    Q_OBJECT

public:
    SSHMergeSection(SSHConfigWriter writer, QWidget* parent = nullptr);

    QPushButton* startButton() const { return start_; }
    QPushButton* applyButton() const { return apply_; }
    QLabel* statusLabel() const { return status_; }
    QPlainTextEdit* configDiff() const { return configDiff_; }
    QPlainTextEdit* ownDiff() const { return ownDiff_; }
    const std::optional<SSHConfigMerge::Plan>& plan() const { return plan_; }
    // The conflicts' choices; a conflict without one is not yet decided.
    const std::map<std::string, SSHConfigMerge::Keep>& choices() const { return choices_; }
    void choose(const std::string& alias, SSHConfigMerge::Keep keep);

    // Plans the merge and shows its preview (the button's action).
    void startMerge();
    // Writes the previewed merge on a worker; false when nothing was
    // started. mergeFinished tells how a started merge ended.
    bool applyMerge();
    bool saving() const { return saving_.running(); }
    // The SSH files changed on disk: a "nothing to merge" note that no
    // longer holds goes.
    void filesChanged();

signals:
    // Files were written (the backups list has grown).
    void merged();
    void mergeFinished(bool written);

private:
    void finishMerge(const Result<SSHConfigMerge::Applied>& applied);
    void setBusy(bool busy);
    void rebuildConflicts();
    void refreshPreview();
    void setStatus(const QString& text, bool error);

    SSHConfigMerge merge_;
    std::string ownPath_;
    BackgroundSave saving_;
    QPushButton* start_ = nullptr;
    QPushButton* apply_ = nullptr;
    QLabel* status_ = nullptr;
    QWidget* conflictsBox_ = nullptr;
    QVBoxLayout* conflictsLayout_ = nullptr;
    QWidget* previewBox_ = nullptr;
    QPlainTextEdit* configDiff_ = nullptr;
    QPlainTextEdit* ownDiff_ = nullptr;
    std::optional<SSHConfigMerge::Plan> plan_;
    std::map<std::string, SSHConfigMerge::Keep> choices_;
    std::optional<SSHConfigMerge::Preview> preview_;
};

}  // namespace quillmar
