#include "quillmar/app/sidebar/Sidebar.h"

#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/shell/LocalShell.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/sheets/RemoveHostSheet.h"

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

QStringList filteredHosts(const QStringList& aliases, const QString& filter) {
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

bool isListableAlias(const QString& alias) { return !alias.isEmpty() && !alias.startsWith(QLatin1Char('-')); }

KeyDot keyDot(const SSHKeyInfo& key) {
    if (!key.hasPrivate && !key.hasPublic)
        return KeyDot::danger;
    if (key.hasPrivate && key.privatePerms && (*key.privatePerms & 0077) != 0)
        return KeyDot::danger;
    return key.loaded ? KeyDot::loaded : KeyDot::idle;
}

bool hasRunningSession(const Workspace& workspace, const SessionTarget& target) {
    return std::any_of(workspace.sessions().begin(), workspace.sessions().end(),
                       [&](const auto& s) { return s->target == target && s->running(); });
}

namespace {

constexpr int rowHeight = 24;
constexpr int maxKeyRows = 8;

QColor idleDot() {
    QColor c = Metro::mutedText();
    c.setAlphaF(0.4f);
    return c;
}

// A dot and a monospaced label; the raised colour under the selected or hovered row.
class RowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        p->save();
        p->setRenderHint(QPainter::Antialiasing);
        const QRect r = option.rect.adjusted(6, 1, -6, -1);
        if (option.state & (QStyle::State_Selected | QStyle::State_MouseOver)) {
            QColor bg = Metro::raised();
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
        p->setPen(Metro::text());
        const QRect text = r.adjusted(24, 0, -6, 0);
        p->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                    p->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, text.width()));
        p->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return {option.rect.width(), rowHeight};
    }
};

QListView* makeList(QWidget* parent, QAbstractItemModel* model, const char* name) {
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

struct Section {
    QWidget* box = nullptr;
    QVBoxLayout* content = nullptr;
    QHBoxLayout* header = nullptr;
    QToolButton* disclosure = nullptr;
};

// Added to the style's own space between a header's icon and its title.
constexpr int headerIconGap = 5;

QToolButton* headerTitle(QWidget* parent, const QString& title, const QString& icon) {
    auto* button = new QToolButton(parent);
    button->setText(title.toUpper());
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    LucideIcon::decorate(button, icon, 15, headerIconGap);
    QFont f = metroMonoFont(10);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    button->setFont(f);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// A header with a disclosure and a body that folds away; the flag is read
// from and written to the settings at once.
Section makeSection(QWidget* parent, const char* name, bool expanded, const std::function<void(bool)>& store) {
    Section s;
    s.box = new QWidget(parent);
    s.box->setObjectName(QLatin1String(name));
    auto* layout = new QVBoxLayout(s.box);
    layout->setContentsMargins(0, 4, 0, 2);
    layout->setSpacing(0);
    auto* header = new QWidget(s.box);
    header->setObjectName(QStringLiteral("header"));
    s.header = new QHBoxLayout(header);
    s.header->setContentsMargins(8, 0, 8, 0);
    s.header->setSpacing(2);
    s.disclosure = new QToolButton(header);
    s.disclosure->setObjectName(QStringLiteral("disclosure"));
    s.disclosure->setAutoRaise(true);
    s.disclosure->setCheckable(true);
    s.disclosure->setFixedSize(16, 18);
    s.header->addWidget(s.disclosure);
    auto* body = new QWidget(s.box);
    body->setObjectName(QStringLiteral("body"));
    s.content = new QVBoxLayout(body);
    s.content->setContentsMargins(0, 0, 0, 0);
    s.content->setSpacing(0);
    layout->addWidget(header);
    layout->addWidget(body, 1);
    QToolButton* disclosure = s.disclosure;
    auto show = [disclosure, body](bool on) {
        disclosure->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        disclosure->setToolTip(on ? QStringLiteral("Collapse") : QStringLiteral("Expand"));
        body->setVisible(on);
    };
    disclosure->setChecked(expanded);
    show(expanded);
    QObject::connect(disclosure, &QToolButton::toggled, body, [show, store](bool on) {
        show(on);
        store(on);
    });
    return s;
}

}  // namespace

// --- rows ------------------------------------------------------------------------------

void SessionRowModel::setAliases(QStringList aliases) {
    beginResetModel();
    local_ = false;
    aliases_ = std::move(aliases);
    running_.assign(static_cast<std::size_t>(aliases_.size()), 0);
    endResetModel();
}

void SessionRowModel::setLocal(const QString& label) {
    beginResetModel();
    local_ = true;
    localLabel_ = label;
    aliases_.clear();
    running_.assign(1, 0);
    endResetModel();
}

void SessionRowModel::refreshRunning(const Workspace& workspace) {
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

int SessionRowModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return local_ ? 1 : int(aliases_.size());
}

QVariant SessionRowModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const bool running = running_[std::size_t(index.row())] != 0;
    switch (role) {
    case Qt::DisplayRole: return local_ ? localLabel_ : aliases_[index.row()];
    case Qt::UserRole: return local_ ? QString() : aliases_[index.row()];
    case Qt::DecorationRole: return running ? Metro::success() : idleDot();
    case runningRole: return running;
    default: return {};
    }
}

