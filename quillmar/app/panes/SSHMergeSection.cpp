#include "quillmar/app/panes/SSHMergeSection.h"

#include "quillmar/app/panes/SSHConfigMessages.h"
#include "ravelgrid/view/PlainText.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmar {
namespace {

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

QString diffText(const std::vector<DiffLine>& lines)
{
    QString out;
    for (const DiffLine& line : lines) {
        out += QChar::fromLatin1(line.sign);
        out += QLatin1Char(' ');
        // Host lines name hosts: shown as the sidebar shows them.
        out += ravelgrid::revealHiddenCharacters(qs(line.text));
        out += QLatin1Char('\n');
    }
    return out;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

QPlainTextEdit* diffView(QWidget* parent, const QString& name)
{
    auto* view = new QPlainTextEdit(parent);
    view->setObjectName(name);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setMinimumHeight(120);
    return view;
}

QString nothingToMerge()
{
    return QCoreApplication::translate("quillmar::SSHMergeSection",
                                       "There is nothing to merge: ~/.ssh/config has no Include line for "
                                       "quillmar_config, or that file isn't there. Nothing was changed.");
}

}  // namespace

SSHMergeSection::SSHMergeSection(SSHConfigWriter writer, QWidget* parent)
    : QWidget(parent), merge_(writer), ownPath_(writer.paths().ownConfigPath()), saving_(this)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* intro = new QLabel(tr("Moves the hosts of ~/.ssh/quillmar_config into ~/.ssh/config, where its "
                                "Include line stands, and removes that line and the file. Both files are "
                                "backed up first."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    start_ = new QPushButton(tr("Merge into my SSH config"), this);
    start_->setObjectName(QStringLiteral("mergeStart"));
    layout->addWidget(start_, 0, Qt::AlignLeft);
    conflictsBox_ = new QWidget(this);
    conflictsLayout_ = new QVBoxLayout(conflictsBox_);
    conflictsLayout_->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(conflictsBox_);
    previewBox_ = new QWidget(this);
    auto* previewLayout = new QVBoxLayout(previewBox_);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    previewLayout->addWidget(new QLabel(QStringLiteral("~/.ssh/config"), previewBox_));
    configDiff_ = diffView(previewBox_, QStringLiteral("mergeConfigDiff"));
    previewLayout->addWidget(configDiff_);
    previewLayout->addWidget(new QLabel(tr("~/.ssh/quillmar_config (removed)"), previewBox_));
    ownDiff_ = diffView(previewBox_, QStringLiteral("mergeOwnDiff"));
    previewLayout->addWidget(ownDiff_);
    apply_ = new QPushButton(tr("Merge"), previewBox_);
    apply_->setObjectName(QStringLiteral("mergeApply"));
    previewLayout->addWidget(apply_, 0, Qt::AlignLeft);
    layout->addWidget(previewBox_);
    status_ = ravelgrid::plainLabel(QString(), this);
    status_->setObjectName(QStringLiteral("mergeStatus"));
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status_);
    conflictsBox_->hide();
    previewBox_->hide();
    status_->hide();

    connect(start_, &QPushButton::clicked, this, [this] {
        status_->hide();
        startMerge();
    });
    connect(apply_, &QPushButton::clicked, this, [this] { applyMerge(); });
}

void SSHMergeSection::setStatus(const QString& text, bool error)
{
    status_->setText(text);
    status_->setProperty("error", error);
    status_->setVisible(!text.isEmpty());
}

void SSHMergeSection::startMerge()
{
    if (saving_.running())
        return;
    plan_ = merge_.plan();
    choices_.clear();
    preview_.reset();
    if (!plan_) {
        conflictsBox_->hide();
        previewBox_->hide();
        setStatus(nothingToMerge(), false);
        return;
    }
    rebuildConflicts();
    refreshPreview();
}

void SSHMergeSection::filesChanged()
{
    // Only the "nothing to merge" answer is re-asked; a preview on show is
    // checked against the files when it is applied.
    if (plan_ || status_->isHidden() || status_->text() != nothingToMerge())
        return;
    if (merge_.plan())
        setStatus({}, false);
}

void SSHMergeSection::rebuildConflicts()
{
    while (QLayoutItem* item = conflictsLayout_->takeAt(0)) {
        if (QWidget* w = item->widget())
            w->deleteLater();
        delete item;
    }
    if (!plan_ || plan_->conflicts.empty()) {
        conflictsBox_->hide();
        return;
    }
    auto* heading = new QLabel(tr("These hosts are in both files. Choose which copy to keep:"), conflictsBox_);
    heading->setWordWrap(true);
    conflictsLayout_->addWidget(heading);
    for (const std::string& alias : plan_->conflicts) {
        auto* row = new QWidget(conflictsBox_);
        row->setObjectName(QStringLiteral("conflict-") + qs(alias));
        auto* rowLayout = new QVBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        auto* name = ravelgrid::plainLabel(ravelgrid::revealHiddenCharacters(qs(alias)), row);
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        rowLayout->addWidget(name);
        auto* group = new QButtonGroup(row);
        auto* config = new QRadioButton(tr("Keep the copy in ~/.ssh/config"), row);
        config->setObjectName(QStringLiteral("keepConfig"));
        auto* own = new QRadioButton(tr("Keep the copy from quillmar"), row);
        own->setObjectName(QStringLiteral("keepQuillmar"));
        group->addButton(config);
        group->addButton(own);
        rowLayout->addWidget(config);
        rowLayout->addWidget(own);
        connect(config, &QRadioButton::clicked, this, [this, alias] { choose(alias, SSHConfigMerge::Keep::config); });
        connect(own, &QRadioButton::clicked, this, [this, alias] { choose(alias, SSHConfigMerge::Keep::quillmar); });
        conflictsLayout_->addWidget(row);
    }
    conflictsBox_->show();
}

void SSHMergeSection::choose(const std::string& alias, SSHConfigMerge::Keep keep)
{
    if (saving_.running())
        return;
    choices_[alias] = keep;
    if (QWidget* row = conflictsBox_->findChild<QWidget*>(QStringLiteral("conflict-") + qs(alias))) {
        const char* name = keep == SSHConfigMerge::Keep::config ? "keepConfig" : "keepQuillmar";
        if (auto* button = row->findChild<QRadioButton*>(QLatin1String(name)))
            button->setChecked(true);
    }
    refreshPreview();
}

void SSHMergeSection::refreshPreview()
{
    preview_.reset();
    if (!plan_)
        return;
    std::size_t decided = 0;
    for (const std::string& alias : plan_->conflicts)
        decided += choices_.count(alias);
    if (decided < plan_->conflicts.size()) {
        // Nothing to show until every conflict has a choice.
        previewBox_->hide();
        setStatus({}, false);
        return;
    }
    auto preview = merge_.preview(choices_);
    if (!preview) {
        previewBox_->hide();
        setStatus(SSHConfigMessages::error(withNothingChanged(preview.error())), true);
        return;
    }
    preview_ = std::move(preview.value());
    configDiff_->setPlainText(diffText(preview_->diff));
    ownDiff_->setPlainText(diffText(lineDiff(splitLines(preview_->ownOriginal), {})));
    previewBox_->show();
    setStatus({}, false);
}

bool SSHMergeSection::applyMerge()
{
    if (!preview_ || saving_.running())
        return false;
    // Waiting for another window's lock or for ssh runs on a worker.
    saving_.start([merge = merge_, preview = *preview_] { return merge.apply(preview); },
                  [this](const Result<SSHConfigMerge::Applied>& applied) { finishMerge(applied); });
    setBusy(true);
    setStatus(tr("Saving…"), false);
    return true;
}

void SSHMergeSection::setBusy(bool busy)
{
    start_->setEnabled(!busy);
    apply_->setEnabled(!busy);
    conflictsBox_->setEnabled(!busy);
}

void SSHMergeSection::finishMerge(const Result<SSHConfigMerge::Applied>& applied)
{
    setBusy(false);
    if (!applied) {
        // A file changed since the preview (or couldn't be written): plan
        // again from what is there now, and keep the user's choices that
        // still apply.
        const auto kept = choices_;
        QString message = SSHConfigMessages::error(withNothingChanged(applied.error()));
        // The new plan below is what to try next, not a fresh start.
        message.replace(QStringLiteral("; close and try again."), QStringLiteral("."));
        plan_ = merge_.plan();
        choices_.clear();
        preview_.reset();
        if (plan_) {
            rebuildConflicts();
            for (const auto& [alias, keep] : kept) {
                if (std::find(plan_->conflicts.begin(), plan_->conflicts.end(), alias) != plan_->conflicts.end())
                    choose(alias, keep);
            }
            refreshPreview();
        } else {
            conflictsBox_->hide();
            previewBox_->hide();
        }
        setStatus(plan_ ? tr("%1 Below is the merge planned again from the files as they are now.").arg(message)
                        : message,
                  true);
        emit mergeFinished(false);
        return;
    }
    plan_.reset();
    choices_.clear();
    preview_.reset();
    conflictsBox_->hide();
    previewBox_->hide();
    const QString done = applied.value().movedCount == 1
                             ? tr("Moved 1 host into ~/.ssh/config and removed ~/.ssh/quillmar_config. "
                                  "Backups are in ~/.ssh/quillmar-backups/.")
                             : tr("Moved %1 hosts into ~/.ssh/config and removed ~/.ssh/quillmar_config. "
                                  "Backups are in ~/.ssh/quillmar-backups/.")
                                   .arg(applied.value().movedCount);
    setStatus(done, false);
    emit merged();
    emit mergeFinished(true);
}

}  // namespace quillmar
