#include <algorithm>
#include <string>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

bool isPrivate(Terminal::Collect c)
{
    return c.size() == 1 && c[0] == '?';
}

}  // namespace

void Terminal::setup(bool isReset)
{
    cols = std::max(options_.cols, MINIMUM_COLS);
    rows = options_.rows;
    if (isReset) {
        normalBuffer = makeBuffer(false);
        altBuffer = makeBuffer(true);
        buffer = normalBuffer.get();
        blankLine_.reset();
    }
    cursorHidden = false;
    applicationKeypad = false;
    applicationCursor = false;
    if (reverseColors) {
        reverseColors = false;
        updateFullScreen();
        if (tdel_)
            tdel_->colorChanged(*this, std::nullopt);
    }
    originMode = false;
    marginMode = insertMode = false;
    for (Buffer* b : {normalBuffer.get(), altBuffer.get()}) {
        b->marginMode = false;
        b->insertMode = false;
        b->wraparound = true;
    }
    wraparound = true;
    bracketedPasteMode = false;
    alternateScrollMode = true;
    keyboardModeNormal = {};
    keyboardModeAlt = {};
    gCharsets = {};
    charset = nullptr;
    gcharset = 0;
    gLevel = 0;
    curAttr = Attribute{};
    setMouseMode(MouseMode::off);
    mouseShiftCapture = false;
    buffer->setScrollTop(0);
    buffer->setScrollBottom(rows - 1);
    buffer->setMarginLeft(0);
    buffer->setMarginRight(cols - 1);
    cc.send8bit = false;
    conformance = TerminalConformance::vt500;
    allow80To132 = false;
    xtermTitleSetUtf = xtermTitleSetHex = xtermTitleQueryUtf = xtermTitleQueryHex = false;
    activeHyperlink.reset();
    cursorBlink = false;
    hostCurrentDirectory.reset();
    lineFeedMode = options_.convertEol;
    putbackSize_ = 0;
    lastPrintedCode_ = 0;
}

void Terminal::cmdSetMode(const Params& p, Collect c)
{
    const bool dec = isPrivate(c);
    if (!dec && !c.empty())
        return;
    for (int i = 0; i < p.size(); ++i) {
        const int mode = p[i];
        if (!dec) {
            if (mode == 4) {
                insertMode = true;
                normalBuffer->insertMode = altBuffer->insertMode = true;
            } else if (mode == 20) {
                lineFeedMode = true;
            }
            continue;
        }
        switch (mode) {
        case 1: applicationCursor = true; break;
        case 6:
            originMode = true;
            setCursor(0, 0);
            break;
        case 7:
            wraparound = true;
            normalBuffer->wraparound = altBuffer->wraparound = true;
            break;
        case 12: cursorBlink = true; break;
        case 25: showCursor(); break;
        case 45: reverseWraparound = true; break;
        case 69:
            marginMode = true;
            normalBuffer->marginMode = altBuffer->marginMode = true;
            break;
        case 1004: sendFocus = true; break;
        case 2004: bracketedPasteMode = true; break;
        case 2026: beginSynchronizedOutput(); break;
        case 47:
        case 1047:
        case 1049:
            if (mode == 1049)
                cmdSaveCursor();
            activateAltBuffer(std::nullopt);
            updateFullScreen();
            if (tdel_)
                tdel_->bufferActivated(*this);
            break;
        default: break;
        }
    }
}

void Terminal::cmdResetMode(const Params& p, Collect c)
{
    const bool dec = isPrivate(c);
    if (!dec && !c.empty())
        return;
    for (int i = 0; i < p.size(); ++i) {
        const int mode = p[i];
        if (!dec) {
            if (mode == 4) {
                insertMode = false;
                normalBuffer->insertMode = altBuffer->insertMode = false;
            } else if (mode == 20) {
                lineFeedMode = false;
            }
            continue;
        }
        switch (mode) {
        case 1: applicationCursor = false; break;
        case 6:
            originMode = false;
            setCursor(0, 0);
            break;
        case 7:
            wraparound = false;
            normalBuffer->wraparound = altBuffer->wraparound = false;
            break;
        case 12: cursorBlink = false; break;
        case 25: hideCursor(); break;
        case 45: reverseWraparound = false; break;
        case 69:
            marginMode = false;
            normalBuffer->marginMode = altBuffer->marginMode = false;
            break;
        case 1004: sendFocus = false; break;
        case 2004: bracketedPasteMode = false; break;
        case 2026: endSynchronizedOutput(); break;
        case 47:
        case 1047:
        case 1049:
            activateNormalBuffer(mode != 47);
            if (mode == 1049)
                cmdRestoreCursor();
            updateFullScreen();
            if (tdel_)
                tdel_->bufferActivated(*this);
            break;
        default: break;
        }
    }
}

void Terminal::csiPHandler(const Params& p, Collect c)
{
    std::string text = "Unhandled CSI ";
    for (uint8_t b : c)
        text += std::to_string(b);
    text += " with pars=[";
    for (int i = 0; i < p.size(); ++i)
        text += (i ? ", " : "") + std::to_string(p[i]);
    log(text + "]");
}

void Terminal::cmdSavePrivateModes(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 's');
}

void Terminal::cmdRestorePrivateModes(const Params& p, Collect c)
{
    reportUnknownCsi(p, c, 'r');
}

bool Terminal::handleKittyKeyboardProtocol(const Params&, Collect)
{
    return false;
}

void Terminal::cmdCsiU(const Params& p, Collect c)
{
    if (!handleKittyKeyboardProtocol(p, c) && c.empty())
        cmdRestoreCursor(p, c);
}

}  // namespace ravelgrid
