#include "quillmar/app/sidebar/Sidebar.h"

#include "quillmar/app/sheets/RemoveHostSheet.h"
#include "quillmar/app/shell/LocalShell.h"
#include "quillmar/app/sidebar/RowMenuKeys.h"
#include "quillmar/app/sidebar/SidebarSection.h"
#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmar {

QStringList filteredHosts(const QStringList& aliases, const QString& filter)
{
    // Spaces and tabs only: a line break typed or pasted is part of the text.
    qsizetype from = 0;
    qsizetype to = filter.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (from < to && blank(filter[from]))
        ++from;
    while (to > from && blank(filter[to - 1]))
        --to;
    const QString needle = filter.mid(from, to - from).toLower();
    if (needle.isEmpty())
        return aliases;
    QStringList out;
    for (const QString& alias : aliases) {
        if (alias.toLower().contains(needle))
            out.push_back(alias);
    }
    return out;
}

bool isListableAlias(const QString& alias)
{
    return !alias.isEmpty() && !alias.startsWith(QLatin1Char('-'));
}

bool hasRunningSession(const Workspace& workspace, const SessionTarget& target)
{
    return std::any_of(workspace.sessions().begin(), workspace.sessions().end(),
                       [&](const auto& s) { return s->target == target && s->running(); });
}

namespace {

constexpr int rowHeight = 24;
constexpr int maxKeyRows = 8;

QColor idleDot(const QWidget* widget = nullptr)
{
    QColor c = Metro::mutedText(widget);
    c.setAlphaF(0.4f);
    return c;
}

// A dot and a monospaced label; the raised colour under the selected or hovered row.
class RowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const QRect r = option.rect.adjusted(6, 1, -6, -1);
        if (option.state & (QStyle::State_Selected | QStyle::State_MouseOver)) {
            QColor bg = Metro::raised(option.widget);
            if (!(option.state & QStyle::State_Selected))
                bg.setAlphaF(0.6f);
            p->setPen(Qt::NoPen);
            p->setBrush(bg);
            p->drawRoundedRect(r, 5, 5);
        }
        const QColor dot = index.data(Qt::DecorationRole).value<QColor>();
        p->setPen(Qt::NoPen);
        p->setBrush(dot);
        p->drawEllipse(QRectF(r.left() + 10, r.center().y() - 2.5, 6, 6));
        p->setFont(metroMonoFont(12));
        p->setPen(Metro::text(option.widget));
        const QRect text = r.adjusted(24, 0, -6, 0);
        p->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                    p->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, text.width()));
        p->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        return {option.rect.width(), rowHeight};
    }
};

QListView* makeList(QWidget* parent, QAbstractItemModel* model, const char* name)
{
    auto* view = new QListView(parent);
    view->setObjectName(QLatin1String(name));
    view->setModel(model);
    view->setItemDelegate(new RowDelegate(view));
    view->setUniformItemSizes(true);
    view->setFrameShape(QFrame::NoFrame);
    view->setMouseTracking(true);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->viewport()->setAutoFillBackground(false);
    view->setAutoFillBackground(false);
    view->setAttribute(Qt::WA_MacShowFocusRect, false);
    return view;
}

}  // namespace

// --- rows ------------------------------------------------------------------------------

void SessionRowModel::setAliases(QStringList aliases)
{
    beginResetModel();
    local_ = false;
    aliases_ = std::move(aliases);
    running_.assign(static_cast<std::size_t>(aliases_.size()), 0);
    endResetModel();
}

void SessionRowModel::setLocal(const QString& label)
{
    beginResetModel();
    local_ = true;
    localLabel_ = label;
    aliases_.clear();
    running_.assign(1, 0);
    endResetModel();
}

void SessionRowModel::refreshRunning(const Workspace& workspace)
{
    std::vector<char> next(running_.size(), 0);
    if (local_) {
        next.assign(1, hasRunningSession(workspace, SessionTarget::local()) ? 1 : 0);
    } else if (!aliases_.isEmpty()) {
        // One pass over the sessions, not one per row.
        QHash<QString, bool> runningAliases;
        for (const auto& s : workspace.sessions()) {
            if (s->target.kind == SessionTarget::Kind::ssh && s->running())
                runningAliases.insert(s->target.alias, true);
        }
        for (qsizetype i = 0; i < aliases_.size(); ++i)
            next[std::size_t(i)] = runningAliases.contains(aliases_[i]) ? 1 : 0;
    }
    if (next == running_)
        return;
    running_ = std::move(next);
    if (rowCount() > 0)
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::DecorationRole, runningRole});
}

int SessionRowModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return local_ ? 1 : int(aliases_.size());
}

QVariant SessionRowModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const bool running = running_[std::size_t(index.row())] != 0;
    switch (role) {
    // Drawn on one line: a direction override or an invisible character is
    // spelt out so that the name cannot read as another. The local row names
    // the login shell, from the password database.
    case Qt::DisplayRole: return ravelgrid::revealHiddenCharacters(local_ ? localLabel_ : aliases_[index.row()]);
    case Qt::UserRole: return local_ ? QString() : aliases_[index.row()];
    case Qt::DecorationRole: return running ? Metro::success() : idleDot();
    case runningRole: return running;
    default: return {};
    }
}

SidebarItem SessionRowModel::item(int row) const
{
    return local_ ? SidebarItem::local() : SidebarItem::host(aliases_.value(row));
}

int SessionRowModel::rowOf(const SidebarItem& item) const
{
    if (local_)
        return item.kind == SidebarItem::Kind::local ? 0 : -1;
    return item.kind == SidebarItem::Kind::host ? int(aliases_.indexOf(item.alias)) : -1;
}

// --- the column ------------------------------------------------------------------------

Sidebar::Sidebar(SSHHostStore& hosts, SSHKeyStore& keyStore, Workspace& workspace, UserSettings& settings,
                 QWidget* parent)
    : QWidget(parent), hosts_(hosts), keyStore_(keyStore), workspace_(workspace), settings_(settings)
{
    setObjectName(QStringLiteral("sidebar"));
    keyModel_ = KeyListModel::of(keyStore_);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* brand = new QWidget(this);
    brand->setObjectName(QStringLiteral("brandHeader"));
    auto* brandRow = new QHBoxLayout(brand);
    brandRow->setContentsMargins(14, 14, 14, 8);
    brandRow->setSpacing(8);
    auto* mark = new BrandMark(24, brand);
    mark->setObjectName(QStringLiteral("brandMark"));
    brandRow->addWidget(mark);
    auto* name = new QLabel(tr("quillmar"), brand);
    name->setObjectName(QStringLiteral("brandName"));
    name->setFont(metroFont(14, QFont::DemiBold));
    brandRow->addWidget(name);
    brandRow->addStretch(1);
    column->addWidget(brand);

    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("filter"));
    filter_->setPlaceholderText(tr("Filter hosts and snippets"));
    filter_->setClearButtonEnabled(true);
    filter_->setFont(metroFont(12));
    filter_->installEventFilter(this);
    auto* filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(10, 0, 10, 6);
    filterRow->addWidget(filter_);
    column->addLayout(filterRow);

    // Local.
    auto* local = new SidebarSection(tr("Local"), QStringLiteral("qm-square-terminal"), this);
    local->setObjectName(QStringLiteral("localSection"));
    local->followSetting(settings_, &UserSettings::localExpanded, &UserSettings::setLocalExpanded,
                         &UserSettings::localExpandedChanged);
    connect(local->titleButton(), &QToolButton::clicked, local->disclosure(), &QToolButton::toggle);
    localModel_.setLocal(QString::fromStdString(localShellCommand().executable).section(QLatin1Char('/'), -1));
    localList_ = makeList(local, &localModel_, "localList");
    localList_->setSelectionMode(QAbstractItemView::SingleSelection);
    localList_->setFixedHeight(rowHeight + 2);
    localList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    local->bodyLayout()->addWidget(localList_);
    column->addWidget(local);

    // SSH Hosts.
    auto* hostsSection = new SidebarSection(tr("SSH Hosts"), QStringLiteral("qm-server"), this);
    hostsSection->setObjectName(QStringLiteral("hostsSection"));
    hostsSection->followSetting(settings_, &UserSettings::hostsExpanded, &UserSettings::setHostsExpanded,
                                &UserSettings::hostsExpandedChanged);
    hostsSection_ = hostsSection;
    connect(hostsSection->titleButton(), &QToolButton::clicked, hostsSection->disclosure(), &QToolButton::toggle);
    addHost_ = new QToolButton(hostsSection);
    addHost_->setObjectName(QStringLiteral("addHost"));
    LucideIcon::decorate(addHost_, QStringLiteral("qm-plus"), 13);
    addHost_->setToolTip(tr("Add host"));
    addHost_->setAutoRaise(true);
    addHost_->setFixedSize(22, 18);
    connect(addHost_, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::addHost); });
    hostsSection->addHeaderButton(addHost_);
    hostList_ = makeList(hostsSection, &hostModel_, "hostList");
    hostList_->setSelectionMode(QAbstractItemView::SingleSelection);
    hostList_->setContextMenuPolicy(Qt::CustomContextMenu);
    hostsEmpty_ = new QLabel(hostsSection);
    hostsEmpty_->setObjectName(QStringLiteral("hostsEmpty"));
    hostsEmpty_->setWordWrap(true);
    hostsEmpty_->setFont(metroFont(12));
    hostsEmpty_->setContentsMargins(14, 4, 14, 4);
    hostsEmpty_->setTextInteractionFlags(Qt::NoTextInteraction);
    // Why hosts of the config are missing: the reader's limits and unreadable files.
    hostsProblems_ = new QLabel(hostsSection);
    hostsProblems_->setObjectName(QStringLiteral("hostsProblems"));
    hostsProblems_->setTextFormat(Qt::PlainText);
    hostsProblems_->setWordWrap(true);
    hostsProblems_->setFont(metroFont(11));
    hostsProblems_->setContentsMargins(14, 4, 14, 4);
    hostsProblems_->setTextInteractionFlags(Qt::NoTextInteraction);
    hostsSection->bodyLayout()->addWidget(hostList_, 1);
    hostsSection->bodyLayout()->addWidget(hostsEmpty_);
    hostsSection->bodyLayout()->addWidget(hostsProblems_);
    column->addWidget(hostsSection);

    // Keys.
    auto* keys = new SidebarSection(tr("Keys"), QStringLiteral("qm-key-round"), this);
    keys->setObjectName(QStringLiteral("keysSection"));
    keys->followSetting(settings_, &UserSettings::keysExpanded, &UserSettings::setKeysExpanded,
                        &UserSettings::keysExpandedChanged);
    keysHeader_ = keys->titleButton();
    keysHeader_->setObjectName(QStringLiteral("keysHeader"));
    keysHeader_->setToolTip(tr("Open Keys"));
    connect(keysHeader_, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::keys); });
    keyList_ = makeList(keys, keyModel_, "keyList");
    keyList_->setSelectionMode(QAbstractItemView::NoSelection);
    keyList_->setFocusPolicy(Qt::NoFocus);
    keyList_->setCursor(Qt::PointingHandCursor);
    // Every row leads to the same pane.
    keyList_->setToolTip(tr("Open Keys"));
    connect(keyList_, &QListView::clicked, this, [this] { workspace_.openTool(ToolTab::keys); });
    keysEmpty_ = new QLabel(tr("No keys found in ~/.ssh."), keys);
    keysEmpty_->setObjectName(QStringLiteral("keysEmpty"));
    keysEmpty_->setFont(metroFont(12));
    keysEmpty_->setContentsMargins(14, 4, 14, 4);
    keys->bodyLayout()->addWidget(keyList_);
    keys->bodyLayout()->addWidget(keysEmpty_);
    column->addWidget(keys);

    // The Snippets section is built with the snippet store; this is its place.
    snippetsSlot_ = new QWidget(this);
    snippetsSlot_->setObjectName(QStringLiteral("snippetsSection"));
    auto* slotLayout = new QVBoxLayout(snippetsSlot_);
    slotLayout->setContentsMargins(0, 0, 0, 0);
    snippetsSlot_->hide();
    column->addWidget(snippetsSlot_);

    filler_ = new QWidget(this);
    column->addWidget(filler_);
    auto balance = [this, column](bool hostsOpen) {
        column->setStretchFactor(hostsSection_, hostsOpen ? 1 : 0);
        column->setStretchFactor(filler_, hostsOpen ? 0 : 1);
    };
    balance(settings_.hostsExpanded());
    connect(hostsSection->disclosure(), &QToolButton::toggled, this, balance);

    auto* hairline = new QWidget(this);
    hairline->setObjectName(QStringLiteral("hairline"));
    hairline->setFixedHeight(1);
    hairline->setAutoFillBackground(true);
    column->addWidget(hairline);

    // The label is a row of its own so the shortcut can sit at the far end.
    settingsButton_ = new QPushButton(this);
    settingsButton_->setObjectName(QStringLiteral("settingsButton"));
    settingsButton_->setAccessibleName(tr("Settings"));
    settingsButton_->setToolTip(tr("Open Settings (Ctrl+,)"));
    settingsButton_->setFlat(true);
    settingsButton_->setCursor(Qt::PointingHandCursor);
    settingsButton_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    auto* settingsLabel = new QHBoxLayout(settingsButton_);
    settingsLabel->setContentsMargins(14, 10, 14, 10);
    settingsLabel->setSpacing(8);
    auto* gear = new LucideIcon(QStringLiteral("qm-settings"), 15, settingsButton_);
    gear->setObjectName(QStringLiteral("settingsIcon"));
    settingsLabel->addWidget(gear);
    auto* settingsText = new QLabel(tr("Settings"), settingsButton_);
    settingsText->setObjectName(QStringLiteral("settingsText"));
    settingsText->setFont(metroFont(12));
    settingsLabel->addWidget(settingsText);
    settingsLabel->addStretch(1);
    auto* shortcut = new QLabel(tr("Ctrl+,"), settingsButton_);
    shortcut->setObjectName(QStringLiteral("settingsShortcut"));
    shortcut->setFont(metroMonoFont(11));
    settingsLabel->addWidget(shortcut);
    for (QWidget* part : std::initializer_list<QWidget*>{settingsText, shortcut})
        part->setAttribute(Qt::WA_TransparentForMouseEvents);
    settingsButton_->setMinimumHeight(settingsLabel->sizeHint().height());
    connect(settingsButton_, &QPushButton::clicked, this, [this] {
        workspace_.setSettingsScrollTarget(std::nullopt);
        workspace_.openTool(ToolTab::settings);
    });
    column->addWidget(settingsButton_);

    // Behaviour.
    for (QListView* view : {localList_, hostList_}) {
        view->installEventFilter(this);
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this, view] { selectFromView(view); });
        connect(view, &QListView::doubleClicked, this, [this, view](const QModelIndex& index) {
            auto* model = static_cast<SessionRowModel*>(view->model());
            openSelectedItem(model->item(index.row()));
        });
    }
    connect(hostList_, &QListView::customContextMenuRequested, this,
            [this](const QPoint& pos) { showContextMenu(hostList_, pos); });
    openRowMenusFromKeyboard(hostList_);
    connect(filter_, &QLineEdit::textChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::aliasesChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::configExistsChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::problemsChanged, this, &Sidebar::showHostProblems);
    connect(keyModel_, &QAbstractItemModel::modelReset, this, &Sidebar::rebuildKeys);
    connect(&workspace_, &Workspace::sessionsChanged, this, &Sidebar::watchSessions);

    rebuildHosts();
    showHostProblems();
    rebuildKeys();
    watchSessions();
    applyTheme();
}

