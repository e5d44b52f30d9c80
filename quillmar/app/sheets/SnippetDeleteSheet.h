#pragma once

#include "quillmar/snippets/SnippetStore.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace quillmar {

// Asks before a snippet is deleted; shows the store's sentence when the
// deletion is refused, closes itself once it is done.
class SnippetDeleteSheet final : public QDialog {
    Q_OBJECT

public:
    SnippetDeleteSheet(SnippetStore& store, Snippet snippet, QWidget* parent = nullptr);

    const Snippet& snippet() const { return snippet_; }
    QLabel* errorText() const { return error_; }
    QPushButton* deleteButton() const { return delete_; }
    // True when the store removed it (the sheet then closes).
    bool confirm();

private:
    SnippetStore& store_;
    Snippet snippet_;
    QLabel* error_ = nullptr;
    QPushButton* delete_ = nullptr;
};

}  // namespace quillmar