SidebarItem SessionRowModel::item(int row) const {
    return local_ ? SidebarItem::local() : SidebarItem::host(aliases_.value(row));
}

int SessionRowModel::rowOf(const SidebarItem& item) const {
    if (local_)
        return item.kind == SidebarItem::Kind::local ? 0 : -1;
    return item.kind == SidebarItem::Kind::host ? int(aliases_.indexOf(item.alias)) : -1;
}

class KeyRowModel final : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    void setKeys(std::vector<SSHKeyInfo> keys) {
        beginResetModel();
        keys_ = std::move(keys);
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(keys_.size()); }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || std::size_t(index.row()) >= keys_.size())
            return {};
        const SSHKeyInfo& key = keys_[std::size_t(index.row())];
        switch (role) {
        case Qt::DisplayRole: return QString::fromStdString(key.name);
        case Qt::ToolTipRole: return QStringLiteral("Open Keys");
        case Qt::DecorationRole:
            switch (keyDot(key)) {
            case KeyDot::danger: return Metro::danger();
            case KeyDot::loaded: return Metro::success();
            case KeyDot::idle: return idleDot();
            }
            return {};
        default: return {};
        }
    }
    // Clicking a key acts through its button, never by selecting it.
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled : Qt::NoItemFlags;
    }

private:
    std::vector<SSHKeyInfo> keys_;
};

// --- the column ------------------------------------------------------------------------