Sidebar::~Sidebar()
{
    if (sheet_)
        delete sheet_.data();
}

RemoveHostSheet* Sidebar::removeSheet() const
{
    return sheet_.data();
}

QWidget* Sidebar::section(const QString& name) const
{
    return findChild<QWidget*>(name);
}

QStringList Sidebar::listedHosts() const
{
    QStringList out;
    for (int r = 0; r < hostModel_.rowCount(); ++r)
        out.push_back(hostModel_.item(r).alias);
    return out;
}

void Sidebar::applyTheme()
{
    for (QLabel* muted : {hostsEmpty_, keysEmpty_})
        setTextRole(muted, Metro::Role::mutedText);
    for (QToolButton* header : findChildren<QToolButton*>()) {
        if (header != addHost_)
            setTextRole(header, Metro::Role::mutedText);
    }
    setTextRole(addHost_, Metro::Role::secondaryText);
    setTextRole(findChild<QLabel*>(QStringLiteral("brandName")), Metro::Role::text);
    setTextRole(hostsProblems_, Metro::Role::danger);
    setTextRole(findChild<QLabel*>(QStringLiteral("settingsText")), Metro::Role::secondaryText);
    setTextRole(findChild<QLabel*>(QStringLiteral("settingsShortcut")), Metro::Role::mutedText);
    setTextRole(findChild<LucideIcon*>(QStringLiteral("settingsIcon")), Metro::Role::secondaryText);
    setFillRole(findChild<QWidget*>(QStringLiteral("hairline")), Metro::Role::line);
    QPalette p = filter_->palette();
    p.setColor(QPalette::Base, Metro::raised(this));
    p.setColor(QPalette::Text, Metro::text(this));
    p.setColor(QPalette::PlaceholderText, Metro::mutedText(this));
    if (p != filter_->palette())
        filter_->setPalette(p);
    // The 1-px border lies inside the 8/5 inner padding.
    const QString sheet = QStringLiteral("QLineEdit { background: %1; border: 1px solid %2; border-radius: 6px;"
                                         " padding: 4px 7px; }")
                              .arg(Metro::raised(this).name(QColor::HexArgb), Metro::line(this).name(QColor::HexArgb));
    // A new style sheet changes the palette again: set only what differs.
    if (filter_->styleSheet() != sheet)
        filter_->setStyleSheet(sheet);
    for (QListView* view : {localList_, hostList_, keyList_})
        view->viewport()->update();
}

