#pragma once

#include <memory>
#include <string_view>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid::test {

class RecordingDelegate : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
    void selectionChanged(Terminal&) override { ++selectionChanges; }
    int selectionChanges = 0;
};

// A small terminal fed with text; rows and columns chosen per test.
struct TerminalHarness {
    explicit TerminalHarness(int cols = 20, int rows = 5, int scrollback = 100)
    {
        TerminalOptions o;
        o.cols = cols;
        o.rows = rows;
        o.scrollback = scrollback;
        terminal = std::make_unique<Terminal>(&delegate, o);
    }

    void feed(std::string_view text) { terminal->feed(text); }
    Buffer& buffer() { return terminal->activeBuffer(); }
    int32_t code(int col, int row) { return buffer().getCharAtBufferRelative({col, row}).code; }

    RecordingDelegate delegate;
    std::unique_ptr<Terminal> terminal;
};

}  // namespace ravelgrid::test
