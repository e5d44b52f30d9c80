#include "quillmar/app/shell/MainWindow.h"

#include "platform/Log.h"
#include "quillmar/app/panes/AddHostView.h"
#include "quillmar/app/panes/KeysView.h"
#include "quillmar/app/panes/SettingsView.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/shell/TabNumberBadges.h"
#include "quillmar/app/shell/TabStrip.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/app/style/Appearance.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/TerminalFont.h"
#include "ravelgrid/view/PlainText.h"
#include "ravelgrid/view/QtScheduler.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <time.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace quillmar {
namespace {

void fill(QWidget* widget, const QColor& colour)
{
    widget->setAutoFillBackground(true);
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
}

QFrame* rule(QWidget* parent, bool vertical)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    if (vertical)
        line->setFixedWidth(1);
    else
        line->setFixedHeight(1);
    setFillRole(line, Metro::Role::line);
    return line;
}

ravelgrid::FontSet fontFor(const UserSettings& settings)
{
    const double size = std::clamp(settings.fontSize(), UserSettings::minimumFontSize, UserSettings::maximumFontSize);
    return ravelgrid::FontSet(TerminalFont::font(settings.fontName(), size));
}

// Start-up figures, logged when QUILLMAR_PROFILE is "1".
bool profiling()
{
    return qEnvironmentVariable("QUILLMAR_PROFILE") == QLatin1String("1");
}

// Milliseconds since the kernel started this process (10 ms steps).
std::optional<double> msSinceProcessStart()
{
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) {
            const double startSeconds = std::stod(field) / double(::sysconf(_SC_CLK_TCK));
            timespec now{};
            ::clock_gettime(CLOCK_BOOTTIME, &now);
            return (double(now.tv_sec) + double(now.tv_nsec) / 1e9 - startSeconds) * 1000.0;
        }
    }
    return std::nullopt;
}

}  // namespace

MainWindow::MainWindow(UserSettings& settings, QWidget* parent) : MainWindow(settings, nullptr, parent)
{}