Sidebar::Sidebar(SSHHostStore& hosts, SSHKeyStore& keyStore, Workspace& workspace, UserSettings& settings,
                 QWidget* parent)
    : QWidget(parent), hosts_(hosts), keyStore_(keyStore), workspace_(workspace), settings_(settings) {
    setObjectName(QStringLiteral("sidebar"));
    keyModel_ = new KeyRowModel(this);
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
    auto* name = new QLabel(QStringLiteral("quillmar"), brand);
    name->setObjectName(QStringLiteral("brandName"));
    name->setFont(metroFont(14, QFont::DemiBold));
    brandRow->addWidget(name);
    brandRow->addStretch(1);
    column->addWidget(brand);

    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("filter"));
    filter_->setPlaceholderText(QStringLiteral("Filter hosts and snippets"));
    filter_->setClearButtonEnabled(true);
    filter_->setFont(metroFont(12));
    filter_->installEventFilter(this);
    auto* filterRow = new QHBoxLayout;
    filterRow->setContentsMargins(10, 0, 10, 6);
    filterRow->addWidget(filter_);
    column->addLayout(filterRow);

    // Local.
    Section local = makeSection(this, "localSection", settings_.localExpanded(),
                                [this](bool on) { settings_.setLocalExpanded(on); });
    local.header->addWidget(headerTitle(local.box, QStringLiteral("Local"), QStringLiteral("qm-square-terminal")));
    local.header->addStretch(1);
    QObject::connect(qobject_cast<QToolButton*>(local.header->itemAt(1)->widget()), &QToolButton::clicked,
                     local.disclosure, &QToolButton::toggle);
    localModel_.setLocal(QString::fromStdString(localShellCommand().executable).section(QLatin1Char('/'), -1));
    localList_ = makeList(local.box, &localModel_, "localList");
    localList_->setSelectionMode(QAbstractItemView::SingleSelection);
    localList_->setFixedHeight(rowHeight + 2);
    localList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    local.content->addWidget(localList_);
    column->addWidget(local.box);
    connect(&settings_, &UserSettings::localExpandedChanged, local.disclosure,
            [this, d = local.disclosure] { d->setChecked(settings_.localExpanded()); });

    // SSH Hosts.
    Section hostsSection = makeSection(this, "hostsSection", settings_.hostsExpanded(), [this](bool on) {
        settings_.setHostsExpanded(on);
    });
    hostsSection_ = hostsSection.box;
    auto* hostsTitle = headerTitle(hostsSection.box, QStringLiteral("SSH Hosts"), QStringLiteral("qm-server"));
    hostsSection.header->addWidget(hostsTitle);
    connect(hostsTitle, &QToolButton::clicked, hostsSection.disclosure, &QToolButton::toggle);
    hostsSection.header->addStretch(1);
    addHost_ = new QToolButton(hostsSection.box);
    addHost_->setObjectName(QStringLiteral("addHost"));
    LucideIcon::decorate(addHost_, QStringLiteral("qm-plus"), 13);
    addHost_->setToolTip(QStringLiteral("Add host"));
    addHost_->setAutoRaise(true);
    addHost_->setFixedSize(22, 18);
    connect(addHost_, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::addHost); });
    hostsSection.header->addWidget(addHost_);
    hostList_ = makeList(hostsSection.box, &hostModel_, "hostList");
    hostList_->setSelectionMode(QAbstractItemView::SingleSelection);
    hostList_->setContextMenuPolicy(Qt::CustomContextMenu);
    hostsEmpty_ = new QLabel(hostsSection.box);
    hostsEmpty_->setObjectName(QStringLiteral("hostsEmpty"));
    hostsEmpty_->setWordWrap(true);
    hostsEmpty_->setFont(metroFont(12));
    hostsEmpty_->setContentsMargins(14, 4, 14, 4);
    hostsEmpty_->setTextInteractionFlags(Qt::NoTextInteraction);
    // Why hosts of the config are missing: the reader's limits and unreadable files.
    hostsProblems_ = new QLabel(hostsSection.box);
    hostsProblems_->setObjectName(QStringLiteral("hostsProblems"));
    hostsProblems_->setTextFormat(Qt::PlainText);
    hostsProblems_->setWordWrap(true);
    hostsProblems_->setFont(metroFont(11));
    hostsProblems_->setContentsMargins(14, 4, 14, 4);
    hostsProblems_->setTextInteractionFlags(Qt::NoTextInteraction);
    hostsSection.content->addWidget(hostList_, 1);
    hostsSection.content->addWidget(hostsEmpty_);
    hostsSection.content->addWidget(hostsProblems_);
    column->addWidget(hostsSection.box);
    connect(&settings_, &UserSettings::hostsExpandedChanged, hostsSection.disclosure,
            [this, d = hostsSection.disclosure] { d->setChecked(settings_.hostsExpanded()); });

    // Keys.
    Section keys = makeSection(this, "keysSection", settings_.keysExpanded(),
                               [this](bool on) { settings_.setKeysExpanded(on); });
    keysHeader_ = headerTitle(keys.box, QStringLiteral("Keys"), QStringLiteral("qm-key-round"));
    keysHeader_->setObjectName(QStringLiteral("keysHeader"));
    keysHeader_->setToolTip(QStringLiteral("Open Keys"));
    connect(keysHeader_, &QToolButton::clicked, this, [this] { workspace_.openTool(ToolTab::keys); });
    keys.header->addWidget(keysHeader_);
    keys.header->addStretch(1);
    keyList_ = makeList(keys.box, keyModel_, "keyList");
    keyList_->setSelectionMode(QAbstractItemView::NoSelection);
    keyList_->setFocusPolicy(Qt::NoFocus);
    keyList_->setCursor(Qt::PointingHandCursor);
    connect(keyList_, &QListView::clicked, this, [this] { workspace_.openTool(ToolTab::keys); });
    keysEmpty_ = new QLabel(QStringLiteral("No keys found in ~/.ssh."), keys.box);
    keysEmpty_->setObjectName(QStringLiteral("keysEmpty"));
    keysEmpty_->setFont(metroFont(12));
    keysEmpty_->setContentsMargins(14, 4, 14, 4);
    keys.content->addWidget(keyList_);
    keys.content->addWidget(keysEmpty_);
    column->addWidget(keys.box);
    connect(&settings_, &UserSettings::keysExpandedChanged, keys.disclosure,
            [this, d = keys.disclosure] { d->setChecked(settings_.keysExpanded()); });

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
    connect(hostsSection.disclosure, &QToolButton::toggled, this, balance);

    auto* hairline = new QWidget(this);
    hairline->setObjectName(QStringLiteral("hairline"));
    hairline->setFixedHeight(1);
    hairline->setAutoFillBackground(true);
    column->addWidget(hairline);

    // The label is a row of its own so the shortcut can sit at the far end.
    settingsButton_ = new QPushButton(this);
    settingsButton_->setObjectName(QStringLiteral("settingsButton"));
    settingsButton_->setAccessibleName(QStringLiteral("Settings"));
    settingsButton_->setToolTip(QStringLiteral("Open Settings (Ctrl+,)"));
    settingsButton_->setFlat(true);
    settingsButton_->setCursor(Qt::PointingHandCursor);
    settingsButton_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    auto* settingsLabel = new QHBoxLayout(settingsButton_);
    settingsLabel->setContentsMargins(14, 10, 14, 10);
    settingsLabel->setSpacing(8);
    auto* gear = new LucideIcon(QStringLiteral("qm-settings"), 15, settingsButton_);
    gear->setObjectName(QStringLiteral("settingsIcon"));
    settingsLabel->addWidget(gear);
    auto* settingsText = new QLabel(QStringLiteral("Settings"), settingsButton_);
    settingsText->setObjectName(QStringLiteral("settingsText"));
    settingsText->setFont(metroFont(12));
    settingsLabel->addWidget(settingsText);
    settingsLabel->addStretch(1);
    auto* shortcut = new QLabel(QStringLiteral("Ctrl+,"), settingsButton_);
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
    connect(filter_, &QLineEdit::textChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::aliasesChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::configExistsChanged, this, &Sidebar::rebuildHosts);
    connect(&hosts_, &SSHHostStore::problemsChanged, this, &Sidebar::showHostProblems);
    connect(&keyStore_, &SSHKeyStore::keysChanged, this, &Sidebar::rebuildKeys);
    connect(&workspace_, &Workspace::sessionsChanged, this, &Sidebar::watchSessions);

    rebuildHosts();
    showHostProblems();
    rebuildKeys();
    watchSessions();
    applyTheme();
}

