#pragma once

#include "quillmar/app/shell/BackgroundSave.h"
#include "quillmar/sshconfig/HostEntry.h"
#include "quillmar/sshconfig/SSHConfigWriter.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quillmar {

class SSHHostStore;
class SSHKeyStore;
class Workspace;

// The Add host pane: the fields of one host, the writer's own messages beside
// them, the lines to be written, and Save. The first save asks before it puts
// the Include line at the top of ~/.ssh/config; each file is backed up before
// it changes, and a failed save leaves every file as it was.
class AddHostView : public QWidget {
    Q_OBJECT
public:
    using Field = EntryField;
    // Asked before the Include line goes in; gives whether to go on.
    using Confirm = std::function<bool(const QString& question)>;

    AddHostView(Workspace& workspace, SSHHostStore& hostStore, SSHKeyStore* keyStore = nullptr,
                QWidget* parent = nullptr);

    void setConfirm(Confirm confirm) { confirm_ = std::move(confirm); }

    HostEntry entry() const;
    QLineEdit* field(Field f) const;
    QComboBox* keyFileBox() const { return keyFile_; }
    QLabel* messageFor(Field f) const;
    QPlainTextEdit* preview() const { return preview_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* openButton() const { return open_; }
    QLabel* statusLabel() const { return status_; }
    QString savedAlias() const { return savedAlias_; }

    // Validates, asks about the Include line when due, then writes on a
    // worker thread, so ssh's check never holds up the window; Save stays
    // disabled meanwhile. False when nothing was started; saveFinished tells
    // how a started save ended.
    bool save();
    bool saving() const { return saving_.running(); }

    // The ssh that checks the new lines (tests).
    void setSSHExecutable(std::string path) { writer_.setSSHExecutable(std::move(path)); }

signals:
    void hostSaved(const QString& alias);
    void saveFinished(bool saved);

private:
    void refresh();
    void chooseKeyFile();
    void fillKeyFiles();
    void openSaved();
    void dropGoneHost();
    QString savedNote(const QString& alias) const;
    void fail(const ConfigError& error);
    void finishSave(const HostEntry& entry, const Result<SSHConfigWriter::HostAdded>& result);

    Workspace& workspace_;
    SSHHostStore& hostStore_;
    QPointer<SSHKeyStore> keyStore_;
    SSHConfigWriter writer_;
    Confirm confirm_;
    std::map<Field, QLineEdit*> edits_;
    std::map<Field, QLabel*> messages_;
    QComboBox* keyFile_ = nullptr;
    QPlainTextEdit* preview_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* open_ = nullptr;
    QLabel* status_ = nullptr;
    QString savedAlias_;
    BackgroundSave saving_;
};

}  // namespace quillmar