MainWindow::MainWindow(UserSettings& settings, std::unique_ptr<SnippetStore> snippets, QWidget* parent)
    : QMainWindow(parent), settings_(settings), scheduler_(ravelgrid::QtScheduler::system()),
      hosts_(std::make_unique<SSHHostStore>()), keyStore_(std::make_unique<SSHKeyStore>()),
      snippets_(snippets ? std::move(snippets) : std::make_unique<SnippetStore>()), workspace_(scheduler_),
      keys_(settings, scheduler_), theme_(settings, systemAppearance_, *this), font_(fontFor(settings)),
      pages_(
          workspace_, [this](const TabID& id) { return makePage(id); }, [this](QWidget* page) { dropPage(page); })
{
    setWindowTitle(tr("quillmar"));
    setMinimumSize(760, 440);
    resize(1100, 700);

    root_ = new QWidget(this);
    auto* rootLayout = new QHBoxLayout(root_);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->setSpacing(0);

    sidebarColumn_ = new QWidget(root_);
    sidebarColumn_->setFixedWidth(sidebarWidth);
    setFillRole(root_, Metro::Role::background);
    setFillRole(sidebarColumn_, Metro::Role::surface);
    auto* sidebarLayout = new QVBoxLayout(sidebarColumn_);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->setSpacing(0);
    sidebarLine_ = rule(root_, true);
    sidebar_ = new Sidebar(*hosts_, *keyStore_, workspace_, settings_, sidebarColumn_);
    sidebarLayout->addWidget(sidebar_);
    snippetInsertion_ = new SnippetInsertion(
        workspace_, [this](const QUuid& id) { return hostFor(id); }, scheduler_, this);
    snippetsSection_ = new SidebarSnippetsSection(*snippets_, *snippetInsertion_, workspace_, settings_,
                                                  sidebar_->filterField(), sidebar_->snippetsSectionSlot());
    sidebar_->snippetsSectionSlot()->layout()->addWidget(snippetsSection_);
    sidebar_->snippetsSectionSlot()->show();

    auto* detailColumn = detailColumn_ = new QWidget(root_);
    auto* detailLayout = new QVBoxLayout(detailColumn);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->setSpacing(0);
    tabStripRow_ = new QWidget(detailColumn);
    tabStripRow_->setFixedHeight(tabStripHeight);
    setFillRole(tabStripRow_, Metro::Role::surface, 0.5);
    auto* tabLayout = new QHBoxLayout(tabStripRow_);
    tabLayout->setContentsMargins(0, 0, 0, 0);
    tabLayout->setSpacing(0);
    tabLine_ = rule(detailColumn, false);
    detailStack_ = new QStackedWidget(detailColumn);
    detailLayout->addWidget(tabStripRow_);
    detailLayout->addWidget(tabLine_);
    detailLayout->addWidget(detailStack_, 1);
    tabStrip_ = new TabStrip(workspace_, tabStripRow_);
    tabLayout->addWidget(tabStrip_);
    // Over the top of the detail area while Alt alone is held.
    // A child of the stack but none of its pages, so clipped to it.
    badges_ = new TabNumberBadges(workspace_, *tabStrip_, detailStack_);
    badges_->hide();

    emptyHint_ = new QLabel(tr("No open sessions. Ctrl+Shift+T for a local shell, or double-click a host. "
                               "Ctrl+, for Settings."),
                            detailStack_);
    emptyHint_->setAlignment(Qt::AlignCenter);
    emptyHint_->setWordWrap(true);
    emptyHint_->setFont(metroFont(13));
    blankPage_ = new QWidget(detailStack_);
    detailStack_->addWidget(emptyHint_);
    detailStack_->addWidget(blankPage_);

    rootLayout->addWidget(sidebarColumn_);
    rootLayout->addWidget(sidebarLine_);
    rootLayout->addWidget(detailColumn, 1);
    setCentralWidget(root_);

    connect(&workspace_, &Workspace::sessionsChanged, this, &MainWindow::syncPages);
    connect(&workspace_, &Workspace::openToolsChanged, this, &MainWindow::syncPages);
    connect(&workspace_, &Workspace::activeIDChanged, this, &MainWindow::showActive);
    connect(&keys_, &KeyRouter::showBadgesChanged, this, &MainWindow::showBadges);
    connect(tabStrip_, &TabStrip::chipsChanged, badges_, qOverload<>(&QWidget::update));
    // Escape in the sidebar's empty filter and the end of a tab rename give
    // the keyboard back to the terminal in front.
    const auto focusTerminal = [this] {
        if (TerminalHost* host = activeHost())
            host->setFocus(Qt::OtherFocusReason);
    };
    connect(sidebar_, &Sidebar::leaveToTerminal, this, focusTerminal);
    connect(tabStrip_, &TabStrip::renameEnded, this, focusTerminal);
    connect(&theme_, &Theme::changed, this, &MainWindow::applySchemeToAll);
    connect(&settings_, &UserSettings::schemeIDChanged, this, &MainWindow::applySchemeToAll);
    connect(&settings_, &UserSettings::fontNameChanged, this, &MainWindow::rebuildFont);
    connect(&settings_, &UserSettings::fontSizeChanged, this, &MainWindow::rebuildFont);
    workspace_.setCloseGuard([this](const TabID& id) { return allowTabClose(id); });
    showActive();
}

MainWindow::~MainWindow()
{
    keys_.stop();
    // Hosts first: each stops its child while the stores still exist.
    for (TerminalHost* host : terminalHosts())
        delete host;
}

TerminalHost* MainWindow::hostFor(const QUuid& sessionID) const
{
    return qobject_cast<TerminalHost*>(pages_.find(sessionID));
}

TerminalHost* MainWindow::activeHost() const
{
    auto active = workspace_.activeID();
    return active ? qobject_cast<TerminalHost*>(pages_.find(*active)) : nullptr;
}

QWidget* MainWindow::toolPane(ToolTab tool) const
{
    return pages_.find(tool);
}

std::vector<TerminalHost*> MainWindow::terminalHosts() const
{
    std::vector<TerminalHost*> hosts;
    pages_.forEach([&](QWidget* page) {
        if (auto* host = qobject_cast<TerminalHost*>(page))
            hosts.push_back(host);
    });
    return hosts;
}

