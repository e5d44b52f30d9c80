#include "quillmar/app/panes/SettingsView.h"

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Version.h"
#include "quillmar/app/panes/SSHMergeSection.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/Appearance.h"
#include "quillmar/app/style/BrandMark.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/MonospaceFonts.h"
#include "quillmar/app/style/TerminalFont.h"
#include "quillmar/app/style/TerminalScheme.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "ravelgrid/view/PlainText.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace quillmar {
namespace {

const QString matchAppearanceID = QStringLiteral("match-appearance");

QString qs(const std::string& s)
{
    return QString::fromStdString(s);
}

QString themeLabel(AppAppearance appearance)
{
    switch (appearance) {
    case AppAppearance::dark: return QCoreApplication::translate("quillmar::SettingsView", "Dark");
    case AppAppearance::light: return QCoreApplication::translate("quillmar::SettingsView", "Light");
    case AppAppearance::system: return QCoreApplication::translate("quillmar::SettingsView", "Same as the desktop");
    case AppAppearance::matrix: return QCoreApplication::translate("quillmar::SettingsView", "Matrix");
    }
    return {};
}

// The scheme in miniature: its background, a line of its foreground and
// the eight normal colours.
QIcon schemePreview(const TerminalScheme& scheme)
{
    QPixmap pixmap(72, 18);
    pixmap.fill(schemeColor(scheme.background));
    QPainter p(&pixmap);
    p.fillRect(QRect(4, 3, 14, 3), schemeColor(scheme.foreground));
    p.fillRect(QRect(20, 3, 4, 3), schemeColor(scheme.cursor));
    for (int i = 0; i < 8; ++i)
        p.fillRect(QRect(4 + i * 8, 9, 7, 6), schemeColor(scheme.ansi[static_cast<std::size_t>(i)]));
    p.setPen(QColor(128, 128, 128, 120));
    p.drawRect(pixmap.rect().adjusted(0, 0, -1, -1));
    return QIcon(pixmap);
}

QLabel* wrapped(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

// Nobody chose the default; its absence is how the platform is, not a fault.
bool standsInQuietly(const QString& name)
{
    return name == QLatin1String(TerminalFont::nerdFontName);
}

// The family as the list names it: Qt adds " [foundry]" to a family that
// two foundries install.
QString drawnFamily(const QFontInfo& info)
{
    return info.family().section(QStringLiteral(" ["), 0, 0);
}

}  // namespace

SettingsView::SettingsView(Workspace& workspace, UserSettings& settings, SSHPaths paths, Options options,
                           QWidget* parent)
    : QScrollArea(parent), workspace_(workspace), settings_(settings), paths_(std::move(paths)),
      options_(std::move(options))
{
    setObjectName(QStringLiteral("settingsPane"));
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    if (!options_.openUrl)
        options_.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    if (!options_.systemIsDark)
        options_.systemIsDark = [] { return false; };

    auto* content = new QWidget(this);
    content->setObjectName(QStringLiteral("settingsContent"));
    column_ = new QVBoxLayout(content);
    column_->setContentsMargins(28, 20, 28, 28);
    column_->setSpacing(22);
    buildAppearance();
    buildTerminal();
    buildFiles();
    buildMerge();
    buildFolderAccess();
    buildAbout();
    column_->addStretch(1);
    setWidget(content);

    syncFromSettings();
    for (auto signal :
         {&UserSettings::appearanceChanged, &UserSettings::schemeIDChanged, &UserSettings::fontNameChanged,
          &UserSettings::fontSizeChanged, &UserSettings::exitPolicyChanged, &UserSettings::fontNerdOnlyChanged})
        connect(&settings_, signal, this, &SettingsView::syncFromSettings);
    connect(&workspace_, &Workspace::settingsScrollTargetChanged, this, [this] {
        if (isVisible())
            scrollToTarget();
    });
}

SettingsView::~SettingsView() = default;

QWidget* SettingsView::addSection(const QString& id, const QString& title)
{
    auto* section = new QWidget(widget() ? widget() : column_->parentWidget());
    section->setObjectName(QStringLiteral("settingsSection-") + id);
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(makeTitle(title, section, TitleLevel::section));
    column_->addWidget(section);
    sections_.emplace_back(id, section);
    return section;
}

QWidget* SettingsView::section(const QString& id) const
{
    for (const auto& [name, widget] : sections_) {
        if (name == id)
            return widget;
    }
    return nullptr;
}

void SettingsView::buildAppearance()
{
    QWidget* section = addSection(QStringLiteral("appearance"), tr("Appearance"));
    auto* group = new QButtonGroup(section);
    for (AppAppearance a : {AppAppearance::dark, AppAppearance::light, AppAppearance::system, AppAppearance::matrix}) {
        auto* button = new QRadioButton(themeLabel(a), section);
        button->setObjectName(QStringLiteral("theme-") + appearanceName(a));
        group->addButton(button);
        section->layout()->addWidget(button);
        themeButtons_.emplace_back(a, button);
        connect(button, &QRadioButton::clicked, this, [this, a] { settings_.setAppearance(a); });
    }
}

QString SettingsView::exitPolicyLabel(SessionExitPolicy policy)
{
    switch (policy) {
    case SessionExitPolicy::closeIfClean: return tr("Close the tab when the session ends without an error");
    case SessionExitPolicy::alwaysKeep: return tr("Keep the tab open when the session ends");
    case SessionExitPolicy::alwaysClose: return tr("Close the tab whenever the session ends");
    }
    return {};
}

void SettingsView::buildTerminal()
{
    QWidget* section = addSection(QStringLiteral("terminal"), tr("Terminal"));
    auto* form = new QFormLayout;
    fontBox_ = new QComboBox(section);
    fontBox_->setObjectName(QStringLiteral("fontBox"));
    fontBox_->setMinimumWidth(240);
    form->addRow(tr("Font"), fontBox_);
    nerdOnly_ = new QCheckBox(tr("Only fonts with Powerline and icon glyphs"), section);
    nerdOnly_->setObjectName(QStringLiteral("nerdOnly"));
    form->addRow(QString(), nerdOnly_);
    fontInUse_ = ravelgrid::plainLabel(QString(), section);
    fontInUse_->setObjectName(QStringLiteral("fontInUse"));
    fontInUse_->setWordWrap(true);
    form->addRow(QString(), fontInUse_);
    sizeBox_ = new QSpinBox(section);
    sizeBox_->setObjectName(QStringLiteral("sizeBox"));
    sizeBox_->setRange(int(UserSettings::minimumFontSize), int(UserSettings::maximumFontSize));
    sizeBox_->setSuffix(tr(" pt"));
    form->addRow(tr("Size"), sizeBox_);
    schemeBox_ = new QComboBox(section);
    schemeBox_->setObjectName(QStringLiteral("schemeBox"));
    schemeBox_->setIconSize(QSize(72, 18));
    form->addRow(tr("Colours"), schemeBox_);
    static_cast<QVBoxLayout*>(section->layout())->addLayout(form);

    section->layout()->addWidget(new QLabel(tr("When a session ends:"), section));
    auto* group = new QButtonGroup(section);
    for (SessionExitPolicy policy :
         {SessionExitPolicy::closeIfClean, SessionExitPolicy::alwaysKeep, SessionExitPolicy::alwaysClose}) {
        auto* button = new QRadioButton(exitPolicyLabel(policy), section);
        button->setObjectName(QStringLiteral("exit-") + exitPolicyName(policy));
        group->addButton(button);
        section->layout()->addWidget(button);
        exitButtons_.emplace_back(policy, button);
        connect(button, &QRadioButton::clicked, this, [this, policy] { settings_.setExitPolicy(policy); });
    }

    connect(fontBox_, &QComboBox::activated, this, [this](int index) {
        const QString name = fontBox_->itemData(index).toString();
        if (!name.isEmpty())
            settings_.setFontName(name);
    });
    connect(nerdOnly_, &QCheckBox::toggled, this, [this](bool on) { settings_.setFontNerdOnly(on); });
    connect(sizeBox_, &QSpinBox::valueChanged, this, [this](int size) {
        if (std::lround(settings_.fontSize()) != size)
            settings_.setFontSize(size);
    });
    connect(schemeBox_, &QComboBox::activated, this,
            [this](int index) { settings_.setSchemeID(schemeBox_->itemData(index).toString()); });
}

void SettingsView::fillFonts()
{
    const QSignalBlocker block(fontBox_);
    fontBox_->clear();
    const QString current = settings_.fontName();
    const bool nerdOnly = settings_.fontNerdOnly();
    int currentIndex = -1;
    for (const MonospaceFace& face : monospaceFaces()) {
        if (nerdOnly && !face.nerd)
            continue;
        if (face.postScriptName == current || face.family == current)
            currentIndex = fontBox_->count();
        // Names come from the font files and the settings file: spelt out like any file's text.
        fontBox_->addItem(ravelgrid::revealHiddenCharacters(face.family), face.postScriptName);
    }
    const bool installed = TerminalFont::chosen(current, 13).has_value();
    if (currentIndex < 0 && !installed && standsInQuietly(current)) {
        // The default's stand-in is shown as what it is; the setting is left alone.
        const QString drawn =
            ravelgrid::revealHiddenCharacters(drawnFamily(QFontInfo(TerminalFont::font(current, 13))));
        currentIndex = fontBox_->findText(drawn);
        if (currentIndex < 0) {
            fontBox_->insertItem(0, drawn, current);
            currentIndex = 0;
        }
    }
    if (currentIndex < 0) {
        // The stored name stays chosen even when it is not in the list (not
        // installed, or narrowed away); the line below says what is drawn.
        const QString shown = ravelgrid::revealHiddenCharacters(current);
        fontBox_->insertItem(0, installed ? shown : tr("%1 (not installed)").arg(shown), current);
        currentIndex = 0;
    }
    fontBox_->setCurrentIndex(currentIndex);
}

void SettingsView::showFontInUse()
{
    const QString name = settings_.fontName();
    const QFont font = TerminalFont::font(name, settings_.fontSize());
    const QFontInfo info(font);
    QString face = drawnFamily(info);
    if (!info.styleName().isEmpty())
        face += QLatin1Char(' ') + info.styleName();
    face = ravelgrid::revealHiddenCharacters(face);
    if (TerminalFont::chosen(name, settings_.fontSize()) || standsInQuietly(name))
        fontInUse_->setText(tr("Drawn with %1.").arg(face));
    else
        fontInUse_->setText(
            tr("%1 isn't installed; terminals use %2 instead.").arg(ravelgrid::revealHiddenCharacters(name), face));
}

void SettingsView::fillSchemes()
{
    const QSignalBlocker block(schemeBox_);
    schemeBox_->clear();
    const bool dark = colourSchemeIsDark(settings_.appearance(), options_.systemIsDark());
    const TerminalScheme& matching = effectiveScheme(matchAppearanceID, settings_.appearanceText(), dark);
    schemeBox_->addItem(schemePreview(matching), tr("Match appearance (%1)").arg(matching.name), matchAppearanceID);
    for (const TerminalScheme& scheme : TerminalScheme::catalogue())
        schemeBox_->addItem(schemePreview(scheme), scheme.name, scheme.id);
    const QString current = settings_.schemeID();
    int index = schemeBox_->findData(current);
    if (index < 0)
        index = schemeBox_->findData(TerminalScheme::named(current).id);
    schemeBox_->setCurrentIndex(std::max(index, 0));
}

void SettingsView::syncFromSettings()
{
    for (auto& [a, button] : themeButtons_) {
        const QSignalBlocker block(button);
        button->setChecked(a == settings_.appearance());
    }
    for (auto& [policy, button] : exitButtons_) {
        const QSignalBlocker block(button);
        button->setChecked(policy == settings_.exitPolicy());
    }
    {
        const QSignalBlocker block(nerdOnly_);
        nerdOnly_->setChecked(settings_.fontNerdOnly());
    }
    {
        const QSignalBlocker block(sizeBox_);
        const double size =
            std::clamp(settings_.fontSize(), UserSettings::minimumFontSize, UserSettings::maximumFontSize);
        sizeBox_->setValue(int(std::lround(size)));
    }
    fillFonts();
    showFontInUse();
    fillSchemes();
}

QRadioButton* SettingsView::themeButton(AppAppearance appearance) const
{
    for (const auto& [a, button] : themeButtons_) {
        if (a == appearance)
            return button;
    }
    return nullptr;
}

QRadioButton* SettingsView::exitPolicyButton(SessionExitPolicy policy) const
{
    for (const auto& [p, button] : exitButtons_) {
        if (p == policy)
            return button;
    }
    return nullptr;
}

std::vector<SettingsView::Backup> SettingsView::backupsNewestFirst(const QString& folder)
{
    std::vector<Backup> list;
    const QDir dir(folder);
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
        list.push_back({info.absoluteFilePath(), info.lastModified()});
    std::sort(list.begin(), list.end(), [](const Backup& a, const Backup& b) {
        if (a.modified != b.modified)
            return a.modified > b.modified;
        return a.path > b.path;
    });
    return list;
}

void SettingsView::buildFiles()
{
    QWidget* section = addSection(QStringLiteral("sshFiles"), tr("SSH files"));
    auto* form = new QFormLayout;
    auto row = [&](const QString& title, const std::string& path, bool folder, QLabel*& state) {
        auto* line = new QWidget(section);
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        state = ravelgrid::plainLabel(QString(), line);
        state->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(state, 1);
        auto* show = new QPushButton(tr("Show"), line);
        show->setToolTip(tr("Show in the file manager"));
        const QString target = folder ? qs(path) : QFileInfo(qs(path)).absolutePath();
        connect(show, &QPushButton::clicked, this, [this, target] { options_.openUrl(QUrl::fromLocalFile(target)); });
        showButtons_.emplace_back(show, target);
        layout->addWidget(show);
        form->addRow(title, line);
    };
    row(tr("Your SSH config"), paths_.configPath(), false, configState_);
    row(tr("quillmar's hosts"), paths_.ownConfigPath(), false, ownState_);
    row(tr("Backups"), paths_.backupsDirectory(), true, backupsState_);
    static_cast<QVBoxLayout*>(section->layout())->addLayout(form);
    backups_ = new QListWidget(section);
    backups_->setObjectName(QStringLiteral("backupsList"));
    backups_->setMaximumHeight(160);
    backups_->setToolTip(tr("Double-click to show the backup in the file manager"));
    section->layout()->addWidget(backups_);
    connect(backups_, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        const QString path = item->data(Qt::UserRole).toString();
        // The folder is what a file manager can show; the backup is in it.
        options_.openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    });
    refreshFiles();
}

