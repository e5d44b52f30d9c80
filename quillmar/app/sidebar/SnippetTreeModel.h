#pragma once

#include "platform/NaturalOrder.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QAbstractItemModel>
#include <QFont>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// The text of a snippet row: the title, hidden characters spelt out, and a
// platform mark for the tag "linux" (first) or "macos", compared exactly.
QString snippetRowText(const Snippet& snippet);
// That mark alone ("  · linux", "  · macOS"), or empty.
QString snippetPlatformMark(const Snippet& snippet);

// The store's snippets as a tree, category → snippet: categories in the
// order they first occur, each one's snippets by title. A snippet without a
// category shows under `defaultSnippetCategory`. The store is grouped once
// per change, never per view or per keystroke, and one model serves every
// view of a store. Main thread only.
class SnippetTreeModel final : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Column { titleColumn, commandColumn, columns };
    enum Role {
        idRole = Qt::UserRole + 1,  // a snippet's id
        rowTextRole,                // `snippetRowText`
        markRole,                   // `snippetPlatformMark`
        categoryRole,               // a group's name as stored; it shows spelt out
    };

    // The store's model, made on first use and owned by the store.
    static SnippetTreeModel* of(SnippetStore& store);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Invalid when no snippet shows under that name.
    QModelIndex groupIndex(const QString& category) const;
    QModelIndex snippetIndex(const QString& id) const;
    // The stored snippet of a row; none for a group or a stale index.
    const Snippet* snippetAt(const QModelIndex& index) const;

    // Every snippet in tree order; group g holds [groupStart(g), groupStart(g + 1)).
    int entryCount() const { return int(entries_.size()); }
    int groupStart(int group) const { return groups_[std::size_t(group)].first; }
    QString groupName(int group) const;
    // Whether a query, lower-cased and in UTF-8, is in the entry's title,
    // command, category or one of its tags, all lower-cased.
    bool entryMatches(int entry, std::string_view loweredQuery) const;
    // Goes up with every regrouping, so a cache can tell it is stale.
    std::uint64_t revision() const { return revision_; }

private:
    SnippetTreeModel(SnippetStore& store, QObject* parent);
    void rebuild();
    std::string_view nameOf(std::size_t group) const;

    // Texts live in two arenas rather than in a string per field: a
    // regrouping of the largest store then allocates a few times, not
    // hundreds of thousands.
    struct Group {
        std::size_t name = 0;     // where its name starts in `names_`
        std::size_t lowered = 0;  // where its lower-cased name starts in `text_`
        int first = 0, count = 0;
    };
    struct Entry {
        std::size_t source = 0;  // in the store's list
        int group = 0;
        std::size_t text = 0;  // where its lower-cased fields start in `text_`
    };

    SnippetStore& store_;
    platform::NaturalOrder order_;
    std::vector<Group> groups_;
    std::vector<Entry> entries_;
    std::vector<int> entryOf_;  // per snippet of the store
    // The group names one after another; each runs up to the next one's start.
    std::string names_;
    // Every lower-cased field searched, in UTF-8, each after a NUL: a query
    // without one can only match inside a single field. A group's name and
    // then its entries' fields, each running up to the next one's start.
    std::string text_;
    QFont groupFont_, commandFont_;
    std::uint64_t revision_ = 0;
};

}  // namespace quillmar
