#include "quillmar/app/panes/SnippetRowsModel.h"

#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QWidget>

#include <algorithm>

namespace quillmar {

QString snippetQuery(const QString& filterText)
{
    qsizetype begin = 0, end = filterText.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(filterText[begin]))
        ++begin;
    while (end > begin && blank(filterText[end - 1]))
        --end;
    return filterText.mid(begin, end - begin);
}

SnippetRowsModel::SnippetRowsModel(SnippetTreeModel* tree, Look look, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree), look_(look), rowFont_(metroMonoFont(12))
{
    // Between the tree's "about to" and its reset the rows still name the
    // old tree, so this reset spans both.
    connect(tree_, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        if (!resetting_) {
            resetting_ = true;
            beginResetModel();
        }
    });
    connect(tree_, &QAbstractItemModel::modelReset, this, &SnippetRowsModel::rebuild);
    connect(tree_, &QObject::destroyed, this, [this] {
        // Half gone already: nothing may be asked of it any more.
        tree_ = nullptr;
        rebuild();
    });
    rebuild();
}

bool SnippetRowsModel::reads(const QString& category) const
{
    return !query_.isEmpty() || (look_ == Look::pane) != toggled_.contains(category);
}

bool SnippetRowsModel::isOpen(const QString& category) const
{
    return reads(category);
}

bool SnippetRowsModel::setFilterText(const QString& text)
{
    QString query = snippetQuery(text).toLower();
    if (query == query_)
        return false;
    query_ = std::move(query);
    loweredQuery_ = query_.toStdString();
    rebuild();
    return true;
}

void SnippetRowsModel::matchEntries()
{
    const SnippetTreeModel& tree = *tree_;
    const int entries = tree.entryCount();
    // Typing on only narrows: what the shorter query dropped stays dropped.
    const bool narrowing = matchedRevision_ == tree.revision() && !matchedQuery_.isEmpty() &&
                           query_.contains(matchedQuery_) && int(entryShown_.size()) == entries;
    if (!narrowing)
        entryShown_.assign(std::size_t(entries), 1);
    for (int e = 0; e < entries; ++e) {
        if (entryShown_[std::size_t(e)]) {
            entryShown_[std::size_t(e)] = tree.entryMatches(e, loweredQuery_) ? 1 : 0;
            ++entriesTested_;
        }
    }
    matchedQuery_ = query_;
    matchedRevision_ = tree.revision();
}

void SnippetRowsModel::rebuild()
{
    if (!resetting_)
        beginResetModel();
    resetting_ = false;
    rows_.clear();
    const int groups = tree_ ? tree_->rowCount() : 0;
    const int entries = tree_ ? tree_->entryCount() : 0;
    headerRow_.assign(std::size_t(groups), -1);
    entryRow_.assign(std::size_t(entries), -1);
    shownOpen_.assign(std::size_t(groups), 0);
    const bool filtering = tree_ && !query_.isEmpty();
    if (filtering && (matchedQuery_ != query_ || matchedRevision_ != tree_->revision()))
        matchEntries();
    // Names are read only when a toggle can make a difference.
    const bool uniform = filtering || toggled_.isEmpty();
    const bool openByDefault = filtering || look_ == Look::pane;
    for (int g = 0; g < groups; ++g) {
        const int first = tree_->groupStart(g);
        const int end = g + 1 < groups ? tree_->groupStart(g + 1) : entries;
        if (filtering &&
            std::find(entryShown_.begin() + first, entryShown_.begin() + end, 1) == entryShown_.begin() + end)
            continue;
        headerRow_[std::size_t(g)] = int(rows_.size());
        rows_.push_back({g, -1});
        const bool open = uniform ? openByDefault : reads(tree_->groupName(g));
        shownOpen_[std::size_t(g)] = open ? 1 : 0;
        if (!open)
            continue;
        for (int e = first; e < end; ++e) {
            if (filtering && !entryShown_[std::size_t(e)])
                continue;
            entryRow_[std::size_t(e)] = int(rows_.size());
            rows_.push_back({g, e});
        }
    }
    endResetModel();
}

