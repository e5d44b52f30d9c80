#include <algorithm>
#include <string>

#include "ravelgrid/terminal/LogText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

bool startsWith(const std::string& s, std::string_view prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

void pushBounded(std::vector<std::string>& stack, const std::string& title)
{
    if (stack.size() >= Terminal::kMaxTitleStackDepth)
        stack.erase(stack.begin());
    stack.push_back(title);
}

}  // namespace

// --- DA, DSR -------------------------------------------------------------------------------

void Terminal::cmdSendDeviceAttributes(const Params& p, Collect c)
{
    if (p.get(0, 0) > 0) {
        log("SendDeviceAttributes got " + listText(p.list()) + " and " + std::string(c.begin(), c.end()));
        return;
    }
    if (c.empty()) {
        const std::string& name = options_.termName;
        if (startsWith(name, "xterm"))
            sendResponse(
                {cc.csi(), std::string("?65") + (options_.enableSixelReported ? ";4" : "") + ";1;2;6;21;22;17;28c"});
        else if (startsWith(name, "screen") || startsWith(name, "rxvt-unicode"))
            sendResponse({cc.csi(), "?1;2c"});
        else if (startsWith(name, "linux"))
            sendResponse({cc.csi(), "?6c"});
    } else if (c.size() == 1 && c[0] == '>') {
        sendResponse({cc.csi(), ">65;20;1c"});
    }
}

// The cursor as the child addresses it: relative to the region and margins in
// origin mode, and never past the last column while a wrap is pending.
std::pair<int, int> Terminal::reportedCursorPosition() const
{
    const Buffer& b = *buffer;
    int row = b.y() + 1 - (originMode ? b.scrollTop() : 0);
    // A pending wrap names the last column written, at the screen's edge or
    // at the right margin.
    const int x = wrapPendingAtMargin() ? b.marginRight() : std::min(b.x(), cols - 1);
    int col = x + 1 - (originMode && marginMode ? b.marginLeft() : 0);
    return {std::max(row, 1), std::max(col, 1)};
}

void Terminal::cmdDeviceStatus(const Params& p, Collect c)
{
    const int ps = p.get(0, 0);
    if (c.empty()) {
        if (ps == 5) {
            sendResponse({cc.csi(), "0n"});
        } else if (ps == 6) {
            const auto [row, col] = reportedCursorPosition();
            sendResponse({cc.csi(), std::to_string(row) + ";" + std::to_string(col) + "R"});
        }
        return;
    }
    if (c.size() != 1 || c[0] != '?')
        return;
    switch (ps) {
    case 6: {
        const auto [row, col] = reportedCursorPosition();
        std::string report("?");  // not a string sum: GCC 12 warns falsely on those at -O3
        report += std::to_string(row);
        report += ';';
        report += std::to_string(col);
        report += ";1R";
        sendResponse({cc.csi(), report});
        break;
    }
    case 15: sendResponse({cc.csi(), "?10n"}); break;
    case 25: sendResponse({cc.csi(), "?21n"}); break;
    case 26: sendResponse({cc.csi(), "?27;1;0;0n"}); break;
    case 55: sendResponse({cc.csi(), "?53n"}); break;
    case 56: sendResponse({cc.csi(), "?57;1n"}); break;
    case 62: sendResponse({cc.csi(), "0*{"}); break;
    case 63: sendResponse({cc.dcs(), std::to_string(p.get(1, 0)) + "!~0000", cc.st()}); break;
    case 75: sendResponse({cc.csi(), "?70n"}); break;
    case 85: sendResponse({cc.csi(), "?83n"}); break;
    default: break;
    }
}

// --- XTVERSION, DECSCUSR, DECSCL -----------------------------------------------------------

void Terminal::cmdXTVERSION(const Params& p, Collect c)
{
    if (c.size() != 1 || c[0] != '>' || p.size() != 1 || p[0] != 0)
        return;
    const std::string_view version = RavelgridBuildInfo::version;
    // Always 7-bit: the reply is read by programs that never asked for 8-bit controls.
    sendResponse({"\x1bP>|Ravelgrid " + std::string(version.substr(version.front() == 'v' ? 1 : 0)), "\x1b\\"});
}

