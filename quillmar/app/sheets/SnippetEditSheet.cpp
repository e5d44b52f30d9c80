#include "quillmar/app/sheets/SnippetEditSheet.h"

#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmar {

SnippetEditSheet::SnippetEditSheet(SnippetStore& store, SnippetEditRequest request, QWidget* parent)
    : QDialog(parent), store_(store), request_(std::move(request))
{
    setObjectName(QStringLiteral("snippetEditSheet"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(request_.isNew ? tr("New Snippet") : tr("Edit Snippet"));
    setMinimumWidth(460);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeTitle(windowTitle(), this, TitleLevel::section));

    auto* form = new QFormLayout;
    title_ = new QLineEdit(QString::fromStdString(request_.snippet.title), this);
    title_->setObjectName(QStringLiteral("title"));
    command_ = new QPlainTextEdit(QString::fromStdString(request_.snippet.command), this);
    command_->setObjectName(QStringLiteral("command"));
    command_->setFont(metroMonoFont(12));
    command_->setTabChangesFocus(true);
    category_ = new QComboBox(this);
    category_->setObjectName(QStringLiteral("category"));
    category_->setEditable(true);
    ravelgrid::addSpeltOutItems(category_, store_.categories());
    category_->setEditText(QString::fromStdString(request_.snippet.category));
    QStringList tags;
    for (const std::string& tag : request_.snippet.tags)
        tags << QString::fromStdString(tag);
    tags_ = new QLineEdit(tags.join(QStringLiteral(", ")), this);
    tags_->setObjectName(QStringLiteral("tags"));
    tags_->setPlaceholderText(tr("linux, macos"));
    note_ = new QPlainTextEdit(QString::fromStdString(request_.snippet.note), this);
    note_->setObjectName(QStringLiteral("note"));
    note_->setTabChangesFocus(true);
    note_->setMaximumHeight(80);
    form->addRow(tr("Title"), title_);
    form->addRow(tr("Command"), command_);
    form->addRow(tr("Category"), category_);
    form->addRow(tr("Tags"), tags_);
    form->addRow(tr("Note"), note_);
    layout->addLayout(form);

    error_ = makeErrorLabel(this);
    layout->addWidget(error_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    save_ = new QPushButton(request_.isNew ? tr("Add") : tr("Save"), this);
    save_->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(save_);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, [this] { save(); });
}

Snippet SnippetEditSheet::edited() const
{
    Snippet s = request_.snippet;
    s.title = title_->text().trimmed().toStdString();
    s.command = command_->toPlainText().toStdString();
    s.category = category_->currentText().trimmed().toStdString();
    s.tags.clear();
    for (const QString& tag : tags_->text().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString t = tag.trimmed();
        if (!t.isEmpty())
            s.tags.push_back(t.toStdString());
    }
    s.note = note_->toPlainText().toStdString();
    return tidiedSnippet(std::move(s));
}

bool SnippetEditSheet::save()
{
    const Snippet s = edited();
    const std::optional<QString> problem = request_.isNew ? store_.add(s) : store_.edit(s);
    if (problem) {
        showErrorText(error_, *problem);
        return false;
    }
    accept();
    return true;
}

}  // namespace quillmar
