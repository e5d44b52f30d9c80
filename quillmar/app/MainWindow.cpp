#include "quillmar/app/MainWindow.h"

#include "quillmar/app/LocalShell.h"
#include "platform/Log.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace quillmar {
namespace {

const QColor themeBackground(0x0E, 0x11, 0x17);
const QColor themeSurface(0x16, 0x1B, 0x24);
const QColor themeLine(0x2C, 0x34, 0x42);

QFrame* separator(QWidget* parent, bool vertical) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::NoFrame);
    line->setAutoFillBackground(true);
    QPalette p = line->palette();
    p.setColor(QPalette::Window, themeLine);
    line->setPalette(p);
    if (vertical)
        line->setFixedWidth(1);
    else
        line->setFixedHeight(1);
    return line;
}

void fill(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, colour);
    widget->setPalette(p);
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("quillmar"));
    setMinimumSize(760, 440);
    resize(1100, 700);

    auto* root = new QWidget(this);
    fill(root, themeBackground);
    auto* rootLayout = new QHBoxLayout(root);
    rootLayout->setContentsMargins(0, 0, 0, 0);
    rootLayout->setSpacing(0);

    sidebarColumn_ = new QWidget(root);
    sidebarColumn_->setFixedWidth(sidebarWidth);
    fill(sidebarColumn_, themeSurface);
    auto* sidebarLayout = new QVBoxLayout(sidebarColumn_);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->setSpacing(0);
    QFrame* sidebarLine = separator(root, true);

    auto* detailColumn = new QWidget(root);
    auto* detailLayout = new QVBoxLayout(detailColumn);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->setSpacing(0);
    tabStripRow_ = new QWidget(detailColumn);
    tabStripRow_->setFixedHeight(tabStripHeight);
    auto* tabLayout = new QHBoxLayout(tabStripRow_);
    tabLayout->setContentsMargins(0, 0, 0, 0);
    tabLayout->setSpacing(0);
    QFrame* tabLine = separator(detailColumn, false);
    detailStack_ = new QStackedWidget(detailColumn);
    detailLayout->addWidget(tabStripRow_);
    detailLayout->addWidget(tabLine);
    detailLayout->addWidget(detailStack_, 1);

    rootLayout->addWidget(sidebarColumn_);
    rootLayout->addWidget(sidebarLine);
    rootLayout->addWidget(detailColumn, 1);
    setCentralWidget(root);

    // Empty until the sidebar and the tab strip are built.
    sidebarColumn_->hide();
    sidebarLine->hide();
    tabStripRow_->hide();
    tabLine->hide();
}

MainWindow::~MainWindow() {
    for (auto& entry : sessions_) {
        if (entry.view)
            entry.view->setProcessDelegate(nullptr);
    }
}

ravelgrid::LocalProcessTerminalView* MainWindow::activeTerminal() const {
    return qobject_cast<ravelgrid::LocalProcessTerminalView*>(detailStack_->currentWidget());
}

ravelgrid::LocalProcessTerminalView* MainWindow::openLocalShell() {
    auto* view = new ravelgrid::LocalProcessTerminalView(detailStack_);
    ravelgrid::TerminalKittyGraphics::attach(view->terminal());
    view->setProcessDelegate(this);
    // A shell of our own may read the screen and clipboard back.
    view->setProcessTrusted(true);
    detailStack_->addWidget(view);
    detailStack_->setCurrentWidget(view);

    int ordinal = 1;
    for (const auto& entry : sessions_)
        ordinal += entry.title.rfind("Local", 0) == 0 ? 1 : 0;
    TerminalSessionEntry entry;
    entry.title = ordinal == 1 ? "Local" : "Local " + std::to_string(ordinal);
    entry.view = view;
    sessions_.push_back(entry);

    const ShellCommand shell = localShellCommand();
    view->startProcess(shell.executable, shell.args, sessionEnvironment(), std::nullopt, sessionDirectory());
    if (!view->process().running())
        platform::logError("app", "quillmar: could not start " + shell.executable);
    view->setFocus();
    refreshTitle();
    return view;
}

TerminalSessionEntry* MainWindow::entryFor(const ravelgrid::TerminalView& view) {
    for (auto& entry : sessions_) {
        if (entry.view == &view)
            return &entry;
    }
    return nullptr;
}

void MainWindow::setTerminalTitle(ravelgrid::LocalProcessTerminalView&, const std::string&) {}

void MainWindow::processTerminated(ravelgrid::LocalProcessTerminalView& source, std::optional<int> exitCode) {
    TerminalSessionEntry* entry = entryFor(source);
    if (!entry)
        return;
    entry->running = false;
    entry->exitCode = exitCodeOf(exitCode);
    entry->exitDescription = describeExit(exitCode);
    platform::logInfo("app", "quillmar: " + entry->title + " " + *entry->exitDescription);
    refreshTitle();
    emit sessionEnded(QString::fromStdString(*entry->exitDescription));
}

void MainWindow::refreshTitle() {
    QString title = QStringLiteral("quillmar");
    if (auto* view = activeTerminal()) {
        if (TerminalSessionEntry* entry = entryFor(*view); entry && entry->exitDescription)
            title += QStringLiteral(" — ") + QString::fromStdString(entry->title + ": " + *entry->exitDescription);
    }
    setWindowTitle(title);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous() && sessions_.empty())
        openLocalShell();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Taking the window down stops every child.
    for (auto& entry : sessions_) {
        if (entry.view) {
            entry.view->setProcessDelegate(nullptr);
            entry.view->terminate();
        }
    }
    QMainWindow::closeEvent(event);
}

}  // namespace quillmar