Sidebar::~Sidebar() {
    if (sheet_)
        delete sheet_.data();
}

RemoveHostSheet* Sidebar::removeSheet() const { return sheet_.data(); }

QWidget* Sidebar::section(const QString& name) const { return findChild<QWidget*>(name); }

QStringList Sidebar::listedHosts() const {
    QStringList out;
    for (int r = 0; r < hostModel_.rowCount(); ++r)
        out.push_back(hostModel_.item(r).alias);
    return out;
}

void Sidebar::applyTheme() {
    for (QLabel* muted : {hostsEmpty_, keysEmpty_})
        setTextColour(muted, Metro::mutedText());
    for (QToolButton* header : findChildren<QToolButton*>()) {
        if (header != addHost_)
            setTextColour(header, Metro::mutedText());
    }
    setTextColour(addHost_, Metro::secondaryText());
    setTextColour(findChild<QLabel*>(QStringLiteral("brandName")), Metro::text());
    setTextColour(hostsProblems_, Metro::danger());
    setTextColour(findChild<QLabel*>(QStringLiteral("settingsText")), Metro::secondaryText());
    setTextColour(findChild<QLabel*>(QStringLiteral("settingsShortcut")), Metro::mutedText());
    findChild<LucideIcon*>(QStringLiteral("settingsIcon"))->setColor(Metro::secondaryText());
    auto* hairline = findChild<QWidget*>(QStringLiteral("hairline"));
    QPalette hp = hairline->palette();
    hp.setColor(QPalette::Window, Metro::line());
    hairline->setPalette(hp);
    QPalette p = filter_->palette();
    p.setColor(QPalette::Base, Metro::raised());
    p.setColor(QPalette::Text, Metro::text());
    p.setColor(QPalette::PlaceholderText, Metro::mutedText());
    filter_->setPalette(p);
    // The 1-px border lies inside the 8/5 inner padding.
    filter_->setStyleSheet(QStringLiteral("QLineEdit { background: %1; border: 1px solid %2; border-radius: 6px;"
                                          " padding: 4px 7px; }")
                               .arg(Metro::raised().name(QColor::HexArgb), Metro::line().name(QColor::HexArgb)));
    for (QListView* view : {localList_, hostList_, keyList_})
        view->viewport()->update();
}

