#include "quillmar/app/panes/KeysView.h"

#include "quillmar/app/panes/SSHConfigMessages.h"
#include "quillmar/app/sheets/GenerateKeySheet.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/KeyListModel.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/sshconfig/SSHConfigIdentity.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"
#include "ravelgrid/view/PlainText.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quillmar {

namespace {

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}
QString q(const std::optional<std::string>& s)
{
    return s ? QString::fromStdString(*s) : QString();
}
// Key and file names as the sidebar shows them.
QString shown(const std::string& s)
{
    return ravelgrid::revealHiddenCharacters(q(s));
}

constexpr int idRole = Qt::UserRole + 1;

}  // namespace

KeysView::KeysView(SSHKeyStore& keyStore, Workspace& workspace, SSHHostStore& hostStore, QWidget* parent)
    : QWidget(parent), keyStore_(keyStore), keys_(KeyListModel::of(keyStore)), workspace_(workspace),
      hostStore_(hostStore), writer_(hostStore.reader().paths())
{
    setObjectName(QStringLiteral("keysPane"));
    chooseHost_ = [this](const QString& title, const QStringList& aliases) -> std::optional<QString> {
        // Each name as the sidebar shows it; the choice is read by its place.
        QStringList shown;
        for (const QString& alias : aliases)
            shown << ravelgrid::revealHiddenCharacters(alias);
        const QPointer<QInputDialog> dialog = new QInputDialog(this);
        dialog->setWindowTitle(title);
        dialog->setLabelText(tr("Host"));
        dialog->setComboBoxItems(shown);
        dialog->setComboBoxEditable(false);
        const int answer = dialog->exec();
        if (!dialog)
            return std::nullopt;  // went with the pane
        const std::unique_ptr<QInputDialog> owned(dialog.data());
        if (answer != QDialog::Accepted)
            return std::nullopt;
        const auto* box = dialog->findChild<QComboBox*>();
        const int chosen = box ? box->currentIndex() : -1;
        return chosen >= 0 && chosen < aliases.size() ? std::optional<QString>(aliases[chosen]) : std::nullopt;
    };
    confirm_ = [this](const QString& title, const QString& text) {
        // The text quotes lines of the SSH config as they stand. The change
        // may replace the host's key: Return alone keeps it.
        return ravelgrid::ask(ravelgrid::plainQuestion(this, title, text, QMessageBox::Yes | QMessageBox::No,
                                                       QMessageBox::No)) == QMessageBox::Yes;
    };
    openUrl_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    auto* outer = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(makeTitle(tr("Keys"), this));
    top->addStretch();
    agent_ = ravelgrid::plainLabel(QString(), this);
    agent_->setObjectName(QStringLiteral("agentStatus"));
    top->addWidget(agent_);
    generate_ = new QPushButton(tr("Generate key…"), this);
    generate_->setObjectName(QStringLiteral("generateKey"));
    connect(generate_, &QPushButton::clicked, this, &KeysView::openGenerateSheet);
    top->addWidget(generate_);
    outer->addLayout(top);

    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("keyList"));
    list_->setColumnCount(columnCount);
    list_->setHeaderLabels(
        {tr("Name"), tr("Type"), tr("Fingerprint"), tr("Comment"), tr("Permissions"), tr("Hosts"), tr("Agent")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setSectionResizeMode(QHeaderView::Interactive);
    outer->addWidget(list_, 1);

    auto* actions = new QHBoxLayout;
    auto add = [&](const QString& label, const char* name, void (KeysView::*slot)()) {
        auto* b = new QPushButton(label, this);
        b->setObjectName(QString::fromLatin1(name));
        connect(b, &QPushButton::clicked, this, slot);
        actions->addWidget(b);
        keyButtons_.push_back(b);
    };
    add(tr("Copy public key"), "copyPublicKey", &KeysView::copyPublicLine);
    add(tr("Show in file manager"), "showKeyFile", &KeysView::showInFileManager);
    add(tr("Install on host…"), "installOnHost", &KeysView::installOnHost);
    add(tr("Use with host…"), "useWithHost", &KeysView::useWithHost);
    add(tr("Load into agent"), "loadIntoAgent", &KeysView::loadIntoAgent);
    actions->addStretch();
    outer->addLayout(actions);

    status_ = ravelgrid::plainLabel(QString(), this);
    status_->setObjectName(QStringLiteral("keysStatus"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    outer->addWidget(status_);

    connect(keys_, &QAbstractItemModel::modelReset, this, &KeysView::rebuild);
    connect(&keyStore_, &SSHKeyStore::agentChanged, this, &KeysView::showAgent);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &KeysView::updateButtons);
    rebuild();
    showAgent();
    // The listing runs on the store's worker; the pane is shown before it answers.
    keyStore_.queryAgent();
}

QStringList KeysView::hostAliases() const
{
    // ssh and ssh-copy-id would take an alias that begins with "-" for an option.
    QStringList aliases;
    for (const QString& alias : hostStore_.aliases()) {
        if (!alias.startsWith(QLatin1Char('-')))
            aliases << alias;
    }
    return aliases;
}

QString KeysView::sshDirectory() const
{
    return q(writer_.paths().sshDirectory());
}

QString KeysView::permissionsText(const SSHKeyInfo& key)
{
    if (!key.hasPrivate)
        return key.hasPublic ? tr("public key only") : tr("file missing");
    if (!key.privatePerms)
        return {};
    const int perms = *key.privatePerms & 0777;
    QString text = QString::number(perms, 8).rightJustified(3, QLatin1Char('0'));
    if ((perms & 077) != 0)
        text = tr("%1 — others can read this private key; run chmod 600").arg(text);
    return text;
}

void KeysView::rebuild()
{
    const QString selected = selectedKey() ? q(selectedKey()->id()) : QString();
    list_->setUpdatesEnabled(false);
    list_->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(keys_->keys().size()));
    QTreeWidgetItem* again = nullptr;
    for (const auto& key : keys_->keys()) {
        auto* item = new QTreeWidgetItem;
        item->setText(nameColumn, shown(key.name));
        item->setData(nameColumn, idRole, q(key.id()));
        // An unknown type is named by the .pub file's own word.
        item->setText(typeColumn, key.type ? shown(SSHKeyInfo::typeLabel(*key.type)) : QString());
        item->setText(fingerprintColumn, q(key.fingerprint));
        item->setText(commentColumn, shown(key.comment.value_or(std::string())));
        item->setText(permissionsColumn, permissionsText(key));
        if (key.needsAttention())
            item->setForeground(permissionsColumn, Metro::danger(this));
        item->setText(hostsColumn, ravelgrid::revealHiddenCharacters(q(SSHKeyInfo::usageText(key))));
        item->setText(agentColumn, key.loaded ? tr("in agent") : QString());
        item->setToolTip(nameColumn, ravelgrid::plainToolTip(shown(writer_.paths().tildePath(key.privatePath))));
        if (q(key.id()) == selected)
            again = item;
        items.append(item);
    }
    list_->addTopLevelItems(items);
    if (again)
        list_->setCurrentItem(again);
    list_->setUpdatesEnabled(true);
    updateButtons();
}

void KeysView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::PaletteChange)
        return;
    // A warning keeps the red of the theme now in force.
    const QColor danger = Metro::danger(this);
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        const bool warned = item->data(permissionsColumn, Qt::ForegroundRole).isValid();
        if (warned && item->foreground(permissionsColumn).color() != danger)
            item->setForeground(permissionsColumn, danger);
    }
}

