#pragma once

#include "platform/FakeScheduler.h"
#include "ravelgrid/view/TerminalView.h"

#include <QTest>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ravelgrid {

// Records everything a view tells its host.
struct RecordingDelegate : TerminalViewDelegate {
    std::vector<std::string> writes;
    std::vector<std::pair<int, int>> sizes;
    std::vector<std::pair<int, int>> ranges;
    std::vector<double> scrolls;
    std::string title;

    void sizeChanged(TerminalView&, int cols, int rows) override { sizes.emplace_back(cols, rows); }
    void setTerminalTitle(TerminalView&, const std::string& t) override { title = t; }
    void hostCurrentDirectoryUpdate(TerminalView&, const std::optional<std::string>&) override {}
    void send(TerminalView&, std::span<const uint8_t> data) override
    {
        writes.emplace_back(reinterpret_cast<const char*>(data.data()), data.size());
    }
    void scrolled(TerminalView&, double position) override { scrolls.push_back(position); }
    int bells = 0;
    void bell(TerminalView&) override { ++bells; }
    void rangeChanged(TerminalView&, int startY, int endY) override { ranges.emplace_back(startY, endY); }

    std::string allBytes() const
    {
        std::string all;
        for (const auto& w : writes)
            all += w;
        return all;
    }
};

// A view on a fake clock, reporting to a recording delegate.
template <typename Delegate = RecordingDelegate>
struct ViewOnFakeClock {
    platform::FakeScheduler clock;
    Delegate delegate;
    std::unique_ptr<TerminalView> view;

    explicit ViewOnFakeClock(TerminalOptions options = {})
    {
        view = std::make_unique<TerminalView>(nullptr, std::nullopt, std::move(options), clock);
        view->setTerminalDelegate(&delegate);
    }

    QSizeF cell() const { return *view->cellDimension(); }

    // Sized to a grid of cells (beside the scroll bar's room unless told
    // otherwise) and shown; false when the window never got exposed.
    bool showGrid(int cols, int rows, qreal extraWidth = 0, qreal extraHeight = 0, bool besideScroller = true)
    {
        const qreal scroller = besideScroller ? view->reservedScrollerWidth() : 0;
        view->resize(int(std::ceil(cols * cell().width() + extraWidth + scroller)),
                     int(std::ceil(rows * cell().height() + extraHeight)));
        view->show();
        return QTest::qWaitForWindowExposed(view.get());
    }

    // What the view sent to its child since the last call.
    std::string take()
    {
        std::string all = delegate.allBytes();
        delegate.writes.clear();
        return all;
    }
};

// The text of one screen row, trailing blanks dropped.
inline std::string screenRow(Terminal& terminal, int row)
{
    BufferLine* line = terminal.getLine(row);
    if (!line)
        return {};
    return line->toText(true, 0, -1, true, [&](const CharData& cell) { return terminal.getCharacter(cell); });
}

inline std::string screenText(Terminal& terminal)
{
    std::string text;
    for (int r = 0; r < terminal.rows; ++r)
        text += screenRow(terminal, r) + "\n";
    return text;
}

}  // namespace ravelgrid