bool MainWindow::colourSchemeIsDark() const
{
    return theme_.colourSchemeIsDark();
}

const TerminalScheme& MainWindow::effectiveScheme() const
{
    return quillmar::effectiveScheme(settings_.schemeID(), settings_.appearanceText(), colourSchemeIsDark());
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous()) {
        theme_.apply();
        installKeyMonitor();
    }
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    if (!event->spontaneous())
        removeKeyMonitor();
}

void MainWindow::installKeyMonitor()
{
    if (workspace_.sessions().empty())
        workspace_.open(SessionTarget::local());
    // The flag first: the file is read at most once per window, whether or
    // not reading it works (a failure stays in the store's loadError). The
    // read waits until the shell's prompt is drawn, or half a second, so the
    // first prompt comes first; the keyring is asked off the main thread.
    if (!snippets_->loaded()) {
        snippets_->setLoaded(true);
        if (TerminalHost* host = activeHost())
            connect(host->view(), &FocusingTerminalView::firstOutputPainted, this, &MainWindow::loadSnippets,
                    Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
        QTimer::singleShot(snippetReadDelayMs, this, &MainWindow::loadSnippets);
    }
    keys_.setWorkspace(&workspace_);
    keys_.install(this);
}

void MainWindow::loadSnippets()
{
    if (snippetsRead_)
        return;
    snippetsRead_ = true;
    snippets_->load();
}

void MainWindow::removeKeyMonitor()
{
    keys_.stop();
}

void MainWindow::syncPages()
{
    pages_.sync();
    showActive();
}

QWidget* MainWindow::makePage(const TabID& id)
{
    QWidget* page = nullptr;
    if (auto tool = id.tool()) {
        page = makeToolPane(*tool);
        setFillRole(page, Metro::Role::background);
    } else if (auto session = workspace_.session(*id.session())) {
        page = makeHost(session);
    }
    if (page)
        detailStack_->addWidget(page);
    return page;
}

TerminalHost* MainWindow::makeHost(const std::shared_ptr<TerminalSession>& session)
{
    QElapsedTimer opening;
    opening.start();
    const bool first = terminalHosts().empty();
    std::weak_ptr<TerminalSession> weak = session;
    auto* host = new TerminalHost(
        session, effectiveScheme(), font_, scheduler_,
        [this, weak](std::optional<std::int32_t> code) {
            if (auto s = weak.lock())
                handleSessionExit(code, s);
        },
        detailStack_);
    // A rename shows in the title at once, not when another tab is chosen.
    connect(session.get(), &TerminalSession::titleChanged, host, [this] { refreshTitle(); });
    if (profiling()) {
        if (first && !firstPromptLogged_) {
            connect(host->view(), &FocusingTerminalView::firstOutputPainted, this, [this] {
                if (firstPromptLogged_)
                    return;
                firstPromptLogged_ = true;
                if (auto ms = msSinceProcessStart())
                    platform::logInfo("app", "quillmar: first prompt painted " + std::to_string(*ms) +
                                                 " ms after process start");
            });
        } else {
            connect(host->view(), &FocusingTerminalView::firstFramePainted, this, [opening] {
                platform::logInfo("app", "quillmar: new tab first frame after " +
                                             std::to_string(double(opening.nsecsElapsed()) / 1e6) + " ms");
            });
        }
    }
    // A host that is never shown still runs its child.
    QTimer::singleShot(0, host, &TerminalHost::start);
    return host;
}

void MainWindow::dropPage(QWidget* page)
{
    detailStack_->removeWidget(page);
    if (auto* host = qobject_cast<TerminalHost*>(page)) {
        // Closed: the child gets SIGTERM now, the view goes with the host.
        host->hide();
        host->view()->setProcessDelegate(nullptr);
        host->view()->terminate();
    }
    page->deleteLater();
}

QWidget* MainWindow::makeToolPane(ToolTab tool)
{
    if (tool == ToolTab::settings)
        return new SettingsView(workspace_, settings_, SSHPaths::fromEnvironment(),
                                {[this] { return systemAppearance_.isDark(); }, {}}, detailStack_);
    if (tool == ToolTab::snippets)
        return new SnippetsView(*snippets_, scheduler_, detailStack_);
    switch (tool) {
    case ToolTab::addHost: return new AddHostView(workspace_, *hosts_, keyStore_.get(), detailStack_);
    case ToolTab::keys: return new KeysView(*keyStore_, workspace_, *hosts_, detailStack_);
    default: break;
    }
    // The panes are built by their own views; until then an empty page.
    auto* pane = new QWidget(detailStack_);
    switch (tool) {
    case ToolTab::addHost:
    case ToolTab::keys: break;
    case ToolTab::snippets: pane->setObjectName(QStringLiteral("snippetsPane")); break;
    case ToolTab::settings: pane->setObjectName(QStringLiteral("settingsPane")); break;
    }
    return pane;
}

void MainWindow::showActive()
{
    const auto active = workspace_.activeID();
    QWidget* page = nullptr;
    if (active)
        page = pages_.find(*active);
    if (!page)
        page = workspace_.sessions().empty() && workspace_.openTools().empty() ? emptyHint_ : blankPage_;
    for (TerminalHost* host : terminalHosts()) {
        if (host != page)
            host->setActive(false);
    }
    detailStack_->setCurrentWidget(page);
    const bool brought = page != shownPage_;
    shownPage_ = page;
    if (auto* host = qobject_cast<TerminalHost*>(page)) {
        host->setActive(true);
    } else if (brought) {
        // A pane takes the keyboard; the empty page only from a page now hidden.
        const QWidget* focus = focusWidget();
        const bool pane = page != emptyHint_ && page != blankPage_;
        if (pane || !focus || !focus->isVisible())
            giveKeyboardTo(page);
    }
    refreshTitle();
}

QWidget* MainWindow::firstField(QWidget* page) const
{
    if (auto* addHost = qobject_cast<AddHostView*>(page))
        return addHost->field(AddHostView::Field::alias);
    if (auto* keys = qobject_cast<KeysView*>(page))
        return keys->list();
    if (auto* snippets = qobject_cast<SnippetsView*>(page))
        return snippets->list();
    return nullptr;
}

void MainWindow::giveKeyboardTo(QWidget* page)
{
    // The stack only moves the keyboard when it was on the page going away,
    // and not at all when the page's last focus is now disabled: it would
    // stay with a hidden terminal, which would take what is typed next.
    const auto takes = [page](QWidget* w) {
        return w && page->isAncestorOf(w) && w->isEnabled() && w->isVisibleTo(page) &&
               (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus;
    };
    QWidget* target = firstField(page);
    if (!takes(target)) {
        target = nullptr;
        for (QWidget* w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain()) {
            if (takes(w) && !w->focusProxy()) {
                target = w;
                break;
            }
        }
    }
    // A page with nothing to type into still takes the keyboard from the terminal.
    (target ? target : page)->setFocus(Qt::OtherFocusReason);
}

void MainWindow::applySchemeToAll()
{
    const TerminalScheme& scheme = effectiveScheme();
    fill(detailStack_, schemeColor(scheme.background));
    QColor hint = schemeColor(scheme.foreground);
    hint.setAlphaF(0.55f);
    QPalette p = emptyHint_->palette();
    p.setColor(QPalette::WindowText, hint);
    emptyHint_->setPalette(p);
    for (TerminalHost* host : terminalHosts())
        host->setScheme(scheme);
}

void MainWindow::rebuildFont()
{
    font_ = fontFor(settings_);
    for (TerminalHost* host : terminalHosts())
        host->setTerminalFont(font_);
}

void MainWindow::handleSessionExit(std::optional<std::int32_t> code, const std::shared_ptr<TerminalSession>& session)
{
    platform::logInfo("app", "quillmar: " + session->title().toStdString() + " " +
                                 session->exitDescription().value_or(QString()).toStdString());
    emit sessionEnded(session->exitDescription().value_or(tr("exited")));
    // A session already closed (by the user, while its end was on its way) is not closed twice.
    if (!workspace_.session(session->id))
        return;
    if (session->target.kind == SessionTarget::Kind::tool) {
        // A key tool changed the keys: the list shows it at once; its tab stays.
        keyStore_->reload();
        refreshTitle();
        return;
    }
    // Applied alike whether the tab is shown or hidden.
    bool close = false;
    switch (settings_.exitPolicy()) {
    case SessionExitPolicy::closeIfClean: close = code == 0; break;
    case SessionExitPolicy::alwaysKeep: close = false; break;
    case SessionExitPolicy::alwaysClose: close = true; break;
    }
    if (close)
        workspace_.close(session->id);
    refreshTitle();
}

namespace {

// The name is the program's own choice: nothing in it may hide or turn text.
QString stillRunning(const QString& program)
{
    return program.isEmpty() ? MainWindow::tr("A program is still running.")
                             : MainWindow::tr("%1 is still running.").arg(ravelgrid::revealHiddenCharacters(program));
}

}  // namespace

bool MainWindow::confirmClose(const QString& text)
{
    if (askingToClose_)
        return false;
    askingToClose_ = true;
    auto box = ravelgrid::plainQuestion(this, tr("quillmar"), text, QMessageBox::Close | QMessageBox::Cancel,
                                        QMessageBox::Close);
    box->setEscapeButton(QMessageBox::Cancel);
    const bool yes = ravelgrid::ask(std::move(box)) == QMessageBox::Close;
    askingToClose_ = false;
    return yes;
}

bool MainWindow::allowTabClose(const TabID& id)
{
    const auto sessionID = id.session();
    const TerminalHost* host = sessionID ? hostFor(*sessionID) : nullptr;
    const auto program = host ? host->runningProgram() : std::nullopt;
    if (!program)
        return true;
    // Not from inside the key filter or the chip's click: the chip may be
    // gone by the time the answer comes.
    QTimer::singleShot(0, this, [this, id, text = tr("Close this tab? %1").arg(stillRunning(*program))] {
        if (workspace_.isOpen(id) && confirmClose(text))
            workspace_.close(id);
    });
    return false;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    std::vector<QString> busy;
    for (const auto& session : workspace_.sessions()) {
        if (const TerminalHost* host = hostFor(session->id)) {
            if (auto program = host->runningProgram())
                busy.push_back(*program);
        }
    }
    if (!busy.empty()) {
        const QString text = busy.size() == 1 ? tr("Close the window? %1").arg(stillRunning(busy.front()))
                                              : tr("Close the window? %1 tabs still run programs.").arg(busy.size());
        if (!confirmClose(text)) {
            event->ignore();
            return;
        }
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::showBadges()
{
    const bool on = keys_.showBadges();
    if (on) {
        placeBadges();
        badges_->show();
        badges_->raise();
        // Slides in from the top edge.
        auto* slide = new QVariantAnimation(badges_);
        slide->setStartValue(-TabNumberBadges::bandHeight);
        slide->setEndValue(0);
        slide->setDuration(150);
        slide->setEasingCurve(QEasingCurve::OutCubic);
        connect(slide, &QVariantAnimation::valueChanged, badges_,
                [this](const QVariant& v) { badges_->move(0, v.toInt()); });
        slide->start(QAbstractAnimation::DeleteWhenStopped);
    } else {
        badges_->hide();
    }
}

void MainWindow::placeBadges()
{
    badges_->setGeometry(0, 0, detailStack_->width(), TabNumberBadges::bandHeight);
    badges_->update();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (badges_->isVisible())
        placeBadges();
}

void MainWindow::refreshTitle()
{
    QString title = tr("quillmar");
    if (auto session = workspace_.activeSession()) {
        const auto description = session->exitDescription();
        const QString name = ravelgrid::revealHiddenCharacters(session->title());
        // A shell that could not start is named by its path, from the password database.
        title = description ? tr("quillmar — %1: %2").arg(name, ravelgrid::revealHiddenCharacters(*description))
                            : tr("quillmar — %1").arg(name);
    }
    setWindowTitle(title);
}

}  // namespace quillmar
