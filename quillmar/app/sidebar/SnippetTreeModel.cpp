#include "quillmar/app/sidebar/SnippetTreeModel.h"

#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <algorithm>
#include <functional>
#include <string_view>

namespace quillmar {

namespace {

// Children carry their group's row plus one; groups carry 0.
constexpr quintptr groupTag = 0;

// Appends a NUL and `text` lower-cased as QString::toLower would, in UTF-8.
void appendLowered(std::string& out, std::string_view text)
{
    out.push_back('\0');
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        const std::size_t at = out.size();
        out.resize(at + text.size());
        std::transform(text.begin(), text.end(), out.begin() + std::ptrdiff_t(at),
                       [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
        return;
    }
    const QByteArray lowered = QString::fromUtf8(text.data(), qsizetype(text.size())).toLower().toUtf8();
    out.append(lowered.constData(), std::size_t(lowered.size()));
}

}  // namespace

QString snippetPlatformMark(const Snippet& snippet)
{
    const auto has = [&](const char* tag) {
        return std::find(snippet.tags.begin(), snippet.tags.end(), tag) != snippet.tags.end();
    };
    if (has("linux"))
        return QStringLiteral("  \u00B7 linux");
    if (has("macos"))
        return QStringLiteral("  \u00B7 macOS");
    return {};
}

QString snippetRowText(const Snippet& snippet)
{
    return ravelgrid::revealHiddenCharacters(QString::fromStdString(snippet.title)) + snippetPlatformMark(snippet);
}

SnippetTreeModel* SnippetTreeModel::of(SnippetStore& store)
{
    if (auto* model = store.findChild<SnippetTreeModel*>(QString(), Qt::FindDirectChildrenOnly))
        return model;
    return new SnippetTreeModel(store, &store);
}

SnippetTreeModel::SnippetTreeModel(SnippetStore& store, QObject* parent)
    : QAbstractItemModel(parent), store_(store), groupFont_(metroFont(12, QFont::Medium)),
      commandFont_(metroMonoFont(12))
{
    connect(&store_, &SnippetStore::snippetsChanged, this, &SnippetTreeModel::rebuild);
    connect(&store_, &SnippetStore::loadErrorChanged, this, &SnippetTreeModel::rebuild);
    rebuild();
}

void SnippetTreeModel::rebuild()
{
    beginResetModel();
    const std::vector<Snippet>& all = store_.allSnippets();
    // One pass names each snippet's group, a counting pass puts them in
    // group order: never a walk over every snippet per category. Groups are
    // found through an open-addressed table of their names.
    std::vector<std::string_view> names;
    std::vector<int> groupOf(all.size());
    std::size_t tableSize = 16;
    while (tableSize < all.size() * 2)
        tableSize *= 2;
    std::vector<int> table(tableSize, -1);
    const std::hash<std::string_view> hash;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string_view name = all[i].category.empty() ? defaultSnippetCategory : all[i].category;
        std::size_t slot = hash(name) & (tableSize - 1);
        while (table[slot] >= 0 && names[std::size_t(table[slot])] != name)
            slot = (slot + 1) & (tableSize - 1);
        if (table[slot] < 0) {
            table[slot] = int(names.size());
            names.push_back(name);
        }
        groupOf[i] = table[slot];
    }
    std::vector<int> starts(names.size() + 1, 0);
    for (int g : groupOf)
        ++starts[std::size_t(g) + 1];
    for (std::size_t g = 0; g < names.size(); ++g)
        starts[g + 1] += starts[g];
    std::vector<std::size_t> order(all.size());
    {
        std::vector<int> next(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < all.size(); ++i)
            order[std::size_t(next[std::size_t(groupOf[i])]++)] = i;
    }

    groups_.clear();
    groups_.reserve(names.size());
    entries_.clear();
    entries_.reserve(all.size());
    entryOf_.assign(all.size(), -1);
    names_.clear();
    text_.clear();
    for (std::size_t g = 0; g < names.size(); ++g) {
        const auto first = order.begin() + starts[g], end = order.begin() + starts[g + 1];
        if (end - first > 1)
            std::stable_sort(first, end, [&](std::size_t a, std::size_t b) {
                return order_.compare(all[a].title, all[b].title) < 0;
            });
        groups_.push_back({names_.size(), text_.size(), starts[g], starts[g + 1] - starts[g]});
        names_.append(names[g]);
        appendLowered(text_, names[g]);
        for (auto it = first; it != end; ++it) {
            const Snippet& s = all[*it];
            entryOf_[*it] = int(entries_.size());
            entries_.push_back({*it, int(g), text_.size()});
            appendLowered(text_, s.title);
            appendLowered(text_, s.command);
            for (const std::string& tag : s.tags)
                appendLowered(text_, tag);
        }
    }
    ++revision_;
    endResetModel();
}

std::string_view SnippetTreeModel::nameOf(std::size_t group) const
{
    const std::size_t end = group + 1 < groups_.size() ? groups_[group + 1].name : names_.size();
    return std::string_view(names_).substr(groups_[group].name, end - groups_[group].name);
}

QString SnippetTreeModel::groupName(int group) const
{
    const std::string_view name = nameOf(std::size_t(group));
    return QString::fromUtf8(name.data(), qsizetype(name.size()));
}

QModelIndex SnippetTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= columns)
        return {};
    if (!parent.isValid())
        return row < int(groups_.size()) ? createIndex(row, column, groupTag) : QModelIndex();
    if (parent.internalId() != groupTag || parent.row() >= int(groups_.size()) ||
        row >= groups_[std::size_t(parent.row())].count)
        return {};
    return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex SnippetTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == groupTag)
        return {};
    return createIndex(int(child.internalId() - 1), 0, groupTag);
}

int SnippetTreeModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(groups_.size());
    if (parent.internalId() != groupTag || parent.column() != 0 || parent.row() >= int(groups_.size()))
        return 0;
    return groups_[std::size_t(parent.row())].count;
}

int SnippetTreeModel::columnCount(const QModelIndex&) const
{
    return columns;
}

const Snippet* SnippetTreeModel::snippetAt(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this || index.internalId() == groupTag)
        return nullptr;
    const std::size_t group = index.internalId() - 1;
    if (group >= groups_.size() || index.row() >= groups_[group].count)
        return nullptr;
    const Entry& e = entries_[std::size_t(groups_[group].first + index.row())];
    const std::vector<Snippet>& all = store_.allSnippets();
    return e.source < all.size() ? &all[e.source] : nullptr;
}

QVariant SnippetTreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this)
        return {};
    if (index.internalId() == groupTag) {
        if (index.row() >= int(groups_.size()) || index.column() != titleColumn)
            return {};
        if (role == Qt::DisplayRole)
            return ravelgrid::revealHiddenCharacters(groupName(index.row()));
        if (role == categoryRole)
            return groupName(index.row());
        if (role == Qt::FontRole)
            return groupFont_;
        return {};
    }
    const Snippet* s = snippetAt(index);
    if (!s)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        // Shown as stored, hidden and direction characters spelt out: a
        // command must read as what Insert will type.
        if (index.column() == titleColumn)
            return ravelgrid::revealHiddenCharacters(QString::fromStdString(s->title));
        return ravelgrid::revealHiddenCharacters(QString::fromStdString(s->command.substr(0, s->command.find('\n'))));
    case Qt::ToolTipRole:
        return ravelgrid::plainToolTip(ravelgrid::revealHiddenCharacters(QString::fromStdString(s->command)));
    case Qt::FontRole: return index.column() == commandColumn ? QVariant(commandFont_) : QVariant();
    case idRole: return QString::fromStdString(s->id);
    case rowTextRole: return snippetRowText(*s);
    case markRole: return snippetPlatformMark(*s);
    default: return {};
    }
}

QVariant SnippetTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == titleColumn)
        return tr("Title");
    if (section == commandColumn)
        return tr("Command");
    return {};
}

Qt::ItemFlags SnippetTreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.internalId() == groupTag)
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

// Both are asked for on a click or a selection, not per row: a walk costs
// less than a table rebuilt with every regrouping.
QModelIndex SnippetTreeModel::groupIndex(const QString& category) const
{
    const std::string name = category.toStdString();
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        if (nameOf(g) == name)
            return createIndex(int(g), 0, groupTag);
    }
    return {};
}

QModelIndex SnippetTreeModel::snippetIndex(const QString& id) const
{
    const std::optional<std::string> wanted = normalizedSnippetId(id.toStdString());
    if (!wanted)
        return {};
    const std::vector<Snippet>& all = store_.allSnippets();
    for (std::size_t i = 0; i < all.size() && i < entryOf_.size(); ++i) {
        if (all[i].id != *wanted || entryOf_[i] < 0)
            continue;
        const Entry& e = entries_[std::size_t(entryOf_[i])];
        return createIndex(entryOf_[i] - groups_[std::size_t(e.group)].first, 0, quintptr(e.group) + 1);
    }
    return {};
}

bool SnippetTreeModel::entryMatches(int entry, std::string_view loweredQuery) const
{
    const std::size_t e = std::size_t(entry);
    const std::size_t group = std::size_t(entries_[e].group);
    const Group& g = groups_[group];
    const std::string_view all(text_);
    // A name runs up to its group's first fields; fields up to the next
    // entry's in the group, else up to the next group's name.
    const std::size_t last = std::size_t(g.first + g.count) - 1;
    const std::size_t end = e < last                     ? entries_[e + 1].text
                            : group + 1 < groups_.size() ? groups_[group + 1].lowered
                                                         : all.size();
    const std::string_view name = all.substr(g.lowered, entries_[std::size_t(g.first)].text - g.lowered);
    const std::string_view fields = all.substr(entries_[e].text, end - entries_[e].text);
    if (loweredQuery.find('\0') == std::string_view::npos)
        return name.find(loweredQuery) != std::string_view::npos || fields.find(loweredQuery) != std::string_view::npos;
    // A query holding the separator is tried field by field.
    const std::vector<Snippet>& snippets = store_.allSnippets();
    if (entries_[e].source >= snippets.size())
        return false;
    const Snippet& s = snippets[entries_[e].source];
    const auto has = [&](std::string_view field) {
        std::string lowered;
        appendLowered(lowered, field);
        return std::string_view(lowered).substr(1).find(loweredQuery) != std::string_view::npos;
    };
    return name.substr(1).find(loweredQuery) != std::string_view::npos || has(s.title) || has(s.command) ||
           std::any_of(s.tags.begin(), s.tags.end(), [&](const std::string& tag) { return has(tag); });
}

}  // namespace quillmar
