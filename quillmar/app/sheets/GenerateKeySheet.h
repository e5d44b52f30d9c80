#pragma once

#include "quillmar/app/shell/KeyToolCommands.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillmar {

// Asks for a new key's name, type and comment. The passphrase is not asked
// here: ssh-keygen asks for it in its own tab.
class GenerateKeySheet : public QDialog {
    Q_OBJECT
public:
    GenerateKeySheet(QString sshDirectory, QWidget* parent = nullptr);

    QLineEdit* nameField() const { return name_; }
    QComboBox* typeBox() const { return type_; }
    QLineEdit* commentField() const { return comment_; }
    QLabel* messageLabel() const { return message_; }
    QPushButton* generateButton() const { return generate_; }

    QString keyName() const;
    KeyToolCommands::KeyType keyType() const;
    QString comment() const;
    // The ssh-keygen run for the fields, or none while they are refused.
    std::optional<SessionTarget> command() const;

private:
    void refresh();

    QString sshDirectory_;
    QLineEdit* name_ = nullptr;
    QComboBox* type_ = nullptr;
    QLineEdit* comment_ = nullptr;
    QLabel* message_ = nullptr;
    QPushButton* generate_ = nullptr;
};

}  // namespace quillmar