void SettingsView::refreshFiles()
{
    auto state = [this](QLabel* label, const std::string& path) {
        const bool exists = QFileInfo::exists(qs(path));
        label->setText((exists ? tr("%1 — present") : tr("%1 — not there yet")).arg(qs(paths_.tildePath(path))));
        label->setProperty("exists", exists);
    };
    state(configState_, paths_.configPath());
    state(ownState_, paths_.ownConfigPath());
    state(backupsState_, paths_.backupsDirectory());
    // A folder that is not there can't be shown.
    for (auto& [button, target] : showButtons_)
        button->setEnabled(QFileInfo(target).isDir());
    backups_->clear();
    const auto list = backupsNewestFirst(qs(paths_.backupsDirectory()));
    // Anything may be put in the folder: names read as the sidebar's do.
    for (const Backup& backup : list) {
        auto* item = new QListWidgetItem(QStringLiteral("%1  ·  %2")
                                             .arg(ravelgrid::revealHiddenCharacters(QFileInfo(backup.path).fileName()),
                                                  QLocale().toString(backup.modified, QLocale::ShortFormat)),
                                         backups_);
        item->setData(Qt::UserRole, backup.path);
    }
    if (list.empty())
        backups_->addItem(tr("No backups yet."));
}

void SettingsView::buildMerge()
{
    QWidget* section = addSection(QStringLiteral("merge"), tr("Merge"));
    merge_ = new SSHMergeSection(SSHConfigWriter(paths_), section);
    section->layout()->addWidget(merge_);
    connect(merge_, &SSHMergeSection::merged, this, &SettingsView::refreshFiles);
    // The files change behind the pane too (an editor, a save in Add host):
    // checked as often as the host list checks them, while shown.
    auto* poll = new QTimer(this);
    poll->setInterval(SSHHostStore::kPollIntervalMs);
    connect(poll, &QTimer::timeout, this, [this] {
        if (isVisible())
            pollFiles();
    });
    poll->start();
}

