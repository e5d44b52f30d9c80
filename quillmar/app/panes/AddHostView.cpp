#include "quillmar/app/panes/AddHostView.h"

#include "quillmar/app/panes/SSHConfigMessages.h"
#include "quillmar/app/shell/SessionTarget.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"
#include "ravelgrid/view/PlainText.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <set>

namespace quillmar {

namespace {

std::string text(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

}  // namespace

AddHostView::AddHostView(Workspace& workspace, SSHHostStore& hostStore, SSHKeyStore* keyStore, QWidget* parent)
    : QWidget(parent), workspace_(workspace), hostStore_(hostStore), keyStore_(keyStore),
      writer_(hostStore.reader().paths()), saving_(this)
{
    setObjectName(QStringLiteral("addHostPane"));
    confirm_ = [this](const QString& question) {
        return QMessageBox::question(this, tr("Add host"), question) == QMessageBox::Yes;
    };

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(makeTitle(tr("Add host"), this));

    auto* form = new QFormLayout;
    outer->addLayout(form);
    const std::pair<Field, QString> rows[] = {
        {Field::alias, tr("Alias")}, {Field::hostName, tr("Host name")},    {Field::user, tr("User")},
        {Field::port, tr("Port")},   {Field::identityFile, tr("Key file")}, {Field::proxyJump, tr("Proxy jump")},
    };
    for (const auto& [f, label] : rows) {
        auto* column = new QVBoxLayout;
        if (f == Field::identityFile) {
            auto* line = new QHBoxLayout;
            keyFile_ = new QComboBox(this);
            keyFile_->setEditable(true);
            keyFile_->setInsertPolicy(QComboBox::NoInsert);
            keyFile_->setObjectName(QStringLiteral("keyFile"));
            auto* choose = new QPushButton(tr("Choose…"), this);
            choose->setObjectName(QStringLiteral("chooseKeyFile"));
            connect(choose, &QPushButton::clicked, this, &AddHostView::chooseKeyFile);
            line->addWidget(keyFile_, 1);
            line->addWidget(choose);
            column->addLayout(line);
            edits_[f] = keyFile_->lineEdit();
            fillKeyFiles();
            keyFile_->setCurrentIndex(-1);
            keyFile_->setEditText({});
        } else {
            auto* edit = new QLineEdit(this);
            column->addWidget(edit);
            edits_[f] = edit;
        }
        auto* message = ravelgrid::plainLabel(QString(), this);
        message->setWordWrap(true);
        setTextRole(message, Metro::Role::danger);
        message->hide();
        column->addWidget(message);
        messages_[f] = message;
        form->addRow(label, column);
        connect(edits_[f], &QLineEdit::textChanged, this, &AddHostView::refresh);
    }
    edits_[Field::alias]->setPlaceholderText(tr("web1"));
    edits_[Field::hostName]->setPlaceholderText(tr("example.com or 192.0.2.10"));
    edits_[Field::port]->setPlaceholderText(QStringLiteral("22"));
    edits_[Field::proxyJump]->setPlaceholderText(tr("bastion (optional)"));

    outer->addWidget(new QLabel(tr("Lines to be written"), this));
    preview_ = new QPlainTextEdit(this);
    preview_->setReadOnly(true);
    preview_->setObjectName(QStringLiteral("addHostPreview"));
    outer->addWidget(preview_, 1);

    status_ = ravelgrid::plainLabel(QString(), this);
    status_->setWordWrap(true);
    status_->setObjectName(QStringLiteral("addHostStatus"));
    outer->addWidget(status_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    open_ = new QPushButton(tr("Open"), this);
    open_->setObjectName(QStringLiteral("openSavedHost"));
    open_->hide();
    connect(open_, &QPushButton::clicked, this, &AddHostView::openSaved);
    save_ = new QPushButton(tr("Save"), this);
    save_->setObjectName(QStringLiteral("saveHost"));
    save_->setDefault(true);
    connect(save_, &QPushButton::clicked, this, [this] { save(); });
    buttons->addWidget(open_);
    buttons->addWidget(save_);
    outer->addLayout(buttons);

    if (keyStore_)
        connect(keyStore_, &SSHKeyStore::keysChanged, this, &AddHostView::fillKeyFiles);
    connect(&hostStore_, &SSHHostStore::aliasesChanged, this, &AddHostView::dropGoneHost);
    refresh();
}

HostEntry AddHostView::entry() const
{
    HostEntry e;
    e.alias = text(edits_.at(Field::alias));
    e.hostName = text(edits_.at(Field::hostName));
    e.user = text(edits_.at(Field::user));
    e.port = text(edits_.at(Field::port));
    e.identityFile = text(edits_.at(Field::identityFile));
    e.proxyJump = text(edits_.at(Field::proxyJump));
    return e;
}

QLineEdit* AddHostView::field(Field f) const
{
    return edits_.at(f);
}
QLabel* AddHostView::messageFor(Field f) const
{
    return messages_.at(f);
}

void AddHostView::fillKeyFiles()
{
    if (!keyStore_ || !keyFile_)
        return;
    const QString typed = keyFile_->currentText();
    const QSignalBlocker block(keyFile_);
    keyFile_->clear();
    // Listed as the sidebar names keys; what is chosen is the path itself.
    QStringList paths;
    for (const auto& key : keyStore_->keys()) {
        if (key.hasPrivate)
            paths << QString::fromStdString(writer_.paths().tildePath(key.privatePath));
    }
    ravelgrid::addSpeltOutItems(keyFile_, paths);
    keyFile_->setEditText(typed);
}

void AddHostView::chooseKeyFile()
{
    const QString start = QString::fromStdString(writer_.paths().sshDirectory());
    const QString path = QFileDialog::getOpenFileName(this, tr("Choose a key file"), start);
    if (!path.isEmpty())
        keyFile_->setEditText(QString::fromStdString(writer_.paths().tildePath(path.toStdString())));
}

void AddHostView::refresh()
{
    for (auto& [f, label] : messages_) {
        label->clear();
        label->hide();
    }
    const HostEntry e = entry();
    // Empty required fields are not worth a red word before the first save.
    const bool touched = !e.alias.empty() || !e.hostName.empty();
    std::set<std::string> known;
    for (const QString& a : hostStore_.aliases())
        known.insert(a.toStdString());
    const auto problems = writer_.problems(e, known);
    if (touched) {
        for (const EntryProblem& problem : problems) {
            QLabel* label = messages_.at(problem.field);
            const QString line = SSHConfigMessages::problem(problem);
            label->setText(label->text().isEmpty() ? line : label->text() + QLatin1Char('\n') + line);
            label->show();
        }
    }
    QString shown;
    if (!writer_.includePresentAtTop()) {
        shown += tr("~/.ssh/config, at the top:") + QLatin1Char('\n');
        shown += QString::fromUtf8(SSHConfigWriter::kIncludeComment) + QLatin1Char('\n');
        shown += QString::fromUtf8(SSHConfigWriter::kIncludeLine) + QStringLiteral("\n\n");
    }
    shown += tr("~/.ssh/quillmar_config, at the end:") + QLatin1Char('\n');
    if (problems.empty())
        shown += ravelgrid::revealHiddenCharacters(QString::fromStdString(SSHConfigWriter::renderHostBlock(e)));
    preview_->setPlainText(shown);
    save_->setEnabled(problems.empty() && !saving_.running());
}

void AddHostView::fail(const ConfigError& error)
{
    status_->setText(SSHConfigMessages::error(withNothingChanged(error)));
}

bool AddHostView::save()
{
    if (saving_.running())
        return false;
    refresh();
    const HostEntry e = entry();
    std::set<std::string> known;
    for (const QString& a : hostStore_.aliases())
        known.insert(a.toStdString());
    if (const auto problems = writer_.problems(e, known); !problems.empty()) {
        QString all;
        for (const EntryProblem& p : problems)
            all += (all.isEmpty() ? QString() : QStringLiteral(" ")) + SSHConfigMessages::problem(p);
        status_->setText(all + QLatin1Char(' ') + SSHConfigMessages::tr("Nothing was changed."));
        return false;
    }
    const bool needInclude = !writer_.includePresentAtTop();
    if (needInclude &&
        !confirm_(tr("Quillmar keeps its hosts in ~/.ssh/quillmar_config. Add \"Include quillmar_config\" at "
                     "the top of ~/.ssh/config so that ssh reads them? A backup is made first."))) {
        status_->setText(tr("Nothing was changed."));
        return false;
    }

    // The writer locks the files, checks the new lines with ssh and writes.
    saving_.start([writer = writer_, e, known] { return writer.addHost(e, known); },
                  [this, e](const Result<SSHConfigWriter::HostAdded>& result) { finishSave(e, result); });
    save_->setEnabled(false);
    status_->setText(tr("Saving…"));
    return true;
}

void AddHostView::finishSave(const HostEntry& e, const Result<SSHConfigWriter::HostAdded>& result)
{
    if (!result) {
        fail(result.error());
        refresh();
        emit saveFinished(false);
        return;
    }
    savedAlias_ = QString::fromStdString(e.alias);
    hostStore_.reload();
    status_->setText(savedNote(savedAlias_));
    // A button reads "&" as a shortcut mark.
    open_->setText(tr("Open %1").arg(
        ravelgrid::revealHiddenCharacters(savedAlias_).replace(QLatin1Char('&'), QStringLiteral("&&"))));
    open_->show();
    for (auto& [f, edit] : edits_) {
        const QSignalBlocker block(edit);
        edit->clear();
    }
    refresh();
    emit saveFinished(true);
    emit hostSaved(savedAlias_);
}

QString AddHostView::savedNote(const QString& alias) const
{
    return tr("Saved %1. It is listed in the sidebar.").arg(ravelgrid::revealHiddenCharacters(alias));
}

void AddHostView::dropGoneHost()
{
    if (savedAlias_.isEmpty() || hostStore_.aliases().contains(savedAlias_))
        return;
    // Removed since the save: the note and the button would point at nothing.
    if (status_->text() == savedNote(savedAlias_))
        status_->clear();
    savedAlias_.clear();
    open_->hide();
}

void AddHostView::openSaved()
{
    if (!savedAlias_.isEmpty() && hostStore_.aliases().contains(savedAlias_))
        workspace_.open(SessionTarget::ssh(savedAlias_));
}

}  // namespace quillmar