void Sidebar::rebuildHosts() {
    QStringList all = hosts_.aliases();
    all.removeIf([](const QString& a) { return !isListableAlias(a); });
    const bool none = all.isEmpty();
    hostsEmpty_->setText(hosts_.configExists() ? QStringLiteral("No SSH hosts found in ~/.ssh/config.")
                                               : QStringLiteral("No ~/.ssh/config found."));
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

void Sidebar::showHostProblems() {
    // Bounded: the sentences carry file names from the config.
    constexpr qsizetype maxShown = 6;
    constexpr qsizetype maxChars = 300;
    const QStringList problems = hosts_.problems();
    QStringList lines;
    for (qsizetype i = 0; i < std::min(problems.size(), maxShown); ++i) {
        QString line = problems[i];
        if (line.size() > maxChars)
            line = line.left(maxChars - 1) + QChar(0x2026);
        lines.push_back(line);
    }
    if (problems.size() > maxShown)
        lines.push_back(QChar(0x2026));
    hostsProblems_->setText(lines.join(QLatin1Char('\n')));
    hostsProblems_->setVisible(!lines.isEmpty());
}

void Sidebar::rebuildKeys() {
    keyModel_->setKeys(keyStore_.keys());
    const int rows = keyModel_->rowCount();
    keysEmpty_->setVisible(rows == 0);
    keyList_->setVisible(rows > 0);
    keyList_->setFixedHeight(std::min(rows, maxKeyRows) * rowHeight + 2);
}

void Sidebar::watchSessions() {
    for (const auto& session : workspace_.sessions()) {
        disconnect(session.get(), &TerminalSession::exited, this, nullptr);
        connect(session.get(), &TerminalSession::exited, this, &Sidebar::refreshRunning);
    }
    refreshRunning();
}

void Sidebar::refreshRunning() {
    localModel_.refreshRunning(workspace_);
    hostModel_.refreshRunning(workspace_);
}

void Sidebar::selectFromView(QListView* view) {
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

void Sidebar::setSelectedItem(const std::optional<SidebarItem>& item) {
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

void Sidebar::followSelection(const std::optional<SidebarItem>& item) {
    // Selecting brings the latest session to the front; it never opens one.
    if (!item)
        return;
    if (auto session = workspace_.mostRecentSession(item->target()))
        workspace_.activate(session->id);
}

void Sidebar::openSelectedItem(const std::optional<SidebarItem>& item) {
    if (!item)
        return;
    if (item->kind == SidebarItem::Kind::host && !isListableAlias(item->alias))
        return;
    workspace_.open(item->target());
}

QStringList Sidebar::contextMenuEntries(const std::optional<SidebarItem>& item) const {
    if (item && item->kind == SidebarItem::Kind::host)
        return {QStringLiteral("Remove host\u2026")};
    return {};
}

void Sidebar::showContextMenu(QListView* view, const QPoint& pos) {
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

void Sidebar::requestRemoval(const QString& alias) {
    if (sheet_)
        return;  // one sheet at a time
    removeTarget_ = RemoveHostTarget{alias};
    sheet_ = new RemoveHostSheet(alias, hosts_, window());
    sheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet_.data(), &QDialog::finished, this, [this] { removeTarget_.reset(); });
    sheet_->open();
}

bool Sidebar::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    // Return in the filter does nothing, and must not reach a default button either.
    if (watched == filter_ && enter)
        return true;
    if (watched == filter_ && key->key() == Qt::Key_Down &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // From the filter into the hosts it left, the first one chosen.
        if (hostModel_.rowCount() == 0 || hostList_->isHidden())
            return false;
        if (!settings_.hostsExpanded())
            settings_.setHostsExpanded(true);
        if (!selected_ || hostModel_.rowOf(*selected_) < 0)
            hostList_->selectionModel()->setCurrentIndex(hostModel_.index(0), QItemSelectionModel::ClearAndSelect);
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