void Terminal::cmdSetCursorStyle(const Params& p, Collect c)
{
    if (c.size() != 1 || c[0] != ' ')
        return;
    const int v = p.get(0, 0);
    if (v < 0 || v > 6)
        return;
    setCursorStyle(v <= 1 ? CursorStyle::blinkBlock : kAllCursorStyles[v - 1]);
}

void Terminal::setCursorStyle(CursorStyle style)
{
    if (style == cursorStyle)
        return;
    cursorStyle = style;
    if (tdel_)
        tdel_->cursorStyleChanged(*this, style);
}

void Terminal::cmdSetConformanceLevel(const Params& p, Collect)
{
    const int level = p.get(0, 0);
    if (level == 0)
        return;
    switch (level) {
    case 61:
        conformance = TerminalConformance::vt100;
        cc.send8bit = false;
        return;
    case 62: conformance = TerminalConformance::vt200; break;
    case 63: conformance = TerminalConformance::vt300; break;
    case 64: conformance = TerminalConformance::vt400; break;
    default: conformance = TerminalConformance::vt500; break;
    }
    if (p.size() >= 2)
        cc.send8bit = p[1] == 0 || p[1] == 2;
}

// --- DECSTBM, DECSLRM ---------------------------------------------------------------------

void Terminal::cmdSetScrollRegion(const Params& p, Collect c)
{
    if (!c.empty())
        return;
    Buffer& b = *buffer;
    const int top = std::max(p.get(0, 0) - 1, 0);
    const int second = p.get(1, 0);
    const int bottom = (second == 0 ? rows : std::min(second, rows)) - 1;
    // A region of fewer than two rows is refused whole: the cursor stays too.
    if (top >= bottom)
        return;
    b.setScrollTop(top);
    b.setScrollBottom(bottom);
    setCursor(0, 0);
}

void Terminal::cmdSetMargins(const Params& p, Collect c)
{
    if (!c.empty())
        return;
    Buffer& b = *buffer;
    const int left = std::max(p.get(0, 0) - 1, 0);
    // A right margin of 0, like an absent one, means the last column.
    const int second = p.get(1, 0);
    const int right = std::clamp(second == 0 ? cols - 1 : second - 1, 0, cols - 1);
    b.setMarginLeft(std::min(left, right));
    b.setMarginRight(right);
}

// --- window operations and reports -------------------------------------------------------------

