#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid::test {

// Collects what a terminal sends to its child.
class ReplyRecorder : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { replies.emplace_back(data.begin(), data.end()); }
    bool isProcessTrusted(Terminal&) override { return trusted; }
    std::vector<std::vector<uint8_t>> replies;
    bool trusted = false;

    // With recordEvents on, the host notices as text lines ("title x",
    // "window moveWindowTo 3 4", "showCursor" ...).
    void showCursor(Terminal&) override { note("showCursor"); }
    void hideCursor(Terminal&) override { note("hideCursor"); }
    void setTerminalTitle(Terminal&, const std::string& title) override { note("title " + title); }
    void setTerminalIconTitle(Terminal&, const std::string& title) override { note("iconTitle " + title); }
    std::optional<std::vector<uint8_t>> windowCommand(Terminal&, const WindowManipulationCommand& command) override;
    void sizeChanged(Terminal&) override { note("sizeChanged"); }
    void bufferActivated(Terminal& t) override
    {
        note(t.isCurrentBufferAlternate() ? "bufferActivated alt" : "bufferActivated normal");
    }
    void synchronizedOutputChanged(Terminal&, bool active) override { note(active ? "sync on" : "sync off"); }
    void mouseModeChanged(Terminal&) override { note("mouseModeChanged"); }
    void cursorStyleChanged(Terminal&, CursorStyle style) override
    {
        note(std::string("cursorStyle ") + description(style));
    }
    void colorChanged(Terminal&, std::optional<int> idx) override
    {
        note(idx ? "colorChanged " + std::to_string(*idx) : "colorChanged all");
    }
    bool recordEvents = false;
    std::vector<std::string> events;

private:
    void note(std::string event)
    {
        if (recordEvents)
            events.push_back(std::move(event));
    }
};

struct DumpOptions {
    int cols = 80;
    int rows = 25;
    int scrollback = 500;
    size_t chunk = 0;  // bytes per feed; 0 = all at once
    std::string termName = "xterm-256color";
    bool events = false;  // dump the host notices after the replies
};

// Printable ASCII as is, backslash as "\\", ESC as "\e", any other byte as "\xNN".
std::string escapeBytes(std::span<const uint8_t> bytes);

// The plain dump: the visible rows (their first `cols` cells) with trailing
// blanks trimmed, one per line, then "cursor X,Y" (0-based), then one "reply ..." line per reply.
std::string dumpScreen(Terminal& terminal, const std::vector<std::vector<uint8_t>>& replies);
// The same followed by one "event ..." line per host notice.
std::string dumpScreen(Terminal& terminal, const std::vector<std::vector<uint8_t>>& replies,
                       const std::vector<std::string>& events);

// One "attr ROW: FIRST-LAST FG BG FLAGS...; ..." line per row that has runs
// of cells whose look is not the default, as tests/sessions/record.py
// writes them: columns
// count characters (the right half of a wide character is skipped), colours
// are "-", "pN" or "#rrggbb", and blanks after a row's last visible cell
// are left out.
std::string dumpStyles(Terminal& terminal);

// Feeds `input` into `terminal` `chunk` bytes at a time (all at once for 0).
void feedInChunks(Terminal& terminal, std::span<const uint8_t> input, size_t chunk);

// A fresh terminal of the given size fed with the input, dumped.
std::string runDump(std::span<const uint8_t> input, const DumpOptions& options);

}  // namespace ravelgrid::test
