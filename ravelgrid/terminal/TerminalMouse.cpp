#include <algorithm>
#include <string>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

int Terminal::encodeButton(int button, bool release, bool shift, bool meta, bool control) const
{
    int code = 0;
    switch (button) {
    case 1: code = 1; break;
    case 2: code = 2; break;
    case 4: code = 64; break;
    case 5: code = 65; break;
    default: code = 0; break;
    }
    if (release)
        code |= kMouseReleaseFlag;
    if (sendsModifiers(mouseMode_)) {
        if (shift)
            code |= 4;
        if (meta)
            code |= 8;
        if (control)
            code |= 16;
    }
    return code;
}

void Terminal::encodeMouseUtf(std::vector<uint8_t>& data, int ch)
{
    // One byte up to 127 (an overlong two-byte form would be invalid UTF-8);
    // 2047, the first value past the range, is sent as 0; larger values
    // stick at the largest two-byte form.
    if (ch < 0)
        ch = 0;
    if (ch <= 127) {
        data.push_back(static_cast<uint8_t>(ch));
    } else if (ch == 2047) {
        data.push_back(0);
    } else {
        const int v = std::min(ch, 2047);
        data.push_back(static_cast<uint8_t>(0xC0 | (v >> 6)));
        data.push_back(static_cast<uint8_t>(0x80 | (v & 0x3F)));
    }
}

void Terminal::sendEvent(int buttonFlags, int x, int y, int pixelX, int pixelY)
{
    // Positions left of or above the screen (a drag out of the window) report
    // the edge; the upper bound only keeps the arithmetic below in range.
    constexpr int kMaxPosition = 1 << 20;
    x = std::clamp(x, 0, kMaxPosition);
    y = std::clamp(y, 0, kMaxPosition);
    pixelX = std::clamp(pixelX, 0, kMaxPosition);
    pixelY = std::clamp(pixelY, 0, kMaxPosition);
    const bool flaggedRelease = (buttonFlags & kMouseReleaseFlag) != 0;
    int b = std::clamp(buttonFlags & ~kMouseReleaseFlag, 0, 255);
    const bool sgr = mouseProtocol == MouseProtocolEncoding::sgr || mouseProtocol == MouseProtocolEncoding::sgrPixel;
    bool release = false;
    if (sgr) {
        if (flaggedRelease) {
            release = true;
        } else if ((b & 0x23) == 3) {
            // A bare release code names no button.
            b &= ~0x23;
            release = true;
        }
    } else if (flaggedRelease) {
        b = (b & ~0x03 & ~0xC0) | 3;
    }

    std::vector<uint8_t> report = cc.csi();
    switch (mouseProtocol) {
    case MouseProtocolEncoding::x10:
        report.push_back('M');
        report.push_back(static_cast<uint8_t>(std::min(b + 32, 255)));
        report.push_back(static_cast<uint8_t>(std::min(x + 33, 255)));
        report.push_back(static_cast<uint8_t>(std::min(y + 33, 255)));
        break;
    case MouseProtocolEncoding::utf8:
        report.push_back('M');
        encodeMouseUtf(report, b + 32);
        encodeMouseUtf(report, x + 33);
        encodeMouseUtf(report, y + 33);
        break;
    case MouseProtocolEncoding::urxvt: {
        const std::string text =
            std::to_string(b + 32) + ";" + std::to_string(x + 1) + ";" + std::to_string(y + 1) + "M";
        report.insert(report.end(), text.begin(), text.end());
        break;
    }
    case MouseProtocolEncoding::sgr:
    case MouseProtocolEncoding::sgrPixel: {
        const bool pixels = mouseProtocol == MouseProtocolEncoding::sgrPixel;
        const int px = pixels ? pixelX : x + 1;
        const int py = pixels ? pixelY : y + 1;
        // Appended piece by piece: GCC 12 warns falsely on a chain of string sums at -O3.
        std::string text("<");
        text += std::to_string(b);
        text += ';';
        text += std::to_string(px);
        text += ';';
        text += std::to_string(py);
        text += release ? 'm' : 'M';
        report.insert(report.end(), text.begin(), text.end());
        break;
    }
    }
    sendResponse({ResponseItem(report)});
}

}  // namespace ravelgrid
