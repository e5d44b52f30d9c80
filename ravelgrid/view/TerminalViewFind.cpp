// Find in the scrollback: the find bar, the find commands and the search
// that turns a match into the view's selection.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/FindBar.h"

#include <QAction>
#include <QLineEdit>

#include <algorithm>

namespace ravelgrid {
namespace {

// One find string for every view, as a find pasteboard would be.
QString& sharedFindString() {
    static QString term;
    return term;
}

// A term longer than this is no search anyone types.
constexpr qsizetype kMaxFindTermChars = 4096;

}  // namespace

QString TerminalView::findString() { return sharedFindString(); }

void TerminalView::setFindString(const QString& term) { sharedFindString() = term.left(kMaxFindTermChars); }

void TerminalView::setupFindActions() {
    auto make = [this](int tag, const char* text, QKeySequence keys) {
        // UTF-8: "Find…" ends in an ellipsis.
        auto* action = new QAction(QString::fromUtf8(text), this);
        action->setShortcut(keys);
        // The bar is a child: the keys work while its field has the focus.
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, [this, tag] { performFindAction(tag); });
        addAction(action);
        findActions_.emplace_back(tag, action);
    };
    make(1, "Find…", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));
    make(2, "Find Next", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G));
    make(3, "Find Previous", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H));
    make(7, "Use Selection for Find", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    // Escape belongs to the shell: it hides the bar only from inside the bar.
    auto* hide = new QAction(QStringLiteral("Hide Find Bar"), this);
    connect(hide, &QAction::triggered, this, [this] { performFindAction(11); });
    findActions_.emplace_back(11, hide);
    updateFindActions();
}

QAction* TerminalView::findAction(int tag) const {
    for (const auto& [t, action] : findActions_)
        if (t == tag)
            return action;
    return nullptr;
}

void TerminalView::updateFindActions() {
    for (const auto& [tag, action] : findActions_)
        action->setEnabled(findActionEnabled(tag));
}

bool TerminalView::findActionEnabled(int tag) const {
    switch (tag) {
    case 1:
    case 2:
    case 3:
    case 11: return true;
    case 7: return selection_ && selection_->active();
    // 12 and 13 have no action behind them.
    default: return false;
    }
}

void TerminalView::performFindAction(int tag) {
    switch (tag) {
    case 1: showFindBar(true); break;
    case 2: findNext(); break;
    case 3: findPrevious(); break;
    case 7:
        useSelectionForFind();
        showFindBar(true);
        break;
    case 11: hideFindBar(); break;
    default: break;
    }
}

FindBar* TerminalView::ensureFindBar() {
    if (findBar_)
        return findBar_;
    findBar_ = new FindBar(this);
    findBar_->hide();
    QPointer<TerminalView> self(this);
    findBar_->onSearchChanged = [self](const QString& term) {
        if (self)
            self->handleFindBarSearchChanged(term);
    };
    findBar_->onFindNext = [self] {
        if (self)
            self->findNext();
    };
    findBar_->onFindPrevious = [self] {
        if (self)
            self->findPrevious();
    };
    findBar_->onClose = [self] {
        if (self)
            self->hideFindBar();
    };
    findBar_->onOptionsChanged = [self](const SearchOptions& options) {
        if (self)
            self->handleFindBarOptionsChanged(options);
    };
    if (QAction* hide = findAction(11)) {
        hide->setShortcut(QKeySequence(Qt::Key_Escape));
        hide->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        findBar_->addAction(hide);
    }
    layoutFindBar();
    return findBar_;
}

void TerminalView::layoutFindBar() {
    if (!findBar_)
        return;
    const int m = FindBar::margin;
    const int available = std::max(width() - 2 * m, 0);
    const int w = std::min({findBar_->sizeHint().width(), FindBar::maxWidth, available});
    const int h = findBar_->sizeHint().height();
    findBar_->setGeometry(width() - m - w, m, w, h);
}

