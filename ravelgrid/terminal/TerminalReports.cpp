#include <algorithm>
#include <string>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

void Terminal::cmdSendDeviceAttributes(const Params& p, Collect c)
{
    if (p.get(0, 0) != 0)
        return;
    if (c.empty())
        sendResponse({cc.csi(), "?65;1;4;6;9;15;22;28;29c"});
    else if (c.size() == 1 && c[0] == '>')
        sendResponse({cc.csi(), ">41;10;0c"});
}

void Terminal::cmdDeviceStatus(const Params& p, Collect c)
{
    if (!c.empty())
        return;
    switch (p.get(0, 0)) {
    case 5: sendResponse({cc.csi(), "0n"}); break;
    case 6: {
        Buffer& b = *buffer;
        const int y = b.y() + 1 - (originMode ? b.scrollTop() : 0);
        const int x = std::min(b.x(), cols - 1) + 1 - (originMode && marginMode ? b.marginLeft() : 0);
        sendResponse({cc.csi(), std::to_string(y) + ";" + std::to_string(x) + "R"});
        break;
    }
    default: break;
    }
}

void Terminal::cmdXTVERSION(const Params&, Collect)
{
    sendResponse({cc.dcs(), std::string(">|Ravelgrid(") + RavelgridBuildInfo::version + ")", cc.st()});
}

void Terminal::cmdSetCursorStyle(const Params& p, Collect c)
{
    if (c.size() != 1 || c[0] != ' ')
        return;
    const int v = p.get(0, 0);
    if (v < 0 || v > 6)
        return;
    cursorStyle = v <= 1 ? CursorStyle::blinkBlock : kAllCursorStyles[v - 1];
    if (tdel_)
        tdel_->cursorStyleChanged(*this, cursorStyle);
}

void Terminal::cmdSetScrollRegion(const Params& p, Collect c)
{
    if (!c.empty())
        return;
    Buffer& b = *buffer;
    const int top = p.count1(0) - 1;
    int bottom = p.size() >= 2 && p[1] > 0 ? p[1] - 1 : rows - 1;
    bottom = std::min(bottom, rows - 1);
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
    const int left = p.count1(0) - 1;
    int right = p.size() >= 2 && p[1] > 0 ? p[1] - 1 : cols - 1;
    right = std::min(right, cols - 1);
    if (left >= right)
        return;
    b.setMarginLeft(left);
    b.setMarginRight(right);
    setCursor(0, 0);
}

void Terminal::cmdWindowOptions(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 't');
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
