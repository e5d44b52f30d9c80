#include "quillmar/app/sheets/RemoveHostSheet.h"

#include "quillmar/app/panes/SSHConfigMessages.h"
#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmar {
namespace {

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

// File names as the sidebar shows names: nothing hidden or turned.
QString shown(const std::string& s)
{
    return ravelgrid::revealHiddenCharacters(q(s));
}

QString lastComponent(const std::string& path)
{
    return shown(path).section(QLatin1Char('/'), -1);
}

void appendDiff(QString& out, const std::vector<DiffLine>& lines)
{
    for (const DiffLine& line : lines) {
        out += QChar::fromLatin1(line.sign);
        out += QLatin1Char(' ');
        // A config line names the host as written: hidden characters spelt out.
        out += ravelgrid::revealHiddenCharacters(q(line.text));
        out += QLatin1Char('\n');
    }
}

}  // namespace

RemoveHostSheet::RemoveHostSheet(const QString& alias, SSHHostStore& hosts, QWidget* parent)
    : QDialog(parent), alias_(alias), shownAlias_(ravelgrid::revealHiddenCharacters(alias)), hosts_(hosts),
      remover_(SSHConfigWriter(hosts.reader().paths())), saving_(this)
{
    setObjectName(QStringLiteral("removeHostSheet"));
    setWindowTitle(tr("Remove host"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(520);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(10);
    auto* title = makeTitle(tr("Remove %1").arg(shownAlias_), this, TitleLevel::section);
    title->setTextFormat(Qt::PlainText);
    layout->addWidget(title);

    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("locations"));
    list_->setFont(metroMonoFont(12));
    list_->setMaximumHeight(90);
    layout->addWidget(list_);

    diff_ = new QPlainTextEdit(this);
    diff_->setObjectName(QStringLiteral("diff"));
    diff_->setReadOnly(true);
    diff_->setFont(metroMonoFont(12));
    diff_->setLineWrapMode(QPlainTextEdit::NoWrap);
    diff_->setMinimumHeight(140);
    layout->addWidget(diff_, 1);

    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("note"));
    note_->setWordWrap(true);
    note_->setTextFormat(Qt::PlainText);
    note_->setFont(metroFont(12));
    note_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(note_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    closeButton_ = new QPushButton(tr("Cancel"), this);
    closeButton_->setObjectName(QStringLiteral("close"));
    removeButton_ = new QPushButton(tr("Remove"), this);
    removeButton_->setObjectName(QStringLiteral("remove"));
    // Return alone never removes: Remove takes a click or its own focus.
    closeButton_->setDefault(true);
    buttons->addWidget(closeButton_);
    buttons->addWidget(removeButton_);
    layout->addLayout(buttons);

    connect(closeButton_, &QPushButton::clicked, this, &QDialog::reject);
    connect(removeButton_, &QPushButton::clicked, this, &RemoveHostSheet::remove);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && (!chosen_ || *chosen_ != row))
            choose(row);
    });
    load();
}

void RemoveHostSheet::load()
{
    locations_ = remover_.locate(alias_.toStdString());
    list_->clear();
    std::optional<int> first;
    for (std::size_t i = 0; i < locations_.size(); ++i) {
        const auto& location = locations_[i];
        QString label = shown(remover_.tildePath(location.path));
        if (!location.editable)
            label = tr("%1  (read-only)").arg(label);
        list_->addItem(label);
        if (location.editable && !first)
            first = int(i);
    }
    if (!locations_.empty())
        choose(first.value_or(0));
    else
        refresh();
}

void RemoveHostSheet::choose(int index)
{
    if (index < 0 || std::size_t(index) >= locations_.size() || result_ || saving_.running())
        return;
    chosen_ = index;
    error_.reset();
    change_ = remover_.plan(alias_.toStdString(), locations_[std::size_t(index)]);
    {
        const QSignalBlocker block(list_);
        list_->setCurrentRow(index);
    }
    refresh();
}

