#pragma once

#include "ravelgrid/screen/Position.h"
#include "ravelgrid/terminal/LinkMatch.h"
#include "ravelgrid/view/LinkOptions.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QLabel;

namespace ravelgrid {

class TerminalView;

// The link under the pointer: its highlight and preview, and the link a
// click hands to the opener. Highlight and click share one lookup and one
// rule, so a link looks like one exactly when a click on it would open it.
// Positions come in as cells; the pointer side does the hit test.
class LinkHover {
public:
    using Target = std::pair<std::string, std::map<std::string, std::string>>;
    using Ranges = std::vector<LinkMatch::RowRange>;

    explicit LinkHover(TerminalView& view) : view_(view) {}
    LinkHover(const LinkHover&) = delete;
    LinkHover& operator=(const LinkHover&) = delete;

    LinkReporting reporting() const { return reporting_; }
    void setReporting(LinkReporting r) { reporting_ = r; }
    LinkHighlightMode mode() const { return mode_; }
    // Drops the shown highlight, also for the same mode: the next move finds it again.
    void setMode(LinkHighlightMode mode);

    // Ctrl, as the view last saw it.
    bool modifierHeld() const { return modifierHeld_; }
    void setModifierHeld(bool on) { modifierHeld_ = on; }
    // Whether link state follows every pointer move.
    bool followsPointer() const { return modifierHeld_ || mode_ == LinkHighlightMode::hover; }
    // Every explicit link is underlined, not only the one under the pointer.
    bool underlinesAll() const { return underlinesAll(modifierHeld_); }

    const std::optional<Ranges>& highlightRange() const { return highlight_; }
    // The highlighted columns of a buffer row.
    std::optional<std::pair<int, int>> columns(int bufferRow) const;
    // Removes the highlight and marks its rows; false when none was shown.
    bool dropHighlight();

    QLabel* preview() const { return preview_; }
    void showPreview(const std::string& payload);
    void hidePreview();

    // nullopt: Ctrl as last seen.
    void updateHighlight(Position grid, std::optional<bool> modifierHeld);
    // The preview while Ctrl is held, and the highlight.
    void followPointer(Position grid);

    // The link a click at the cell opens, with its params.
    std::optional<Target> clickTarget(Position grid, bool ctrlHeld);
    // Hands the link a click at the cell opens to the delegate; false when there is none.
    bool requestOpen(Position grid, bool ctrlHeld);
    // A click here, with Ctrl held or not, would open a link.
    bool opensOnClick(Position grid, bool ctrlHeld);
    // The explicit link a click is opening and the text it shows; taken once.
    std::optional<std::pair<std::string, std::string>> takeClickedLink() { return std::exchange(clickedLink_, {}); }
    // Whether the link a click is opening, when it is `url`, was printed by a
    // remote session; taken once.
    bool takeClickedRemote(const std::string& url) { return std::exchange(clickedRemote_, {}) == url; }

private:
    // The hover modes: the link under the pointer, with Ctrl where the mode asks for it.
    bool mayHighlight(bool held) const
    {
        return mode_ == LinkHighlightMode::hover || (mode_ == LinkHighlightMode::hoverWithModifier && held);
    }
    bool underlinesAll(bool held) const
    {
        return mode_ == LinkHighlightMode::always || (mode_ == LinkHighlightMode::alwaysWithModifier && held);
    }
    std::optional<LinkMatch> linkUnder(Position grid, bool withImplicit);
    // What a click hands to the opener: an OSC 8 link's parsed target, else the link's text.
    struct LinkTarget {
        std::string url;
        std::map<std::string, std::string> params;
        bool fromPayload = false;
    };
    LinkTarget linkTarget(const LinkMatch& match, Position grid);
    // Whether the opener would take the link: the one rule for showing a
    // link as one and for opening it.
    bool linkWouldOpen(const LinkMatch& match, const std::string& url);
    bool printedByRemote(const LinkMatch& match);
    std::string visibleLinkText(const LinkMatch& match);
    void invalidateRows(const std::optional<Ranges>& before, const std::optional<Ranges>& after);

    TerminalView& view_;
    LinkReporting reporting_ = LinkReporting::implicit;
    LinkHighlightMode mode_ = LinkHighlightMode::hoverWithModifier;
    bool modifierHeld_ = false;
    std::optional<Ranges> highlight_;
    QLabel* preview_ = nullptr;  // a child widget of the view
    std::optional<std::pair<std::string, std::string>> clickedLink_;
    std::optional<std::string> clickedRemote_;  // the target of a click on remote output
    // The opener's last answer for the link under the pointer: a file link
    // is not looked at again on every move over it.
    struct Verdict {
        Ranges ranges;
        std::string url;
        bool opens = false;
    };
    std::optional<Verdict> verdict_;
};

}  // namespace ravelgrid