void Terminal::cmdWindowOptions(const Params& p, Collect)
{
    if (!tdel_)
        return;
    using Kind = WindowManipulationCommand::Kind;
    const auto list = p.list();
    const int n = p.size();
    auto is = [&](std::initializer_list<int> values) {
        return std::equal(list.begin(), list.end(), values.begin(), values.end());
    };
    auto command = [&](Kind kind, int first = 0, int second = 0) {
        tdel_->windowCommand(*this, WindowManipulationCommand{kind, first, second});
    };
    // A report lets the host answer; without an answer the terminal does.
    auto report = [&](Kind kind, const std::function<std::string()>& fallback) {
        if (auto bytes = tdel_->windowCommand(*this, WindowManipulationCommand{kind, 0, 0}))
            sendResponse({ResponseItem(*bytes)});
        else
            sendResponse({cc.csi(), fallback()});
    };
    auto cell = [&] {
        auto size = tdel_->cellSizeInPixels(*this);
        return size ? *size : std::pair<int, int>{10, 16};
    };
    auto textArea = [&](const char* prefix) {
        return [this, prefix, cell] {
            const auto [w, h] = cell();
            return prefix + std::to_string(static_cast<long long>(h) * rows) + ";" +
                   std::to_string(static_cast<long long>(w) * cols) + "t";
        };
    };

    const int ps = p.get(0, 0);
    if (n == 1) {
        switch (ps) {
        case 1: command(Kind::deiconifyWindow); return;
        case 2: command(Kind::iconifyWindow); return;
        case 5: command(Kind::bringToFront); return;
        case 6: command(Kind::sendToBack); return;
        case 7: command(Kind::refreshWindow); return;
        case 14: report(Kind::reportTextAreaPixelDimension, textArea("4;")); return;
        case 15: report(Kind::reportSizeOfScreenInPixels, textArea("5;")); return;
        case 16:
            report(Kind::reportCellSizeInPixels, [&] {
                const auto [w, h] = cell();
                return "6;" + std::to_string(h) + ";" + std::to_string(w) + "t";
            });
            return;
        case 18:
            report(Kind::reportTextAreaCharacters,
                   [&] { return "8;" + std::to_string(rows) + ";" + std::to_string(cols) + "t"; });
            return;
        case 19:
            report(Kind::reportScreenSizeCharacters,
                   [&] { return "9;" + std::to_string(rows) + ";" + std::to_string(cols) + "t"; });
            return;
        // Title reports carry no title: a child must not read back what another wrote.
        case 20: sendResponse({cc.osc(), "L", cc.st()}); return;
        case 21: sendResponse({cc.osc(), "l", cc.st()}); return;
        default: break;
        }
    } else if (n == 3 && ps == 3) {
        command(Kind::moveWindowTo, p[1], p[2]);
        return;
    } else if (n == 3 && ps == 4) {
        // CSI 4 ; height ; width t asks for a size in pixels.
        command(Kind::resizeWindowTo, p[2], p[1]);
        return;
    } else if (n == 3 && ps == 8) {
        // CSI 8 ; rows ; cols t.
        command(Kind::resizeTerminal, p[2], p[1]);
        return;
    } else if (n == 2 && ps == 9 && p[1] <= 3) {
        static constexpr Kind kinds[] = {Kind::restoreMaximizedWindow, Kind::maximizeWindow,
                                         Kind::maximizeWindowVertically, Kind::maximizeWindowHorizontally};
        command(kinds[p[1]]);
        return;
    } else if (n == 2 && ps == 10 && p[1] <= 2) {
        static constexpr Kind kinds[] = {Kind::undoFullScreen, Kind::switchToFullScreen, Kind::toggleFullScreen};
        command(kinds[p[1]]);
        return;
    } else if (is({14, 2})) {
        report(Kind::reportTerminalWindowPixelDimension, textArea("4;"));
        return;
    } else if (is({22, 0}) || is({22, 0, 0})) {
        pushBounded(terminalTitleStack, terminalTitle);
        pushBounded(terminalIconStack, iconTitle);
        return;
    } else if (is({22, 1})) {
        pushBounded(terminalIconStack, iconTitle);
        return;
    } else if (is({22, 2})) {
        pushBounded(terminalTitleStack, terminalTitle);
        return;
    } else if (is({23, 0}) || is({23, 0, 0})) {
        popWindowTitle();
        popIconTitle();
        return;
    } else if (is({23, 1})) {
        popIconTitle();
        return;
    } else if (is({23, 2})) {
        popWindowTitle();
        return;
    }
    log("Unhandled Window command: " + listText(list));
}

void Terminal::popWindowTitle()
{
    if (terminalTitleStack.empty())
        return;
    terminalTitle = std::move(terminalTitleStack.back());
    terminalTitleStack.pop_back();
    if (tdel_)
        tdel_->setTerminalTitle(*this, terminalTitle);
}

void Terminal::popIconTitle()
{
    if (terminalIconStack.empty())
        return;
    iconTitle = std::move(terminalIconStack.back());
    terminalIconStack.pop_back();
    if (tdel_)
        tdel_->setTerminalIconTitle(*this, iconTitle);
}

void Terminal::cmdXtermTitleModeSet(const Params& p)
{
    for (int i = 0; i < p.size(); ++i) {
        switch (p[i]) {
        case 0: xtermTitleSetHex = true; break;
        case 1: xtermTitleQueryHex = true; break;
        case 2: xtermTitleSetUtf = true; break;
        case 3: xtermTitleQueryUtf = true; break;
        default: break;
        }
    }
}

void Terminal::cmdXtermTitleModeReset(const Params& p)
{
    for (int i = 0; i < p.size(); ++i) {
        switch (p[i]) {
        case 0: xtermTitleSetHex = false; break;
        case 1: xtermTitleQueryHex = false; break;
        case 2: xtermTitleSetUtf = false; break;
        case 3: xtermTitleQueryUtf = false; break;
        default: break;
        }
    }
}

void Terminal::cmdSetShiftEscape(const Params& p)
{
    const int v = p.get(0, 0);
    if (v == 0)
        mouseShiftCapture = false;
    else if (v == 1)
        mouseShiftCapture = true;
}

}  // namespace ravelgrid
