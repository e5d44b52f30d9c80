#include "ravelgrid/terminal/TerminalOptions.h"

#include <algorithm>

namespace ravelgrid {

TerminalOptions TerminalOptions::validated() const
{
    TerminalOptions o = *this;
    o.cols = std::clamp(cols, 2, kMaxCols);
    o.rows = std::clamp(rows, 1, kMaxRows);
    o.tabStopWidth = std::clamp(tabStopWidth, 1, o.cols);
    o.scrollback = std::clamp(scrollback, 0, kMaxScrollback);
    o.maximumBidiParagraphRows = std::max(maximumBidiParagraphRows, 1);
    return o;
}

std::optional<std::string> TerminalOptions::problem() const
{
    if (cols < 2 || cols > kMaxCols)
        return "The terminal needs between 2 and " + std::to_string(kMaxCols) + " columns.";
    if (rows < 1 || rows > kMaxRows)
        return "The terminal needs between 1 and " + std::to_string(kMaxRows) + " rows.";
    if (tabStopWidth < 1)
        return std::string("The tab width must be at least 1.");
    if (scrollback < 0 || scrollback > kMaxScrollback)
        return "The scrollback must be between 0 and " + std::to_string(kMaxScrollback) + " lines.";
    return std::nullopt;
}

}  // namespace ravelgrid
