#include "quillmar/app/sheets/SnippetDeleteSheet.h"

#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmar {

SnippetDeleteSheet::SnippetDeleteSheet(SnippetStore& store, Snippet snippet, QWidget* parent)
    : QDialog(parent), store_(store), snippet_(std::move(snippet))
{
    setObjectName(QStringLiteral("snippetDeleteSheet"));
    setWindowModality(Qt::WindowModal);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Delete Snippet"));
    auto* layout = new QVBoxLayout(this);
    auto* question = ravelgrid::plainLabel(
        tr("Delete \u201C%1\u201D?").arg(ravelgrid::revealHiddenCharacters(QString::fromStdString(snippet_.title))),
        this);
    question->setFont(metroFont(14, QFont::DemiBold));
    question->setWordWrap(true);
    layout->addWidget(question);
    auto* detail = new QLabel(tr("The snippet is removed from your library."), this);
    detail->setWordWrap(true);
    layout->addWidget(detail);
    error_ = makeErrorLabel(this);
    layout->addWidget(error_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    delete_ = new QPushButton(tr("Delete"), this);
    cancel->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(delete_);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(delete_, &QPushButton::clicked, this, [this] { confirm(); });
}

bool SnippetDeleteSheet::confirm()
{
    if (const std::optional<QString> problem = store_.remove(QString::fromStdString(snippet_.id))) {
        showErrorText(error_, *problem);
        return false;
    }
    accept();
    return true;
}

}  // namespace quillmar
