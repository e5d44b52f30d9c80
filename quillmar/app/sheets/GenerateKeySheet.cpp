#include "quillmar/app/sheets/GenerateKeySheet.h"

#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmar {

GenerateKeySheet::GenerateKeySheet(QString sshDirectory, QWidget* parent)
    : QDialog(parent), sshDirectory_(std::move(sshDirectory))
{
    setWindowTitle(tr("Generate key"));
    setObjectName(QStringLiteral("generateKeySheet"));
    auto* outer = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    name_ = new QLineEdit(QStringLiteral("id_ed25519"), this);
    type_ = new QComboBox(this);
    type_->addItem(QStringLiteral("ED25519"));
    type_->addItem(QStringLiteral("RSA 4096"));
    comment_ = new QLineEdit(this);
    form->addRow(tr("Name"), name_);
    form->addRow(tr("Type"), type_);
    form->addRow(tr("Comment"), comment_);
    outer->addLayout(form);
    message_ = ravelgrid::plainLabel(QString(), this);
    message_->setWordWrap(true);
    setTextRole(message_, Metro::Role::danger);
    outer->addWidget(message_);
    outer->addWidget(new QLabel(tr("ssh-keygen opens in a tab of its own and asks for the passphrase there."), this));
    auto* box = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    generate_ = box->addButton(tr("Generate"), QDialogButtonBox::AcceptRole);
    connect(box, &QDialogButtonBox::accepted, this, [this] {
        if (command())
            accept();
    });
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    outer->addWidget(box);
    connect(name_, &QLineEdit::textChanged, this, &GenerateKeySheet::refresh);
    connect(comment_, &QLineEdit::textChanged, this, &GenerateKeySheet::refresh);
    connect(type_, &QComboBox::currentIndexChanged, this, [this](int index) {
        // Follow the type with the usual file name while the name is still the default.
        const QString other = index == 0 ? QStringLiteral("id_rsa") : QStringLiteral("id_ed25519");
        if (name_->text() == other)
            name_->setText(index == 0 ? QStringLiteral("id_ed25519") : QStringLiteral("id_rsa"));
    });
    refresh();
}

QString GenerateKeySheet::keyName() const
{
    return name_->text();
}

KeyToolCommands::KeyType GenerateKeySheet::keyType() const
{
    return type_->currentIndex() == 1 ? KeyToolCommands::KeyType::rsa4096 : KeyToolCommands::KeyType::ed25519;
}

QString GenerateKeySheet::comment() const
{
    return comment_->text();
}

std::optional<SessionTarget> GenerateKeySheet::command() const
{
    if (KeyToolCommands::keyNameProblem(keyName(), sshDirectory_) || KeyToolCommands::commentProblem(comment()))
        return std::nullopt;
    return KeyToolCommands::generate(sshDirectory_, keyName(), keyType(), comment());
}

void GenerateKeySheet::refresh()
{
    auto problem = KeyToolCommands::keyNameProblem(keyName(), sshDirectory_);
    if (!problem)
        problem = KeyToolCommands::commentProblem(comment());
    message_->setText(problem.value_or(QString()));
    generate_->setEnabled(!problem);
}

}  // namespace quillmar
