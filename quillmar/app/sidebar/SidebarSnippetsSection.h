#pragma once

#include "quillmar/app/panes/SnippetRowsView.h"
#include "quillmar/app/sheets/SnippetDeleteSheet.h"
#include "quillmar/app/sheets/SnippetEditSheet.h"
#include "quillmar/app/sidebar/SidebarSection.h"
#include "quillmar/app/sidebar/SnippetTreeModel.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QModelIndex>
#include <QPointer>
#include <QSet>
#include <QWidget>

class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;

namespace quillmar {

class SnippetInsertion;
class UserSettings;
class Workspace;

// The sidebar's Snippets section: the snippets by category under the shared
// filter, the notice line, or only the store's error. A double-click
// inserts; the context menu inserts, copies, edits or deletes.
class SidebarSnippetsSection final : public SidebarSection {
    Q_OBJECT

public:
    SidebarSnippetsSection(SnippetStore& store, SnippetInsertion& insertion, Workspace& workspace,
                           UserSettings& settings, QLineEdit* filter, QWidget* parent = nullptr);
    ~SidebarSnippetsSection() override;

    QToolButton* headerButton() const { return titleButton(); }
    // The list; its model is the `SnippetRowsModel` of the section.
    SnippetRowsView* tree() const { return tree_; }
    QLabel* noticeText() const { return notice_; }
    QLabel* errorText() const { return error_; }
    // A category's row in the list, invalid when it is filtered out or absent.
    QModelIndex groupIndex(const QString& category) const;
    // A snippet's row, invalid when it is filtered out, closed or absent.
    QModelIndex snippetIndex(const QString& id) const;
    // Open while filtering, otherwise open when the user opened it.
    bool isOpen(const QString& category) const;
    void setOpen(const QString& category, bool open);
    const QSet<QString>& openCategories() const { return rows_->toggled(); }

    // "Insert", "Copy", a divider, "Edit…", "Delete…"; the caller owns it.
    QMenu* menuFor(const QString& id, QWidget* parent);
    void requestEdit(const QString& id);
    void requestDelete(const QString& id);
    SnippetEditSheet* editSheet() const { return editSheet_; }
    SnippetDeleteSheet* deleteSheet() const { return deleteSheet_; }

    // Applies the filter's text to the grouped rows.
    void applyFilter();

protected:
    // A theme change repaints the rows in its colours.
    void changeEvent(QEvent* event) override;

private:
    void showStore();
    void refreshNotice();
    void recolour();
    void fitHeight();
    std::optional<Snippet> snippetOf(const QModelIndex& index) const;

    SnippetStore& store_;
    SnippetInsertion& insertion_;
    Workspace& workspace_;
    UserSettings& settings_;
    QLineEdit* filter_;
    QLabel* error_ = nullptr;
    QLabel* notice_ = nullptr;
    SnippetTreeModel* model_ = nullptr;
    SnippetRowsModel* rows_ = nullptr;
    SnippetRowsView* tree_ = nullptr;
    QPointer<SnippetEditSheet> editSheet_;
    QPointer<SnippetDeleteSheet> deleteSheet_;
};

}  // namespace quillmar