void KeysView::showAgent()
{
    agent_->setText(q(keyStore_.agent().label()));
}

void KeysView::updateButtons()
{
    const auto key = selectedKey();
    for (QPushButton* b : keyButtons_)
        b->setEnabled(key.has_value());
    if (!key)
        return;
    keyButtons_[0]->setEnabled(key->publicLine.has_value());
    keyButtons_[2]->setEnabled(key->hasPublic);
    keyButtons_[3]->setEnabled(!saving_.running());
    keyButtons_[4]->setEnabled(key->hasPrivate);
}

std::optional<SSHKeyInfo> KeysView::selectedKey() const
{
    const QTreeWidgetItem* item = list_->currentItem();
    if (!item || !item->isSelected())
        return std::nullopt;
    const SSHKeyInfo* key = keys_->keyWithID(item->data(nameColumn, idRole).toString().toStdString());
    return key ? std::optional(*key) : std::nullopt;
}

void KeysView::selectKey(const QString& name)
{
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const SSHKeyInfo* key =
            keys_->keyWithID(list_->topLevelItem(i)->data(nameColumn, idRole).toString().toStdString());
        if (key && q(key->name) == name) {
            list_->setCurrentItem(list_->topLevelItem(i));
            return;
        }
    }
}

void KeysView::copyPublicLine()
{
    const auto key = selectedKey();
    if (!key || !key->publicLine)
        return;
    QApplication::clipboard()->setText(q(key->publicLine));
    status_->setText(tr("Copied the public key of %1.").arg(shown(key->name)));
}

