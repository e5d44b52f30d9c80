#include "ravelgrid/terminal/testsupport/TerminalDump.h"

#include <algorithm>
#include <cstdio>

namespace ravelgrid::test {

namespace {

// A row of the alternate screen keeps its cells past a narrower width; only
// the first `cols` show.
std::span<const CharData> visibleCells(const Terminal& terminal, const BufferLine& line)
{
    const auto cells = line.cellSpan();
    return cells.first(std::min(cells.size(), static_cast<size_t>(std::max(terminal.cols, 0))));
}

}  // namespace

std::string escapeBytes(std::span<const uint8_t> bytes)
{
    std::string out;
    for (uint8_t b : bytes) {
        if (b == '\\') {
            out += "\\\\";
        } else if (b == 0x1B) {
            out += "\\e";
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

std::string dumpScreen(Terminal& terminal, const std::vector<std::vector<uint8_t>>& replies)
{
    std::string out;
    for (int r = 0; r < terminal.rows; ++r) {
        std::string row;
        if (const BufferLine* line = terminal.getLine(r)) {
            for (const CharData& cell : visibleCells(terminal, *line)) {
                if (cell.width == 0)
                    continue;  // right half of a wide character
                row += cell.code == 0 ? std::string(" ") : terminal.character(cell.code);
            }
        }
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        out += row;
        out += '\n';
    }
    const auto [x, y] = terminal.getCursorLocation();
    out += "cursor " + std::to_string(x) + "," + std::to_string(y) + "\n";
    for (const auto& reply : replies)
        out += "reply " + escapeBytes(reply) + "\n";
    return out;
}

std::string dumpScreen(Terminal& terminal, const std::vector<std::vector<uint8_t>>& replies,
                       const std::vector<std::string>& events)
{
    std::string out = dumpScreen(terminal, replies);
    for (const auto& event : events)
        out += "event " + event + "\n";
    return out;
}

namespace {

std::string colorText(const Attribute::Color& c)
{
    char text[16];
    switch (c.kind()) {
    case Attribute::Color::Kind::ansi256: std::snprintf(text, sizeof text, "p%d", c.code()); return text;
    case Attribute::Color::Kind::trueColor:
        std::snprintf(text, sizeof text, "#%02x%02x%02x", c.red(), c.green(), c.blue());
        return text;
    default: return "-";
    }
}

std::string styleText(const Attribute& a)
{
    // Flags in the order the recorder sorts them.
    std::vector<std::string> flags;
    const auto flag = [&](CharacterStyle s, const char* name) {
        if (a.style.contains(s))
            flags.push_back(name);
    };
    flag(CharacterStyle::blink, "blink");
    flag(CharacterStyle::bold, "bold");
    flag(CharacterStyle::dim, "dim");
    flag(CharacterStyle::invisible, "hidden");
    flag(CharacterStyle::inverse, "inverse");
    flag(CharacterStyle::italic, "italic");
    flag(CharacterStyle::crossedOut, "strike");
    if (a.style.contains(CharacterStyle::underline))
        flags.push_back(
            "ul" + std::to_string(a.underlineStyle == UnderlineStyle::none ? 1 : static_cast<int>(a.underlineStyle)));
    std::string out = colorText(a.fg) + " " + colorText(a.bg);
    for (const auto& f : flags)
        out += " " + f;
    return out;
}

}  // namespace

std::string dumpStyles(Terminal& terminal)
{
    std::string out;
    for (int r = 0; r < terminal.rows; ++r) {
        const BufferLine* line = terminal.getLine(r);
        if (!line)
            continue;
        std::vector<std::string> styles;
        size_t used = 0;
        for (const CharData& cell : visibleCells(terminal, *line)) {
            if (cell.width == 0)
                continue;
            styles.push_back(styleText(cell.attribute));
            const CharacterStyle seenOnBlank =
                CharacterStyle::inverse | CharacterStyle::underline | CharacterStyle::crossedOut;
            if ((cell.code != 0 && cell.code != ' ') || !(cell.attribute.style & seenOnBlank).isEmpty())
                used = styles.size();
        }
        styles.resize(used);
        std::string runs;
        for (size_t x = 0; x < styles.size();) {
            size_t end = x;
            while (end + 1 < styles.size() && styles[end + 1] == styles[x])
                ++end;
            if (styles[x] != "- -")
                runs += (runs.empty() ? "" : "; ") + std::to_string(x) + "-" + std::to_string(end) + " " + styles[x];
            x = end + 1;
        }
        if (!runs.empty())
            out += "attr " + std::to_string(r) + ": " + runs + "\n";
    }
    return out;
}

namespace {

const char* commandName(WindowManipulationCommand::Kind kind)
{
    using K = WindowManipulationCommand::Kind;
    switch (kind) {
    case K::moveWindowTo: return "moveWindowTo";
    case K::resizeWindowTo: return "resizeWindowTo";
    case K::resizeTo: return "resizeTo";
    case K::resizeTerminal: return "resizeTerminal";
    case K::resizeToLines: return "resizeToLines";
    case K::deiconifyWindow: return "deiconifyWindow";
    case K::iconifyWindow: return "iconifyWindow";
    case K::bringToFront: return "bringToFront";
    case K::sendToBack: return "sendToBack";
    case K::refreshWindow: return "refreshWindow";
    case K::restoreMaximizedWindow: return "restoreMaximizedWindow";
    case K::maximizeWindow: return "maximizeWindow";
    case K::maximizeWindowVertically: return "maximizeWindowVertically";
    case K::maximizeWindowHorizontally: return "maximizeWindowHorizontally";
    case K::undoFullScreen: return "undoFullScreen";
    case K::switchToFullScreen: return "switchToFullScreen";
    case K::toggleFullScreen: return "toggleFullScreen";
    case K::reportTerminalState: return "reportTerminalState";
    case K::reportTerminalPosition: return "reportTerminalPosition";
    case K::reportTextAreaPosition: return "reportTextAreaPosition";
    case K::reportTextAreaPixelDimension: return "reportTextAreaPixelDimension";
    case K::reportTerminalWindowPixelDimension: return "reportTerminalWindowPixelDimension";
    case K::reportSizeOfScreenInPixels: return "reportSizeOfScreenInPixels";
    case K::reportCellSizeInPixels: return "reportCellSizeInPixels";
    case K::reportTextAreaCharacters: return "reportTextAreaCharacters";
    case K::reportScreenSizeCharacters: return "reportScreenSizeCharacters";
    case K::reportIconLabel: return "reportIconLabel";
    case K::reportWindowTitle: return "reportWindowTitle";
    }
    return "?";
}

}  // namespace

std::optional<std::vector<uint8_t>> ReplyRecorder::windowCommand(Terminal&, const WindowManipulationCommand& command)
{
    note(std::string("window ") + commandName(command.kind) + " " + std::to_string(command.first) + " " +
         std::to_string(command.second));
    return std::nullopt;
}

void feedInChunks(Terminal& terminal, std::span<const uint8_t> input, size_t chunk)
{
    if (chunk == 0)
        chunk = input.size();
    for (size_t i = 0; i < input.size(); i += chunk)
        terminal.feed(input.subspan(i, std::min(chunk, input.size() - i)));
}

std::string runDump(std::span<const uint8_t> input, const DumpOptions& options)
{
    ReplyRecorder recorder;
    TerminalOptions o;
    o.cols = options.cols;
    o.rows = options.rows;
    o.scrollback = options.scrollback;
    o.termName = options.termName;
    Terminal terminal(&recorder, o);
    recorder.recordEvents = options.events;
    feedInChunks(terminal, input, options.chunk);
    return dumpScreen(terminal, recorder.replies, recorder.events);
}

}  // namespace ravelgrid::test