void SnippetRowsModel::setOpen(const QString& category, bool open)
{
    if (open != (look_ == Look::pane))
        toggled_.insert(category);
    else
        toggled_.remove(category);
    if (!query_.isEmpty() || !tree_)
        return;
    const QModelIndex group = tree_->groupIndex(category);
    if (!group.isValid())
        return;
    const int g = group.row();
    const int header = headerRow_[std::size_t(g)];
    if (header < 0 || bool(shownOpen_[std::size_t(g)]) == open)
        return;
    shownOpen_[std::size_t(g)] = open ? 1 : 0;
    const int first = tree_->groupStart(g);
    const int children = tree_->rowCount(group);
    if (children > 0) {
        const auto at = rows_.begin() + header + 1;
        if (open) {
            beginInsertRows({}, header + 1, header + children);
            std::vector<Row> added;
            added.reserve(std::size_t(children));
            for (int c = 0; c < children; ++c)
                added.push_back({g, first + c});
            rows_.insert(at, added.begin(), added.end());
        } else {
            beginRemoveRows({}, header + 1, header + children);
            rows_.erase(at, at + children);
        }
        // Everything below moved by the same count.
        std::fill(entryRow_.begin(), entryRow_.end(), -1);
        for (int r = 0; r < int(rows_.size()); ++r) {
            const Row& row = rows_[std::size_t(r)];
            if (row.entry < 0)
                headerRow_[std::size_t(row.group)] = r;
            else
                entryRow_[std::size_t(row.entry)] = r;
        }
        if (open)
            endInsertRows();
        else
            endRemoveRows();
    }
    const QModelIndex row = index(header, 0);
    emit dataChanged(row, row, {openRole});
}

bool SnippetRowsModel::isHeader(const QModelIndex& row) const
{
    return row.isValid() && row.model() == this && row.row() < int(rows_.size()) &&
           rows_[std::size_t(row.row())].entry < 0;
}

QModelIndex SnippetRowsModel::treeIndex(const QModelIndex& row) const
{
    if (!tree_ || !row.isValid() || row.model() != this || row.row() >= int(rows_.size()))
        return {};
    const Row& r = rows_[std::size_t(row.row())];
    const QModelIndex group = tree_->index(r.group, 0);
    if (r.entry < 0)
        return row.column() == 0 ? group : tree_->index(r.group, row.column());
    return tree_->index(r.entry - tree_->groupStart(r.group), row.column(), group);
}

QModelIndex SnippetRowsModel::rowOf(const QModelIndex& treeIndex) const
{
    if (!tree_ || !treeIndex.isValid() || treeIndex.model() != tree_)
        return {};
    const QModelIndex parent = treeIndex.parent();
    if (!parent.isValid()) {
        const int g = treeIndex.row();
        return g < int(headerRow_.size()) ? index(headerRow_[std::size_t(g)], treeIndex.column()) : QModelIndex();
    }
    if (parent.row() >= tree_->rowCount())
        return {};
    const int entry = tree_->groupStart(parent.row()) + treeIndex.row();
    return entry < int(entryRow_.size()) ? index(entryRow_[std::size_t(entry)], treeIndex.column()) : QModelIndex();
}

QModelIndex SnippetRowsModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || row >= int(rows_.size()) || column < 0 || column >= columnCount())
        return {};
    return createIndex(row, column);
}

int SnippetRowsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int SnippetRowsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() || !tree_ ? 0 : tree_->columnCount();
}

QVariant SnippetRowsModel::data(const QModelIndex& index, int role) const
{
    if (role == headerRole)
        return isHeader(index);
    if (role == openRole) {
        if (!isHeader(index))
            return {};
        return bool(shownOpen_[std::size_t(rows_[std::size_t(index.row())].group)]);
    }
    const QModelIndex source = treeIndex(index);
    if (!source.isValid())
        return {};
    if (look_ == Look::sidebar) {
        const bool header = isHeader(index);
        switch (role) {
        case Qt::DisplayRole: return header ? source.data(role) : source.data(SnippetTreeModel::rowTextRole);
        case Qt::FontRole: return header ? source.data(role) : QVariant(rowFont_);
        case Qt::ForegroundRole: {
            // In the theme of the window the owning view is in.
            const auto* owner = qobject_cast<const QWidget*>(QObject::parent());
            return header ? Metro::secondaryText(owner) : Metro::text(owner);
        }
        case Qt::ToolTipRole:
            // The row may be cut short: the whole title, then the command.
            if (const Snippet* s = header || !tree_ ? nullptr : tree_->snippetAt(source))
                return ravelgrid::plainToolTip(ravelgrid::revealHiddenCharacters(
                    QString::fromStdString(s->title) + QLatin1Char('\n') + QString::fromStdString(s->command)));
            break;
        default: break;
        }
    }
    return source.data(role);
}

QVariant SnippetRowsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    return tree_ ? tree_->headerData(section, orientation, role) : QVariant();
}

Qt::ItemFlags SnippetRowsModel::flags(const QModelIndex& index) const
{
    if (!index.isValid() || index.row() >= int(rows_.size()))
        return Qt::NoItemFlags;
    // Never children here: the view draws no branches of its own.
    const Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    return rows_[std::size_t(index.row())].entry < 0 ? flags : flags | Qt::ItemIsSelectable;
}

}  // namespace quillmar
