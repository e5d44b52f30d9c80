#include "ravelgrid/view/FindController.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/FindBar.h"
#include "ravelgrid/view/TerminalView.h"

#include <QAction>

#include <algorithm>

namespace ravelgrid {
namespace {

// One find string for every view, as a find pasteboard would be.
QString& sharedFindString()
{
    static QString term;
    return term;
}

}  // namespace

QString FindController::findString()
{
    return sharedFindString();
}

void FindController::setFindString(const QString& term)
{
    sharedFindString() = term.left(maxTermChars);
}

FindController::FindController(TerminalView& view, std::function<void()> redraw)
    : view_(view), redraw_(std::move(redraw))
{
    auto make = [this](FindCommand command, const char* text, QKeySequence keys) {
        // UTF-8: "Find…" ends in an ellipsis.
        auto* action = new QAction(QString::fromUtf8(text), &view_);
        action->setShortcut(keys);
        // The bar is a child: the keys work while its field has the focus.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, [this, command] { perform(command); });
        view_.addAction(action);
        actions_.emplace_back(command, action);
    };
    make(FindCommand::showFindBar, "Find…", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    make(FindCommand::findNext, "Find Next", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
    make(FindCommand::findPrevious, "Find Previous", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    make(FindCommand::useSelectionForFind, "Use Selection for Find", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    // Escape belongs to the shell: it hides the bar only from inside the bar.
    auto* hide = new QAction(QStringLiteral("Hide Find Bar"), &view_);
    connect(hide, &QAction::triggered, this, [this] { perform(FindCommand::hideFindBar); });
    actions_.emplace_back(FindCommand::hideFindBar, hide);
    updateActions();
}

QAction* FindController::action(FindCommand command) const
{
    for (const auto& [c, action] : actions_)
        if (c == command)
            return action;
    return nullptr;
}

void FindController::updateActions()
{
    for (const auto& [command, action] : actions_)
        action->setEnabled(enabled(command));
}

bool FindController::enabled(FindCommand command) const
{
    switch (command) {
    case FindCommand::showFindBar:
    case FindCommand::findNext:
    case FindCommand::findPrevious:
    case FindCommand::hideFindBar: return true;
    case FindCommand::useSelectionForFind: return view_.selectionActive();
    }
    return false;
}

void FindController::perform(FindCommand command)
{
    switch (command) {
    case FindCommand::showFindBar: showBar(true); break;
    case FindCommand::findNext: findNext(); break;
    case FindCommand::findPrevious: findPrevious(); break;
    case FindCommand::useSelectionForFind:
        useSelectionForFind();
        showBar(true);
        break;
    case FindCommand::hideFindBar: hideBar(); break;
    }
}

FindBar* FindController::ensureBar()
{
    if (bar_)
        return bar_;
    bar_ = new FindBar(&view_);
    bar_->hide();
    connect(bar_, &FindBar::termChanged, this, &FindController::termChanged);
    connect(bar_, &FindBar::nextRequested, this, &FindController::findNext);
    connect(bar_, &FindBar::previousRequested, this, &FindController::findPrevious);
    connect(bar_, &FindBar::closeRequested, this, &FindController::hideBar);
    connect(bar_, &FindBar::optionsChanged, this, [this] {
        if (const QString term = bar_->term(); !term.isEmpty())
            findMatch(term.toStdString(), bar_->options(), true, true);
    });
    if (QAction* hide = action(FindCommand::hideFindBar)) {
        hide->setShortcut(QKeySequence(Qt::Key_Escape));
        hide->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        bar_->addAction(hide);
    }
    layoutBar();
    return bar_;
}

void FindController::layoutBar()
{
    if (!bar_)
        return;
    const int m = FindBar::margin;
    const int available = std::max(view_.width() - 2 * m, 0);
    const int w = std::min({bar_->sizeHint().width(), FindBar::maxWidth, available});
    const int h = bar_->sizeHint().height();
    bar_->setGeometry(view_.width() - m - w, m, w, h);
}

void FindController::showBar(bool useSelection)
{
    FindBar* bar = ensureBar();
    layoutBar();
    bar->show();
    bar->raise();
    QString text;
    if (useSelection)
        if (const auto selected = view_.selectedText(); selected && !selected->empty())
            text = QString::fromStdString(*selected).left(maxTermChars);
    if (text.isEmpty())
        text = findString();
    if (!text.isEmpty()) {
        bar->setTerm(text);
        termChanged(text);
    }
    bar->focusTerm();
}

void FindController::hideBar()
{
    if (bar_)
        bar_->hide();
    view_.setFocus(Qt::OtherFocusReason);
}

void FindController::useSelectionForFind()
{
    if (const auto selected = view_.selectedText(); selected && !selected->empty())
        setFindString(QString::fromStdString(*selected));
}

void FindController::findNext()
{
    step(true);
}

void FindController::findPrevious()
{
    step(false);
}

void FindController::step(bool forward)
{
    const QString term = (bar_ && bar_->isVisible()) ? bar_->term() : findString();
    if (term.isEmpty())
        return;
    setFindString(term);
    findMatch(term.toStdString(), options(), true, forward);
}

SearchOptions FindController::options() const
{
    return bar_ ? bar_->options() : SearchOptions{};
}

void FindController::termChanged(const QString& term)
{
    SelectionService& selection = view_.selection();
    if (term.isEmpty()) {
        view_.search().reset();
        if (selection.active()) {
            selection.setActive(false);
            redraw_();
        }
        return;
    }
    setFindString(term);
    findMatch(term.toStdString(), options(), true, true);
}

bool FindController::findMatch(const std::string& term, const SearchOptions& options, bool scroll, bool forward)
{
    SearchService& search = view_.search();
    SelectionService& selection = view_.selection();
    // The search goes on from what is selected now, whoever selected it.
    if (selection.active()) {
        const Position a = selection.start();
        const Position b = selection.end();
        search.setLastSelection(SearchSelection{std::min(a, b), std::max(a, b)});
    } else {
        search.setLastSelection(std::nullopt);
    }
    const std::optional<SearchResult> result =
        forward ? search.findNext(term, options) : search.findPrevious(term, options);
    if (!result) {
        if (selection.active()) {
            selection.setActive(false);
            redraw_();
        }
        return false;
    }
    Terminal& terminal = view_.terminal();
    // A match may run over wrapped rows: its end is counted in cells.
    const int cols = std::max(terminal.cols, 1);
    const int64_t endCell = int64_t(result->row) * cols + result->col + std::max(result->size, 0);
    selection.setSelection(Position{result->col, result->row}, Position{int(endCell % cols), int(endCell / cols)});
    Buffer& buffer = terminal.activeBuffer();
    if (scroll && !terminal.isCurrentBufferAlternate()) {
        const int rows = terminal.rows;
        if (result->row < buffer.yDisp() || result->row > buffer.yDisp() + rows - 1)
            view_.scrollTo(std::clamp(result->row - rows / 2, 0, std::max(buffer.lines().count() - rows, 0)));
    }
    redraw_();
    return true;
}

std::pair<int, int> FindController::matchSummary(const std::string& term, const SearchOptions& options, int limit)
{
    SearchService& search = view_.search();
    const std::vector<SearchResult> all = search.findAllMatches(term, options, limit);
    int current = 0;
    if (const auto& last = search.lastResult()) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].row == last->row && all[i].col == last->col) {
                current = int(i) + 1;
                break;
            }
    }
    return {current, int(all.size())};
}

}  // namespace ravelgrid