void RemoveHostSheet::remove()
{
    if (!change_ || result_ || saving_.running())
        return;
    // Waiting for another window's lock or for ssh runs on a worker.
    saving_.start([remover = remover_, change = *change_] { return remover.apply(change); },
                  [this](const Result<std::vector<std::string>>& applied) { finishRemoval(applied); });
    refresh();
}

void RemoveHostSheet::finishRemoval(const Result<std::vector<std::string>>& applied)
{
    // A plan is good for one try: after a failure the files must be read again.
    const SSHConfigRemove::Change change = *change_;
    change_.reset();
    if (!applied) {
        error_ = SSHConfigMessages::error(applied.error());
        refresh();
        emit removalFinished(false);
        return;
    }
    const QString file = shown(remover_.tildePath(change.location.path));
    QStringList backups;
    for (const std::string& b : applied.value())
        backups.push_back(lastComponent(b));
    QString text;
    if (change.cleanup)
        text = tr("Removed %1. quillmar_config had no other hosts, so it was deleted and its Include "
                  "line taken out of ~/.ssh/config.")
                   .arg(shownAlias_);
    else if (change.onlyNameRemoved)
        text = tr("Removed %1 from its Host line in %2; the line keeps its other names.").arg(shownAlias_, file);
    else
        text = tr("Removed %1 from %2.").arg(shownAlias_, file);
    if (!backups.isEmpty())
        text = (backups.size() == 1 ? tr("%1 Backup: %2.") : tr("%1 Backups: %2."))
                   .arg(text, backups.join(QStringLiteral(", ")));
    result_ = text;
    hosts_.reload();
    refresh();
    emit removalFinished(true);
}

QString RemoveHostSheet::noteText() const
{
    return note_->text();
}

void RemoveHostSheet::refresh()
{
    QString diff;
    QString note;
    Metro::Role tone = Metro::Role::secondaryText;
    if (result_) {
        note = *result_;
        tone = Metro::Role::success;
    } else if (error_) {
        note = *error_;
        tone = Metro::Role::danger;
    } else if (locations_.empty()) {
        note = tr("No Host line in ~/.ssh/config or the files it includes names %1.").arg(shownAlias_);
    } else if (chosen_) {
        const auto& location = locations_[std::size_t(*chosen_)];
        const QString file = shown(remover_.tildePath(location.path));
        if (!location.editable) {
            note =
                tr("%1 is defined in %2, which quillmar doesn't edit. Remove it there by hand.").arg(shownAlias_, file);
        } else if (!change_) {
            note =
                tr("%1 can't be removed from %2: the file can't be read or no longer names it.").arg(shownAlias_, file);
        } else {
            diff = file + QStringLiteral(":\n");
            appendDiff(diff, change_->diff);
            if (change_->cleanup) {
                diff += QStringLiteral("\n~/.ssh/config:\n");
                appendDiff(diff, change_->cleanup->configDiff);
            }
            note = change_->cleanup ? tr("quillmar_config will have no hosts left, so it is deleted and its Include "
                                         "line leaves ~/.ssh/config. Both files are backed up first.")
                                    : tr("%1 is backed up to ~/.ssh/quillmar-backups first.").arg(file);
            if (locations_.size() > 1)
                note = tr("%1 %2 is defined in %3 files; this removes it from the one chosen.")
                           .arg(note, shownAlias_, QString::number(locations_.size()));
        }
    }
    if (saving_.running())
        note = tr("Removing %1…").arg(shownAlias_);
    diff_->setPlainText(diff);
    diff_->setVisible(!diff.isEmpty() || (!result_ && !error_));
    note_->setText(note);
    setTextRole(note_, tone);
    removeButton_->setEnabled(change_.has_value() && !result_ && !saving_.running());
    removeButton_->setVisible(!result_);
    closeButton_->setText(result_ ? tr("Done") : tr("Cancel"));
    list_->setEnabled(!result_ && !saving_.running());
}

}  // namespace quillmar
