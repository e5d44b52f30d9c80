#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid::tools {

// Collects what a terminal sends to its child.
class ReplyRecorder : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { replies.emplace_back(data.begin(), data.end()); }
    bool isProcessTrusted(Terminal&) override { return trusted; }
    std::vector<std::vector<uint8_t>> replies;
    bool trusted = false;
};

struct DumpOptions {
    int cols = 80;
    int rows = 25;
    int scrollback = 500;
    size_t chunk = 0;  // bytes per feed; 0 = all at once
};

// Printable ASCII as is, backslash as "\\", ESC as "\e", any other byte as "\xNN".
std::string escapeBytes(std::span<const uint8_t> bytes);

// The plain dump: the visible rows with trailing blanks trimmed, one per
// line, then "cursor X,Y" (0-based), then one "reply ..." line per reply.
std::string dumpScreen(Terminal& terminal, const std::vector<std::vector<uint8_t>>& replies);

// Feeds `input` into `terminal` `chunk` bytes at a time (all at once for 0).
void feedInChunks(Terminal& terminal, std::span<const uint8_t> input, size_t chunk);

// A fresh terminal of the given size fed with the input, dumped.
std::string runDump(std::span<const uint8_t> input, const DumpOptions& options);

}  // namespace ravelgrid::tools