void Sidebar::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyTheme();
}

void Sidebar::rebuildHosts()
{
    QStringList all = hosts_.aliases();
    all.removeIf([](const QString& a) { return !isListableAlias(a); });
    const bool none = all.isEmpty();
    hostsEmpty_->setText(hosts_.configExists() ? tr("No SSH hosts found in ~/.ssh/config.")
                                               : tr("No ~/.ssh/config found."));
    hostsEmpty_->setVisible(none);
    hostList_->setVisible(!none);

    syncingSelection_ = true;
    hostModel_.setAliases(filteredHosts(all, filter_->text()));
    hostModel_.refreshRunning(workspace_);
    // The highlight stays on the chosen host while it is listed.
    if (selected_ && selected_->kind == SidebarItem::Kind::host) {
        const int row = hostModel_.rowOf(*selected_);
        if (row >= 0)
            hostList_->selectionModel()->select(hostModel_.index(row), QItemSelectionModel::ClearAndSelect);
    }
    syncingSelection_ = false;
}

void Sidebar::showHostProblems()
{
    // Bounded: the sentences carry file names from the config.
    constexpr qsizetype maxShown = 6;
    constexpr qsizetype maxChars = 300;
    const QStringList problems = hosts_.problems();
    QStringList lines;
    for (qsizetype i = 0; i < std::min(problems.size(), maxShown); ++i) {
        QString line = ravelgrid::revealHiddenCharacters(problems[i]);
        if (line.size() > maxChars)
            line = line.left(maxChars - 1) + QChar(0x2026);
        lines.push_back(line);
    }
    if (problems.size() > maxShown)
        lines.push_back(QChar(0x2026));
    hostsProblems_->setText(lines.join(QLatin1Char('\n')));
    hostsProblems_->setVisible(!lines.isEmpty());
}

