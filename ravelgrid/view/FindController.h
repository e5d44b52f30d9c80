#pragma once

#include "ravelgrid/selection/SearchTypes.h"

#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <utility>
#include <vector>

class QAction;

namespace ravelgrid {

class FindBar;
class TerminalView;

// The find commands of a view's menus and keys.
enum class FindCommand { showFindBar, findNext, findPrevious, useSelectionForFind, hideFindBar };

// Find in one view's scrollback: its find bar, the find commands and the
// search that turns a match into the view's selection. The term and options
// are the bar's; without a shown bar the shared find string stands in.
class FindController : public QObject {
public:
    // A term longer than this is no search anyone types.
    static constexpr qsizetype maxTermChars = 4096;

    // `redraw` repaints every row: a match moves the selection.
    FindController(TerminalView& view, std::function<void()> redraw);

    // The find string every view shares (the stand-in for a find pasteboard).
    static QString findString();
    static void setFindString(const QString& term);

    // Made hidden on first use; a child of the view from then on.
    FindBar* bar() const { return bar_; }
    FindBar* ensureBar();
    void layoutBar();
    void showBar(bool useSelection);
    void hideBar();
    void findNext();
    void findPrevious();
    void useSelectionForFind();
    // The bar's term changed: searched forward from the selection.
    void termChanged(const QString& term);
    bool findMatch(const std::string& term, const SearchOptions& options, bool scroll, bool forward);
    std::pair<int, int> matchSummary(const std::string& term, const SearchOptions& options, int limit);

    void perform(FindCommand command);
    bool enabled(FindCommand command) const;
    // The action bound to a command's key (Ctrl+Shift+F/G/H/E; Escape in the bar).
    QAction* action(FindCommand command) const;
    void updateActions();

private:
    void step(bool forward);
    SearchOptions options() const;

    TerminalView& view_;
    std::function<void()> redraw_;
    FindBar* bar_ = nullptr;  // a child of the view
    std::vector<std::pair<FindCommand, QAction*>> actions_;
};

}  // namespace ravelgrid
