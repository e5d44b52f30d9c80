#include "quillmar/app/panes/SnippetsView.h"

#include "quillmar/app/panes/KeyringWaitLabel.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/app/sidebar/SnippetTreeModel.h"
#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmar {

namespace {

QString count(std::size_t n)
{
    return n == 1 ? QCoreApplication::translate("quillmar::SnippetsView", "1 snippet")
                  : QCoreApplication::translate("quillmar::SnippetsView", "%1 snippets").arg(n);
}

// Asks for a passphrase, twice when `twice`; none when cancelled.
std::optional<std::pair<QString, QString>> askPassphrase(QWidget* parent, const QString& title, bool twice)
{
    QDialog dialog(parent);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout;
    auto* first = new QLineEdit(&dialog);
    first->setEchoMode(QLineEdit::Password);
    auto* second = new QLineEdit(&dialog);
    second->setEchoMode(QLineEdit::Password);
    form->addRow(QCoreApplication::translate("quillmar::SnippetsView", "Passphrase"), first);
    if (twice)
        form->addRow(QCoreApplication::translate("quillmar::SnippetsView", "Repeat passphrase"), second);
    else
        second->hide();
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return std::make_pair(first->text(), twice ? second->text() : first->text());
}

}  // namespace

SnippetsView::SnippetsView(SnippetStore& store, platform::Scheduler& clock, QWidget* parent)
    : QWidget(parent), store_(store), tasks_(clock)
{
    setObjectName(QStringLiteral("snippetsPane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(10);
    layout->addWidget(makeTitle(tr("Snippets"), this));

    error_ = ravelgrid::plainLabel(QString(), this);
    error_->setObjectName(QStringLiteral("snippetsError"));
    error_->setWordWrap(true);
    error_->setFont(metroFont(13));
    setTextRole(error_, Metro::Role::danger);
    layout->addWidget(error_);
    QLabel* waiting = makeKeyringWaitLabel(store_, this);
    waiting->setFont(metroFont(13));
    layout->addWidget(waiting);
    layout->addWidget(makeKeyringUnlockButton(store_, this), 0, Qt::AlignLeft);

    content_ = new QWidget(this);
    auto* contentLayout = new QVBoxLayout(content_);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    actions_ = new QWidget(content_);
    auto* row = new QHBoxLayout(actions_);
    row->setContentsMargins(0, 0, 0, 0);
    auto* add = new QPushButton(tr("Add Snippet"), actions_);
    edit_ = new QPushButton(tr("Edit\u2026"), actions_);
    delete_ = new QPushButton(tr("Delete\u2026"), actions_);
    auto* reset = new QPushButton(tr("Reset to Factory Set\u2026"), actions_);
    auto* exportButton = new QPushButton(tr("Export\u2026"), actions_);
    auto* importButton = new QPushButton(tr("Import\u2026"), actions_);
    for (QPushButton* b : {add, edit_, delete_, reset, exportButton, importButton})
        row->addWidget(b);
    row->addStretch(1);
    contentLayout->addWidget(actions_);
    notice_ = ravelgrid::plainLabel(QString(), content_);
    notice_->setObjectName(QStringLiteral("snippetsNotice"));
    notice_->setWordWrap(true);
    setTextRole(notice_, Metro::Role::warning);
    notice_->hide();
    contentLayout->addWidget(notice_);
    model_ = SnippetTreeModel::of(store_);
    rows_ = new SnippetRowsModel(model_, SnippetRowsModel::Look::pane, this);
    list_ = new SnippetRowsView(content_);
    list_->setObjectName(QStringLiteral("snippetList"));
    list_->setRows(rows_);
    list_->header()->setSectionResizeMode(SnippetTreeModel::titleColumn, QHeaderView::ResizeToContents);
    list_->setUniformRowHeights(true);
    contentLayout->addWidget(list_, 1);
    layout->addWidget(content_, 1);
    // Holds the messages at the top while the content is hidden.
    layout->addStretch(0);

    connect(add, &QPushButton::clicked, this, &SnippetsView::addSnippet);
    connect(edit_, &QPushButton::clicked, this, &SnippetsView::editSelected);
    connect(delete_, &QPushButton::clicked, this, &SnippetsView::deleteSelected);
    connect(reset, &QPushButton::clicked, this, &SnippetsView::confirmReset);
    connect(exportButton, &QPushButton::clicked, this, &SnippetsView::chooseExport);
    connect(importButton, &QPushButton::clicked, this, &SnippetsView::chooseImport);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &SnippetsView::updateButtons);
    connect(list_, &SnippetRowsView::snippetActivated, this, &SnippetsView::editSelected);
    connect(rows_, &QAbstractItemModel::modelAboutToBeReset, this, [this] { keep_ = selectedId(); });
    connect(rows_, &QAbstractItemModel::modelReset, this, [this] {
        if (keep_)
            select(*keep_);
        keep_.reset();
        updateButtons();
    });
    connect(&store_, &SnippetStore::loadErrorChanged, this, &SnippetsView::showStore);
    showStore();
    updateButtons();
}

SnippetsView::~SnippetsView() = default;

void SnippetsView::showStore()
{
    const bool failed = store_.hasLoadError();
    error_->setText(ravelgrid::revealHiddenCharacters(store_.loadError()));
    error_->setVisible(failed);
    content_->setVisible(!failed);
}

void SnippetsView::updateButtons()
{
    const bool chosen = selectedId().has_value();
    edit_->setEnabled(chosen);
    delete_->setEnabled(chosen);
}

std::optional<QString> SnippetsView::selectedId() const
{
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (rows.isEmpty() || rows_->isHeader(rows.front()))
        return std::nullopt;
    return rows.front().data(SnippetTreeModel::idRole).toString();
}

void SnippetsView::select(const QString& id)
{
    if (const QModelIndex row = rows_->rowOf(model_->snippetIndex(id)); row.isValid())
        list_->setCurrentIndex(row);
}

void SnippetsView::addSnippet()
{
    if (store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    SnippetEditRequest request;
    request.isNew = true;
    request.snippet.id = newSnippetId();
    if (const auto id = selectedId())
        if (const auto s = store_.snippet(*id))
            request.snippet.category = s->category;
    editSheet_ = new SnippetEditSheet(store_, request, window());
    editSheet_->open();
}

void SnippetsView::editSelected()
{
    const auto id = selectedId();
    const auto s = id ? store_.snippet(*id) : std::nullopt;
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    editSheet_ = new SnippetEditSheet(store_, SnippetEditRequest{*s, false}, window());
    editSheet_->open();
}

void SnippetsView::deleteSelected()
{
    const auto id = selectedId();
    const auto s = id ? store_.snippet(*id) : std::nullopt;
    if (!s || store_.hasLoadError() || editSheet_ || deleteSheet_)
        return;
    deleteSheet_ = new SnippetDeleteSheet(store_, *s, window());
    // The button goes grey with the snippet: the keyboard moves on to the
    // list, on the snippet that takes its place, never to the next button,
    // which may be Reset.
    const int row = list_->selectionModel()->selectedRows().front().row();
    connect(deleteSheet_, &QDialog::accepted, this, [this, next = neighbourOf(row)] {
        if (next)
            select(*next);
        list_->setFocus(Qt::OtherFocusReason);
    });
    deleteSheet_->open();
}

std::optional<QString> SnippetsView::neighbourOf(int row) const
{
    const auto idAt = [this](int r) -> std::optional<QString> {
        const QModelIndex index = rows_->index(r, 0);
        if (!index.isValid() || rows_->isHeader(index))
            return std::nullopt;
        return index.data(SnippetTreeModel::idRole).toString();
    };
    for (int r = row + 1; r < rows_->rowCount(); ++r) {
        if (auto id = idAt(r))
            return id;
    }
    for (int r = row - 1; r >= 0; --r) {
        if (auto id = idAt(r))
            return id;
    }
    return std::nullopt;
}

void SnippetsView::resetToFactory()
{
    if (const auto problem = store_.resetToFactory())
        showNotice(*problem);
    else
        showNotice(tr("The factory snippets are back."));
}

void SnippetsView::confirmReset()
{
    if (store_.hasLoadError())
        return;
    QMessageBox box(QMessageBox::Warning, tr("Reset Snippets"), tr("Replace all snippets with the factory set?"),
                    QMessageBox::NoButton, window());
    box.setWindowModality(Qt::WindowModal);
    box.setInformativeText(tr("Your own snippets are removed. Export them first to keep a copy."));
    QPushButton* yes = box.addButton(tr("Reset"), QMessageBox::DestructiveRole);
    // Return alone keeps the user's snippets.
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    if (box.clickedButton() == yes)
        resetToFactory();
}

bool SnippetsView::exportTo(const QString& path, const QString& passphrase, const QString& confirmation,
                            std::uint32_t rounds)
{
    if (passphrase.isEmpty()) {
        showNotice(tr("Enter a passphrase to protect the export."));
        return false;
    }
    if (passphrase != confirmation) {
        showNotice(tr("The passphrases don't match. Nothing was exported."));
        return false;
    }
    if (const auto problem = store_.exportTo(path, passphrase, rounds)) {
        showNotice(*problem);
        return false;
    }
    showNotice(tr("Exported %1.").arg(count(store_.allSnippets().size())));
    return true;
}

bool SnippetsView::prepareImport(const QString& path, const QString& passphrase)
{
    pending_.reset();
    auto plan = store_.prepareImport(path, passphrase);
    if (!plan) {
        showNotice(QString::fromStdString(plan.error().message));
        return false;
    }
    pending_ = std::move(plan.value());
    return true;
}

QString SnippetsView::importSummary() const
{
    if (!pending_)
        return {};
    QString text =
        tr("The file adds %1 and replaces %2.").arg(count(pending_->added.size()), count(pending_->replaced.size()));
    if (!pending_->unchanged.empty())
        text = tr("%1 %2 already stored unchanged.").arg(text, count(pending_->unchanged.size()));
    for (std::size_t i = 0; i < pending_->notes.size(); ++i)
        text.append(QLatin1String(i ? "\n" : "\n\n")).append(QString::fromStdString(pending_->notes[i]));
    if (!pending_->replaced.empty()) {
        // A file can replace thousands; a box lists no more than one can read.
        constexpr std::size_t listed = 20;
        text.append(QLatin1String("\n\n")).append(tr("Replaced:"));
        for (std::size_t i = 0; i < std::min(listed, pending_->replaced.size()); ++i) {
            const QString id = QString::fromStdString(pending_->replaced[i]);
            if (const Snippet* s = model_->snippetAt(model_->snippetIndex(id)))
                text.append(QStringLiteral("\n\u2022 "))
                    .append(ravelgrid::revealHiddenCharacters(QString::fromStdString(s->title)));
        }
        if (pending_->replaced.size() > listed)
            text.append(QLatin1Char('\n')).append(tr("\u2026 and %1 more.").arg(pending_->replaced.size() - listed));
    }
    return text;
}

bool SnippetsView::applyImport(SnippetImportChoice choice)
{
    if (!pending_)
        return false;
    const SnippetImportPlan plan = std::move(*pending_);
    pending_.reset();
    auto outcome = store_.applyImport(plan, choice);
    if (!outcome) {
        showNotice(QString::fromStdString(outcome.error().message));
        return false;
    }
    showNotice(
        tr("Imported: %1 added, %2 replaced.").arg(outcome.value().added.size()).arg(outcome.value().replaced.size()));
    return true;
}

void SnippetsView::chooseExport()
{
    if (store_.hasLoadError())
        return;
    const QString path =
        QFileDialog::getSaveFileName(window(), tr("Export Snippets"), QStringLiteral("snippets.qmsnippets"));
    if (path.isEmpty())
        return;
    if (const auto pass = askPassphrase(window(), tr("Protect the Export"), true))
        exportTo(path, pass->first, pass->second);
}

void SnippetsView::chooseImport()
{
    if (store_.hasLoadError())
        return;
    const QString path = QFileDialog::getOpenFileName(window(), tr("Import Snippets"));
    if (path.isEmpty())
        return;
    const auto pass = askPassphrase(window(), tr("Passphrase of the Export"), false);
    if (!pass || !prepareImport(path, pass->first))
        return;
    QMessageBox box(QMessageBox::Question, tr("Import Snippets"), QString(), QMessageBox::NoButton, window());
    // The summary lists the titles of the snippets it replaces.
    box.setTextFormat(Qt::PlainText);
    box.setText(importSummary());
    box.setWindowModality(Qt::WindowModal);
    QPushButton* replace = nullptr;
    QPushButton* keep = nullptr;
    if (pending_->needsConfirmation()) {
        replace = box.addButton(tr("Add and Replace"), QMessageBox::AcceptRole);
        keep = box.addButton(tr("Add New Only"), QMessageBox::AcceptRole);
    } else {
        keep = box.addButton(tr("Import"), QMessageBox::AcceptRole);
    }
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    // Return alone never replaces the user's snippets.
    if (replace)
        box.setDefaultButton(cancel);
    box.exec();
    if (box.clickedButton() == replace && replace)
        applyImport(SnippetImportChoice::replaceExisting);
    else if (box.clickedButton() == keep)
        applyImport(SnippetImportChoice::keepExisting);
    else
        cancelImport();
}

void SnippetsView::showNotice(const QString& text)
{
    noticeText_ = text;
    notice_->setText(ravelgrid::revealHiddenCharacters(text));
    notice_->show();
    tasks_.after(noticeLifetimeNs, [this, text] {
        if (noticeText_ && *noticeText_ == text) {
            noticeText_.reset();
            notice_->clear();
            notice_->hide();
        }
    });
}

}  // namespace quillmar