void Sidebar::rebuildKeys()
{
    const int rows = keyModel_->rowCount();
    keysEmpty_->setVisible(rows == 0);
    keyList_->setVisible(rows > 0);
    keyList_->setFixedHeight(std::min(rows, maxKeyRows) * rowHeight + 2);
}

void Sidebar::watchSessions()
{
    for (const auto& session : workspace_.sessions()) {
        disconnect(session.get(), &TerminalSession::exited, this, nullptr);
        connect(session.get(), &TerminalSession::exited, this, &Sidebar::refreshRunning);
    }
    refreshRunning();
}

void Sidebar::refreshRunning()
{
    localModel_.refreshRunning(workspace_);
    hostModel_.refreshRunning(workspace_);
}

void Sidebar::selectFromView(QListView* view)
{
    if (syncingSelection_)
        return;
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    std::optional<SidebarItem> item;
    if (!rows.isEmpty())
        item = static_cast<SessionRowModel*>(view->model())->item(rows.first().row());
    else if (selected_ && static_cast<SessionRowModel*>(view->model())->rowOf(*selected_) < 0)
        return;  // the other list holds the selection
    syncingSelection_ = true;
    // One selection across both lists.
    QListView* other = view == localList_ ? hostList_ : localList_;
    if (item)
        other->selectionModel()->clearSelection();
    syncingSelection_ = false;
    setSelectedItem(item);
}

