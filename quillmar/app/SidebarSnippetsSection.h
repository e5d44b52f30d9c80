#pragma once

#include "quillmar/app/SnippetDeleteSheet.h"
#include "quillmar/app/SnippetEditSheet.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QPointer>
#include <QSet>
#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillmar {

class SnippetInsertion;
class UserSettings;
class Workspace;

// The text of a snippet row: the title and a platform mark for the tag
// "linux" (first) or "macos", compared exactly.
QString snippetRowText(const Snippet& snippet);
// The filter field's text trimmed of spaces and tabs.
QString snippetQuery(const QString& filterText);

// The sidebar's Snippets section: the snippets by category under the shared
// filter, the notice line, or only the store's error. A double-click
// inserts; the context menu inserts, copies, edits or deletes.
class SidebarSnippetsSection final : public QWidget {
    Q_OBJECT

public:
    SidebarSnippetsSection(SnippetStore& store, SnippetInsertion& insertion, Workspace& workspace,
                           UserSettings& settings, QLineEdit* filter, QWidget* parent = nullptr);
    ~SidebarSnippetsSection() override;

    QToolButton* headerButton() const { return header_; }
    QTreeWidget* tree() const { return tree_; }
    QLabel* noticeText() const { return notice_; }
    QLabel* errorText() const { return error_; }
    // The group of a category, none when it is hidden or absent.
    QTreeWidgetItem* groupItem(const QString& category) const;
    QTreeWidgetItem* snippetItem(const QString& id) const;
    const QSet<QString>& openCategories() const { return openCategories_; }

    // "Insert", "Copy", a divider, "Edit…", "Delete…"; the caller owns it.
    QMenu* menuFor(const QString& id, QWidget* parent);
    void requestEdit(const QString& id);
    void requestDelete(const QString& id);
    SnippetEditSheet* editSheet() const { return editSheet_; }
    SnippetDeleteSheet* deleteSheet() const { return deleteSheet_; }

    // Applies the filter's text to the rows already built.
    void applyFilter();

protected:
    // A theme change repaints the rows in its colours.
    void changeEvent(QEvent* event) override;

private:
    struct Row {
        QTreeWidgetItem* item;
        QString title, command, category;
        QStringList tags;
    };
    void rebuild();
    void refreshNotice();
    void recolour();
    void fitHeight();
    std::optional<Snippet> snippetOf(const QTreeWidgetItem* item) const;

    SnippetStore& store_;
    SnippetInsertion& insertion_;
    Workspace& workspace_;
    UserSettings& settings_;
    QLineEdit* filter_;
    QToolButton* disclosure_ = nullptr;
    QToolButton* header_ = nullptr;
    QWidget* body_ = nullptr;
    QLabel* error_ = nullptr;
    QLabel* notice_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    std::vector<std::pair<QTreeWidgetItem*, std::vector<Row>>> groups_;
    QSet<QString> openCategories_;
    QPointer<SnippetEditSheet> editSheet_;
    QPointer<SnippetDeleteSheet> deleteSheet_;
    bool syncing_ = false;
};

}  // namespace quillmar
