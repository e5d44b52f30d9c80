#pragma once

#include "ravelgrid/view/TerminalView.h"

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
    void send(TerminalView&, std::span<const uint8_t> data) override {
        writes.emplace_back(reinterpret_cast<const char*>(data.data()), data.size());
    }
    void scrolled(TerminalView&, double position) override { scrolls.push_back(position); }
    int bells = 0;
    void bell(TerminalView&) override { ++bells; }
    void rangeChanged(TerminalView&, int startY, int endY) override { ranges.emplace_back(startY, endY); }

    std::string allBytes() const {
        std::string all;
        for (const auto& w : writes)
            all += w;
        return all;
    }
};

// The text of one screen row, trailing blanks dropped.
inline std::string screenRow(Terminal& terminal, int row) {
    BufferLine* line = terminal.getLine(row);
    if (!line)
        return {};
    return line->toText(true, 0, -1, true, [&](const CharData& cell) { return terminal.getCharacter(cell); });
}

inline std::string screenText(Terminal& terminal) {
    std::string text;
    for (int r = 0; r < terminal.rows; ++r)
        text += screenRow(terminal, r) + "\n";
    return text;
}

}  // namespace ravelgrid