void Sidebar::setSelectedItem(const std::optional<SidebarItem>& item)
{
    if (item == selected_)
        return;
    selected_ = item;
    if (!syncingSelection_) {
        syncingSelection_ = true;
        for (QListView* view : {localList_, hostList_}) {
            auto* model = static_cast<SessionRowModel*>(view->model());
            const int row = item ? model->rowOf(*item) : -1;
            if (row >= 0)
                view->selectionModel()->select(model->index(row), QItemSelectionModel::ClearAndSelect);
            else
                view->selectionModel()->clearSelection();
        }
        syncingSelection_ = false;
    }
    emit selectedItemChanged();
    followSelection(item);
}

void Sidebar::followSelection(const std::optional<SidebarItem>& item)
{
    // Selecting brings the latest session to the front; it never opens one.
    if (!item)
        return;
    if (auto session = workspace_.mostRecentSession(item->target()))
        workspace_.activate(session->id);
}

void Sidebar::openSelectedItem(const std::optional<SidebarItem>& item)
{
    if (!item)
        return;
    if (item->kind == SidebarItem::Kind::host && !isListableAlias(item->alias))
        return;
    workspace_.open(item->target());
}

QStringList Sidebar::contextMenuEntries(const std::optional<SidebarItem>& item) const
{
    if (item && item->kind == SidebarItem::Kind::host)
        return {tr("Remove host\u2026")};
    return {};
}

void Sidebar::showContextMenu(QListView* view, const QPoint& pos)
{
    const QModelIndex index = view->indexAt(pos);
    if (!index.isValid())
        return;
    const SidebarItem item = static_cast<SessionRowModel*>(view->model())->item(index.row());
    const QStringList entries = contextMenuEntries(item);
    if (entries.isEmpty())
        return;
    QMenu menu(this);
    menu.addAction(entries.first(), this, [this, alias = item.alias] { requestRemoval(alias); });
    menu.exec(view->viewport()->mapToGlobal(pos));
}

void Sidebar::requestRemoval(const QString& alias)
{
    if (sheet_)
        return;  // one sheet at a time
    removeTarget_ = RemoveHostTarget{alias};
    sheet_ = new RemoveHostSheet(alias, hosts_, window());
    sheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet_.data(), &QDialog::finished, this, [this] { removeTarget_.reset(); });
    sheet_->open();
}

bool Sidebar::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    // Return in the filter does nothing, and must not reach a default button either.
    if (watched == filter_ && enter)
        return true;
    // Escape clears the filter, then gives the keyboard back to the terminal.
    if (watched == filter_ && key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
        if (!filter_->text().isEmpty())
            filter_->clear();
        else
            emit leaveToTerminal();
        return true;
    }
    if (watched == filter_ && key->key() == Qt::Key_Down &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // From the filter into the hosts it left, the first one chosen.
        if (hostModel_.rowCount() == 0 || hostList_->isHidden())
            return false;
        if (!settings_.hostsExpanded())
            settings_.setHostsExpanded(true);
        // The highlighted row is also the current one, which the keys act on.
        const int row = selected_ ? hostModel_.rowOf(*selected_) : -1;
        hostList_->selectionModel()->setCurrentIndex(hostModel_.index(std::max(row, 0)),
                                                     QItemSelectionModel::ClearAndSelect);
        hostList_->setFocus(Qt::TabFocusReason);
        return true;
    }
    if ((watched == localList_ || watched == hostList_) && enter) {
        auto* view = static_cast<QListView*>(watched);
        const QModelIndexList rows = view->selectionModel()->selectedRows();
        if (!rows.isEmpty())
            openSelectedItem(static_cast<SessionRowModel*>(view->model())->item(rows.first().row()));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace quillmar
