#pragma once

#include "quillmar/app/sidebar/SnippetTreeModel.h"

#include <QAbstractItemModel>
#include <QFont>
#include <QPointer>
#include <QSet>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace quillmar {

// The filter field's text trimmed of spaces and tabs.
QString snippetQuery(const QString& filterText);

// The rows a snippet list shows: each category of the snippet tree followed
// by its snippets while it is open, under a filter. A tree view keeps a
// persistent index per open branch, and with thousands open every change
// walks them all; this flat list keeps none, and opening or closing a
// category is one insertion or removal.
//
// The filter: a snippet stays when the lower-cased query is in its
// lower-cased title, command, category or one of its tags; a category stays
// while one of its snippets does, and reads open whatever was toggled. What
// matches is worked out once per query and per regrouping, and a longer
// query only looks at what the shorter one kept.
class SnippetRowsModel final : public QAbstractItemModel {
    Q_OBJECT

public:
    enum class Look {
        // Closed until opened; a snippet reads as `snippetRowText` in the
        // monospaced face, rows in the theme's colours of the moment.
        sidebar,
        // Open until closed; the tree's title and command columns.
        pane,
    };
    enum Role {
        headerRole = Qt::UserRole + 100,  // true on a category's row
        openRole,                         // on a category's row: whether it is open
    };

    SnippetRowsModel(SnippetTreeModel* tree, Look look, QObject* parent = nullptr);

    SnippetTreeModel* tree() const { return tree_; }
    // Lower-cased; empty when nothing is filtered.
    const QString& query() const { return query_; }
    // Takes the filter field's text; false when the query stayed the same.
    bool setFilterText(const QString& text);
    // How many times an entry was tested against a query, for as long as the
    // model lived.
    std::uint64_t entriesTested() const { return entriesTested_; }

    // The categories whose state the user turned from the default.
    const QSet<QString>& toggled() const { return toggled_; }
    bool isOpen(const QString& category) const;
    // Writes the category's state: it is toggled exactly when that differs
    // from the default. Shown at once unless a query keeps every category open.
    void setOpen(const QString& category, bool open);

    bool isHeader(const QModelIndex& row) const;
    // The tree's index behind a row, and the row that shows a tree index
    // (invalid while it is filtered out or its category is closed).
    QModelIndex treeIndex(const QModelIndex& row) const;
    QModelIndex rowOf(const QModelIndex& treeIndex) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex&) const override { return {}; }
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override { return !parent.isValid(); }
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void matchEntries();
    void rebuild();
    bool reads(const QString& category) const;

    struct Row {
        int group;
        int entry;  // the tree's entry; -1 on the category's own row
    };

    QPointer<SnippetTreeModel> tree_;
    Look look_;
    QFont rowFont_;
    QSet<QString> toggled_;
    QString query_;
    std::string loweredQuery_;  // `query_` in UTF-8
    // What `query_` keeps, as of the tree's `revision`.
    QString matchedQuery_;
    std::uint64_t matchedRevision_ = 0;
    std::vector<char> entryShown_;
    std::uint64_t entriesTested_ = 0;
    std::vector<Row> rows_;
    std::vector<int> headerRow_;   // per category; -1 while filtered out
    std::vector<int> entryRow_;    // per entry; -1 while not shown
    std::vector<char> shownOpen_;  // per category
    bool resetting_ = false;
};

}  // namespace quillmar