void KeysView::showInFileManager()
{
    const auto key = selectedKey();
    if (!key)
        return;
    const QString path = q(key->hasPrivate || !key->hasPublic ? key->privatePath : key->privatePath + ".pub");
    openUrl_(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

void KeysView::installOnHost()
{
    const auto key = selectedKey();
    if (!key || !key->hasPublic)
        return;
    const auto alias = chooseHost_(tr("Install %1 on host").arg(shown(key->name)), hostAliases());
    if (!alias)
        return;
    workspace_.open(KeyToolCommands::install(q(key->privatePath), *alias));
}

void KeysView::loadIntoAgent()
{
    const auto key = selectedKey();
    if (!key || !key->hasPrivate)
        return;
    workspace_.open(KeyToolCommands::load(q(key->privatePath)));
}

void KeysView::useWithHost()
{
    const auto key = selectedKey();
    if (!key || saving_.running())
        return;
    const auto alias = chooseHost_(tr("Use %1 with host").arg(shown(key->name)), hostAliases());
    if (!alias)
        return;
    const QString shownAlias = ravelgrid::revealHiddenCharacters(*alias);
    const SSHConfigIdentity identity(writer_);
    // Written as ~/.ssh/<name> when the key is at home, as one would type it.
    const auto planned = identity.plan(alias->toStdString(), writer_.paths().tildePath(key->privatePath));
    if (!planned) {
        status_->setText(SSHConfigMessages::error(withNothingChanged(planned.error())));
        return;
    }
    const auto& outcome = planned.value();
    switch (outcome.kind) {
    case SSHConfigIdentity::OutcomeKind::alreadySet:
        status_->setText(tr("%1 already uses %2.").arg(shownAlias, shown(outcome.tildePath)));
        return;
    case SSHConfigIdentity::OutcomeKind::notFound:
        status_->setText(tr("%1 was not found in your SSH config. Nothing was changed.").arg(shownAlias));
        return;
    case SSHConfigIdentity::OutcomeKind::notEditable:
        status_->setText(tr("%1 is defined in %2, which Quillmar doesn't edit. Nothing was changed.")
                             .arg(shownAlias, outcome.location
                                                  ? shown(writer_.paths().tildePath(outcome.location->path))
                                                  : QString()));
        return;
    case SSHConfigIdentity::OutcomeKind::change: break;
    }
    const auto& change = *outcome.change;
    QString diff = shown(writer_.paths().tildePath(change.location.path)) + QStringLiteral(":\n");
    for (const auto& line : change.diff)
        diff += QString(QLatin1Char(line.sign)) + QLatin1Char(' ') + ravelgrid::revealHiddenCharacters(q(line.text)) +
                QLatin1Char('\n');
    if (!change.sharedWith.empty()) {
        QStringList others;
        for (const auto& o : change.sharedWith)
            others << ravelgrid::revealHiddenCharacters(q(o));
        diff +=
            tr("\nThis Host line also names %1; they will use the key too.\n").arg(others.join(QStringLiteral(", ")));
    }
    diff += tr("\nA backup is made first.");
    if (!confirm_(tr("Use %1 with %2").arg(shown(key->name), shownAlias), diff)) {
        status_->setText(tr("Nothing was changed."));
        return;
    }
    // Waiting for another window's lock or for ssh runs on a worker.
    if (!saving_.start([identity, change] { return identity.apply(change); },
                       [this, shownAlias, name = shown(key->name)](const Result<std::string>& applied) {
                           finishUse(shownAlias, name, applied);
                       }))
        return;
    status_->setText(tr("Saving…"));
    updateButtons();
}

void KeysView::finishUse(const QString& shownAlias, const QString& keyName, const Result<std::string>& applied)
{
    updateButtons();
    if (!applied) {
        status_->setText(SSHConfigMessages::error(withNothingChanged(applied.error())));
        emit useFinished(false);
        return;
    }
    status_->setText(
        tr("%1 now uses %2. Backup: %3").arg(shownAlias, keyName, shown(writer_.paths().tildePath(applied.value()))));
    hostStore_.reload();
    keyStore_.reload();
    emit useFinished(true);
}

std::optional<QString> KeysView::generateKey(const QString& name, KeyToolCommands::KeyType type, const QString& comment)
{
    auto problem = KeyToolCommands::keyNameProblem(name, sshDirectory());
    if (!problem)
        problem = KeyToolCommands::commentProblem(comment);
    if (problem) {
        status_->setText(*problem);
        return problem;
    }
    if (auto made = writer_.ensureSSHDirectory(); !made) {
        status_->setText(SSHConfigMessages::error(made.error()));
        return SSHConfigMessages::error(made.error());
    }
    workspace_.open(KeyToolCommands::generate(sshDirectory(), name, type, comment));
    return std::nullopt;
}

void KeysView::openGenerateSheet()
{
    auto* sheet = new GenerateKeySheet(sshDirectory(), this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &QDialog::accepted, this,
            [this, sheet] { generateKey(sheet->keyName(), sheet->keyType(), sheet->comment()); });
    sheet->open();
}

}  // namespace quillmar
