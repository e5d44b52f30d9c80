#pragma once

#include "quillmar/snippets/SnippetEditRequest.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quillmar {

// The add or edit sheet: adds the request's snippet when it is new, else
// edits the stored one with its id. Stays open with the store's sentence
// when the change is refused; closes itself once it is saved.
class SnippetEditSheet final : public QDialog {
    Q_OBJECT

public:
    SnippetEditSheet(SnippetStore& store, SnippetEditRequest request, QWidget* parent = nullptr);

    const SnippetEditRequest& request() const { return request_; }
    QLineEdit* titleField() const { return title_; }
    QPlainTextEdit* commandField() const { return command_; }
    QComboBox* categoryField() const { return category_; }
    // Comma-separated.
    QLineEdit* tagsField() const { return tags_; }
    QPlainTextEdit* noteField() const { return note_; }
    QLabel* errorText() const { return error_; }
    QPushButton* saveButton() const { return save_; }

    // The snippet as the fields describe it now, tidied as it is saved.
    Snippet edited() const;
    // Saves; true when the store took it (the sheet then closes).
    bool save();

private:
    SnippetStore& store_;
    SnippetEditRequest request_;
    QLineEdit* title_ = nullptr;
    QPlainTextEdit* command_ = nullptr;
    QComboBox* category_ = nullptr;
    QLineEdit* tags_ = nullptr;
    QPlainTextEdit* note_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace quillmar
