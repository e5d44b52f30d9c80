#include "tools/TerminalDump.h"

#include <cstdio>

namespace ravelgrid::tools {

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
            for (const CharData& cell : line->cellSpan()) {
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
    Terminal terminal(&recorder, o);
    feedInChunks(terminal, input, options.chunk);
    return dumpScreen(terminal, recorder.replies);
}

}  // namespace ravelgrid::tools
