#pragma once

#include "quillmar/app/shell/BackgroundSave.h"
#include "quillmar/sshconfig/SSHConfigRemove.h"
#include "quillmar/sshconfig/SSHHostStore.h"

#include <QDialog>

#include <optional>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace quillmar {

// The window-modal sheet that takes a host out of the SSH files: it lists
// every file that defines the alias (those quillmar doesn't edit read-only),
// previews the chosen file's change as a line diff, removes the host with a
// backup, says what happened and has the host list read again.
class RemoveHostSheet final : public QDialog {
    Q_OBJECT

public:
    RemoveHostSheet(const QString& alias, SSHHostStore& hosts, QWidget* parent = nullptr);

    QString alias() const { return alias_; }
    const std::vector<SSHConfigRemove::Location>& locations() const { return locations_; }
    std::optional<int> chosen() const { return chosen_; }
    // Plans the removal from that file and shows its preview.
    void choose(int index);
    // Applies the preview on a worker; the files must still hold the lines
    // it shows. removalFinished tells how it ended.
    void remove();
    bool removing() const { return saving_.running(); }

    QListWidget* locationList() const { return list_; }
    QPlainTextEdit* diffView() const { return diff_; }
    QPushButton* removeButton() const { return removeButton_; }
    QPushButton* closeButton() const { return closeButton_; }
    QString noteText() const;
    std::optional<QString> resultText() const { return result_; }
    std::optional<QString> errorText() const { return error_; }

signals:
    void removalFinished(bool removed);

private:
    void load();
    void refresh();
    void finishRemoval(const Result<std::vector<std::string>>& applied);

    QString alias_;
    QString shownAlias_;  // as the sidebar shows it
    SSHHostStore& hosts_;
    SSHConfigRemove remover_;
    std::vector<SSHConfigRemove::Location> locations_;
    std::optional<int> chosen_;
    std::optional<SSHConfigRemove::Change> change_;
    std::optional<QString> result_;
    std::optional<QString> error_;
    BackgroundSave saving_;

    QLabel* note_ = nullptr;
    QListWidget* list_ = nullptr;
    QPlainTextEdit* diff_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
};

}  // namespace quillmar