void TerminalView::showFindBar(bool useSelection) {
    FindBar* bar = ensureFindBar();
    layoutFindBar();
    bar->show();
    bar->raise();
    QString text;
    if (useSelection)
        if (const auto selected = selectedText(); selected && !selected->empty())
            text = QString::fromStdString(*selected).left(kMaxFindTermChars);
    if (text.isEmpty())
        text = findString();
    if (!text.isEmpty()) {
        const QSignalBlocker block(bar->searchField());
        bar->searchField()->setText(text);
        handleFindBarSearchChanged(text);
    }
    bar->searchField()->setFocus(Qt::ShortcutFocusReason);
    bar->searchField()->selectAll();
}

void TerminalView::hideFindBar() {
    if (findBar_)
        findBar_->hide();
    setFocus(Qt::OtherFocusReason);
}

void TerminalView::useSelectionForFind() {
    if (const auto selected = selectedText(); selected && !selected->empty())
        setFindString(QString::fromStdString(*selected));
}

void TerminalView::findNext() {
    const QString term =
        (findBar_ && findBar_->isVisible()) ? findBar_->searchField()->text() : findString();
    if (term.isEmpty())
        return;
    setFindString(term);
    const SearchOptions options = findBar_ ? findBar_->options() : SearchOptions{};
    findNextMatch(term.toStdString(), options, true);
}

void TerminalView::findPrevious() {
    const QString term =
        (findBar_ && findBar_->isVisible()) ? findBar_->searchField()->text() : findString();
    if (term.isEmpty())
        return;
    setFindString(term);
    const SearchOptions options = findBar_ ? findBar_->options() : SearchOptions{};
    findPreviousMatch(term.toStdString(), options, true);
}

void TerminalView::handleFindBarSearchChanged(const QString& term) {
    findBarTerm_ = term;
    if (term.isEmpty()) {
        search_->reset();
        if (selection_->active()) {
            selection_->setActive(false);
            redrawAll();
        }
        return;
    }
    setFindString(term);
    findNextMatch(term.toStdString(), findBarOptions_, true);
}

void TerminalView::handleFindBarOptionsChanged(const SearchOptions& options) {
    findBarOptions_ = options;
    if (!findBarTerm_.isEmpty())
        findNextMatch(findBarTerm_.toStdString(), findBarOptions_, true);
}

bool TerminalView::findNextMatch(const std::string& term, const SearchOptions& options, bool scroll) {
    return runFind(term, options, scroll, true);
}

bool TerminalView::findPreviousMatch(const std::string& term, const SearchOptions& options, bool scroll) {
    return runFind(term, options, scroll, false);
}

bool TerminalView::runFind(const std::string& term, const SearchOptions& options, bool scroll, bool forward) {
    if (!search_ || !selection_)
        return false;
    // The search goes on from what is selected now, whoever selected it.
    if (selection_->active()) {
        const Position a = selection_->start();
        const Position b = selection_->end();
        search_->setLastSelection(SearchSelection{std::min(a, b), std::max(a, b)});
    } else {
        search_->setLastSelection(std::nullopt);
    }
    const std::optional<SearchResult> result =
        forward ? search_->findNext(term, options) : search_->findPrevious(term, options);
    if (!result) {
        if (selection_->active()) {
            selection_->setActive(false);
            redrawAll();
        }
        return false;
    }
    // A match may run over wrapped rows: its end is counted in cells.
    const int cols = std::max(terminal_->cols, 1);
    const int64_t endCell = int64_t(result->row) * cols + result->col + std::max(result->size, 0);
    selection_->setSelection(Position{result->col, result->row}, Position{int(endCell % cols), int(endCell / cols)});
    Buffer& buffer = terminal_->activeBuffer();
    if (scroll && !terminal_->isCurrentBufferAlternate()) {
        const int rows = terminal_->rows;
        if (result->row < buffer.yDisp() || result->row > buffer.yDisp() + rows - 1)
            scrollTo(std::clamp(result->row - rows / 2, 0, std::max(buffer.lines().count() - rows, 0)));
    }
    redrawAll();
    return true;
}

std::pair<int, int> TerminalView::findMatchSummary(const std::string& term, const SearchOptions& options, int limit) {
    if (!search_)
        return {0, 0};
    const std::vector<SearchResult> all = search_->findAllMatches(term, options, limit);
    int current = 0;
    if (const auto& last = search_->lastResult()) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].row == last->row && all[i].col == last->col) {
                current = int(i) + 1;
                break;
            }
    }
    return {current, int(all.size())};
}

}  // namespace ravelgrid