void SettingsView::pollFiles()
{
    auto signature =
        SSHConfigReader::fileSignature({paths_.configPath(), paths_.ownConfigPath(), paths_.backupsDirectory()});
    if (signature == filesSignature_)
        return;
    filesSignature_ = std::move(signature);
    refreshFiles();
    merge_->filesChanged();
}

void SettingsView::buildFolderAccess()
{
    QWidget* section = addSection(QStringLiteral("folderAccess"), tr("Folder access"));
    section->layout()->addWidget(
        wrapped(tr("quillmar reads and writes only your SSH files in ~/.ssh (config, quillmar_config and the "
                   "quillmar-backups folder) and its own data in ~/.config/quillmar and ~/.local/share/quillmar."),
                section));
}

void SettingsView::buildAbout()
{
    QWidget* section = addSection(QStringLiteral("about"), tr("About"));
    auto* mark = new BrandMark(72, section);
    mark->setObjectName(QStringLiteral("aboutMark"));
    section->layout()->addWidget(mark);
    auto* version = new QLabel(versionLine(), section);
    version->setObjectName(QStringLiteral("aboutVersion"));
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    section->layout()->addWidget(version);
    auto* copyright = new QLabel(copyrightLine(), section);
    copyright->setObjectName(QStringLiteral("aboutCopyright"));
    section->layout()->addWidget(copyright);
}

void SettingsView::scrollToSection(const QString& id)
{
    QWidget* target = section(id);
    if (!target)
        return;
    if (widget() && widget()->layout())
        widget()->layout()->activate();
    verticalScrollBar()->setValue(std::min(target->y(), verticalScrollBar()->maximum()));
}

void SettingsView::scrollToTarget()
{
    const auto target = workspace_.settingsScrollTarget();
    if (target)
        scrollToSection(*target);
    else
        verticalScrollBar()->setValue(0);
}

void SettingsView::showEvent(QShowEvent* event)
{
    QScrollArea::showEvent(event);
    // The desktop's preference may have changed while hidden ("system" theme).
    fillSchemes();
    refreshFiles();
    merge_->filesChanged();
    scrollToTarget();
    // Once more after the first layout pass has placed the sections.
    QTimer::singleShot(0, this, [this] {
        if (isVisible())
            scrollToTarget();
    });
}

}  // namespace quillmar
