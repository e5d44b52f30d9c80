#include <algorithm>
#include <string>

#include "ravelgrid/terminal/LogText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

bool isPrivate(Terminal::Collect c)
{
    return c.size() == 1 && c[0] == '?';
}

bool collectIs(Terminal::Collect c, std::string_view s)
{
    return c.size() == s.size() && std::equal(c.begin(), c.end(), s.begin());
}

uint8_t bit(Terminal::BidiStateProperty p)
{
    return static_cast<uint8_t>(p);
}

void copyBidiProperties(BidiPresentationState& to, const BidiPresentationState& from, uint8_t properties)
{
    using P = Terminal::BidiStateProperty;
    if (properties & bit(P::supportMode))
        to.supportMode = from.supportMode;
    if (properties & bit(P::autodetectDirection))
        to.autodetectDirection = from.autodetectDirection;
    if (properties & bit(P::fallbackDirection))
        to.fallbackDirection = from.fallbackDirection;
    if (properties & bit(P::boxMirroring))
        to.boxMirroring = from.boxMirroring;
}

// The alternate screen keeps rows in stored order until the program sets
// BDSM or ?2501 (Buffer.h); the reports and XTSAVE speak of the screen shown.
bool reordersRowsShown(const Terminal& t)
{
    return t.currentBidiState.supportMode == BidiSupportMode::implicit && t.buffer->reordersRows;
}

bool detectsDirectionShown(const Terminal& t)
{
    return t.currentBidiState.autodetectDirection && t.buffer->detectsDirection;
}

}  // namespace

// --- power-on state and soft reset ------------------------------------------------

void Terminal::setup(bool isReset)
{
    cols = std::max(options_.cols, Buffer::minCols);
    rows = std::max(options_.rows, Buffer::minRows);
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

void Terminal::softReset()
{
    installBidiState(options_.initialBidiState, kAllBidiStateProperties);
    altBuffer->detectsDirection = false;
    altBuffer->reordersRows = false;
    bidiArrowKeySwap = options_.initialBidiArrowKeySwap;
    savedBidiPrivateModes.clear();
    cursorHidden = false;
    originMode = false;
    setMarginMode(false);
    setInsertMode(false);
    setWraparound(true);
    reverseWraparound = false;
    applicationKeypad = false;
    applicationCursor = false;
    buffer->setScrollTop(0);
    buffer->setScrollBottom(rows - 1);
    curAttr = Attribute{};
    buffer->softReset();
    resetSemanticPromptState(true);
    charset = nullptr;
    setgLevel(0);
    conformance = TerminalConformance::vt500;
    activeHyperlink.reset();
    lineFeedMode = options_.convertEol;
    resetAllColors();
    if (tdel_)
        tdel_->showCursor(*this);
}

// --- SM / RM and DECSET / DECRST ---------------------------------------------------------

void Terminal::cmdSetMode(const Params& p, Collect c)
{
    for (int i = 0; i < p.size(); ++i)
        setMode(p[i], c);
}

void Terminal::cmdResetMode(const Params& p, Collect c)
{
    for (int i = 0; i < p.size(); ++i)
        resetMode(p[i], c);
}

void Terminal::setInsertMode(bool on)
{
    insertMode = on;
    normalBuffer->insertMode = altBuffer->insertMode = on;
}

void Terminal::setWraparound(bool on)
{
    wraparound = on;
    normalBuffer->wraparound = altBuffer->wraparound = on;
}

void Terminal::setMarginMode(bool on)
{
    marginMode = on;
    normalBuffer->marginMode = altBuffer->marginMode = on;
}

void Terminal::setReverseColors(bool on)
{
    if (reverseColors == on)
        return;
    reverseColors = on;
    updateFullScreen();
    if (tdel_)
        tdel_->colorChanged(*this, std::nullopt);
}

void Terminal::setBidiFlag(BidiStateProperty property, bool on)
{
    BidiPresentationState next = currentBidiState;
    switch (property) {
    case BidiStateProperty::supportMode:
        next.supportMode = on ? BidiSupportMode::implicit : BidiSupportMode::explicit_;
        altBuffer->reordersRows = on;
        break;
    case BidiStateProperty::autodetectDirection:
        next.autodetectDirection = on;
        altBuffer->detectsDirection = on;
        break;
    case BidiStateProperty::boxMirroring: next.boxMirroring = on; break;
    case BidiStateProperty::fallbackDirection:
        next.fallbackDirection = on ? BidiDirection::rightToLeft : BidiDirection::leftToRight;
        break;
    }
    installBidiState(next, bit(property));
}

// DECCOLM: a new width and a cleared screen, but nothing else of the terminal
// (scrollback, palette, images, modes) is lost.
void Terminal::switchColumnMode(int newCols)
{
    resize(newCols, rows);
    Buffer& b = *buffer;
    b.setScrollTop(0);
    b.setScrollBottom(rows - 1);
    b.setMarginLeft(0);
    b.setMarginRight(cols - 1);
    for (int y = 0; y < rows; ++y)
        resetBufferLine(y, true, currentBidiState);
    b.setX(0);
    b.setY(0);
    updateFullScreen();
    if (tdel_)
        tdel_->sizeChanged(*this);
}

void Terminal::afterScreenSwitch()
{
    updateRange(0);
    updateRange(rows - 1);
    showCursor();
    if (tdel_)
        tdel_->bufferActivated(*this);
}

void Terminal::setMode(int par, Collect c)
{
    if (c.empty()) {
        switch (par) {
        case 2: break;
        case 4: setInsertMode(true); break;
        case 8: setBidiFlag(BidiStateProperty::supportMode, true); break;
        case 20: lineFeedMode = true; break;
        default: log("Unhandled verbatim setMode with " + std::to_string(par) + " and []"); break;
        }
        return;
    }
    if (!isPrivate(c)) {
        log("Unhandled setMode (SM) with " + std::to_string(par) + " and " + listText(c));
        return;
    }
    switch (par) {
    case 1: applicationCursor = true; break;
    case 2:
        for (uint8_t g = 0; g < 4; ++g)
            setgCharset(g, nullptr);
        break;
    case 3:
        if (allow80To132)
            switchColumnMode(132);
        break;
    case 4: smoothScroll = true; break;
    case 5: setReverseColors(true); break;
    case 6:
        // Either way DECOM sends the cursor to the new home, as terminals do.
        originMode = true;
        setCursor(0, 0);
        break;
    case 7: setWraparound(true); break;
    case 9: setMouseMode(MouseMode::x10); break;
    case 12: cursorBlink = true; break;
    case 25: showCursor(); break;
    case 40: allow80To132 = true; break;
    case 45:
        if (wraparound)
            reverseWraparound = true;
        break;
    case 63: break;
    case 66: applicationKeypad = true; break;
    case 69: setMarginMode(true); break;
    case 95: break;
    case 1000: setMouseMode(MouseMode::vt200); break;
    case 1002: setMouseMode(MouseMode::buttonEventTracking); break;
    case 1003: setMouseMode(MouseMode::anyEvent); break;
    case 1004:
        sendFocus = true;
        sendFocusReport();
        break;
    case 1005: mouseProtocol = MouseProtocolEncoding::utf8; break;
    case 1006: mouseProtocol = MouseProtocolEncoding::sgr; break;
    case 1007: alternateScrollMode = true; break;
    case 1015: mouseProtocol = MouseProtocolEncoding::urxvt; break;
    case 1016: mouseProtocol = MouseProtocolEncoding::sgrPixel; break;
    case 1034: break;
    case 1048: cmdSaveCursor(); break;
    case 1049: cmdSaveCursor(); [[fallthrough]];
    case 47:
    case 1047:
        activateAltBuffer(std::nullopt);
        afterScreenSwitch();
        break;
    case 1243: bidiArrowKeySwap = true; break;
    case 2004: bracketedPasteMode = true; break;
    case 2026: beginSynchronizedOutput(); break;
    case 2500: setBidiFlag(BidiStateProperty::boxMirroring, true); break;
    case 2501: setBidiFlag(BidiStateProperty::autodetectDirection, true); break;
    default: log("Unhandled DEC Private Mode Set (DECSET) with " + std::to_string(par)); break;
    }
}

void Terminal::resetMode(int par, Collect c)
{
    if (c.empty()) {
        switch (par) {
        case 4: setInsertMode(false); break;
        case 8: setBidiFlag(BidiStateProperty::supportMode, false); break;
        case 20: lineFeedMode = false; break;
        default: break;
        }
        return;
    }
    if (!isPrivate(c))
        return;
    switch (par) {
    case 1: applicationCursor = false; break;
    case 3:
        if (allow80To132)
            switchColumnMode(80);
        break;
    case 4: smoothScroll = false; break;
    case 5: setReverseColors(false); break;
    case 6:
        originMode = false;
        setCursor(0, 0);
        break;
    case 7: setWraparound(false); break;
    case 9:
    case 1000:
    case 1002:
    case 1003: setMouseMode(MouseMode::off); break;
    case 12: cursorBlink = false; break;
    case 25: hideCursor(); break;
    case 40: allow80To132 = false; break;
    case 41: break;
    case 45: reverseWraparound = false; break;
    case 47:
        activateNormalBuffer(false);
        afterScreenSwitch();
        break;
    case 66: applicationKeypad = false; break;
    case 69: setMarginMode(false); break;
    case 95: break;
    case 1004: sendFocus = false; break;
    case 1005:
    case 1006:
    case 1015:
    case 1016: mouseProtocol = MouseProtocolEncoding::x10; break;
    case 1007: alternateScrollMode = false; break;
    case 1034: break;
    case 1047:
        activateNormalBuffer(true);
        afterScreenSwitch();
        break;
    case 1048: cmdRestoreCursor(); break;
    case 1049:
        activateNormalBuffer(true);
        cmdRestoreCursor();
        afterScreenSwitch();
        break;
    case 1243: bidiArrowKeySwap = false; break;
    case 2004: bracketedPasteMode = false; break;
    case 2026: endSynchronizedOutput(); break;
    case 2500: setBidiFlag(BidiStateProperty::boxMirroring, false); break;
    case 2501: setBidiFlag(BidiStateProperty::autodetectDirection, false); break;
    default: log("Unhandled DEC Private Mode Reset (DECRST) with " + std::to_string(par)); break;
    }
}

// --- CSI p: DECSTR, DECSCL, DECRQM --------------------------------------------------------

void Terminal::csiPHandler(const Params& p, Collect c)
{
    if (collectIs(c, "!")) {
        softReset();
    } else if (collectIs(c, "\"")) {
        cmdSetConformanceLevel(p, c);
    } else if (collectIs(c, "?$")) {
        cmdDecRqm(p, true);
    } else if (collectIs(c, "$")) {
        cmdDecRqm(p, false);
    } else {
        reportUnknownCsi(p, c, 'p');
    }
}

int Terminal::ansiModeStatus(int mode) const
{
    auto flag = [](bool on) { return on ? 1 : 2; };
    switch (mode) {
    case 1:
    case 5:
    case 7:
    case 10:
    case 11: return 4;
    case 2:
    case 3: return 2;
    case 4: return flag(insertMode);
    case 8: return flag(reordersRowsShown(*this));
    case 12: return 1;
    case 20: return flag(lineFeedMode);
    default: return mode >= 13 && mode <= 19 ? 4 : 0;
    }
}

int Terminal::decModeStatus(int mode) const
{
    auto flag = [](bool on) { return on ? 1 : 2; };
    switch (mode) {
    case 1: return flag(applicationCursor);
    case 2:
    case 8:
    case 18:
    case 19:
    case 95: return 1;
    case 3: return flag(buffer->cols() == 132);
    case 4: return flag(smoothScroll);
    case 5: return flag(reverseColors);
    case 6: return flag(originMode);
    case 7: return flag(wraparound);
    case 9: return flag(mouseMode_ == MouseMode::x10);
    case 10:
    case 42:
    case 44:
    case 46:
    case 67:
    case 80:
    case 1034: return 4;
    case 12: return flag(cursorBlink);
    case 13:
    case 14:
    case 30:
    case 41:
    case 1001: return 2;
    case 25: return flag(!cursorHidden);
    case 40: return flag(allow80To132);
    case 45: return flag(reverseWraparound);
    case 47:
    case 1047:
    case 1049: return flag(isCurrentBufferAlternate());
    case 1048: return 1;
    case 66: return flag(applicationKeypad);
    case 69: return flag(marginMode);
    case 1000: return flag(mouseMode_ == MouseMode::vt200);
    case 1002: return flag(mouseMode_ == MouseMode::buttonEventTracking);
    case 1003: return flag(mouseMode_ == MouseMode::anyEvent);
    case 1004: return flag(sendFocus);
    case 1005: return flag(mouseProtocol == MouseProtocolEncoding::utf8);
    case 1006: return flag(mouseProtocol == MouseProtocolEncoding::sgr);
    case 1015: return flag(mouseProtocol == MouseProtocolEncoding::urxvt);
    case 1016: return flag(mouseProtocol == MouseProtocolEncoding::sgrPixel);
    case 1007: return flag(alternateScrollMode);
    case 1243: return flag(bidiArrowKeySwap);
    case 2004: return flag(bracketedPasteMode);
    case 2026: return flag(synchronizedOutputActive);
    case 2500: return flag(currentBidiState.boxMirroring);
    case 2501: return flag(detectsDirectionShown(*this));
    default: return 0;
    }
}

void Terminal::cmdDecRqm(const Params& p, bool decMode)
{
    const int mode = p.get(0, 0);
    // The parser hands an absent parameter over as 0, and no mode 0 exists.
    if (mode == 0) {
        sendResponse({cc.csi(), ";0$y"});
        return;
    }
    const int status = decMode ? decModeStatus(mode) : ansiModeStatus(mode);
    sendResponse(
        {cc.csi(), std::string(decMode ? "?" : "") + std::to_string(mode) + ";" + std::to_string(status) + "$y"});
}

// --- screens -------------------------------------------------------------------------------

void Terminal::activateAltBuffer(std::optional<Attribute> fillAttribute)
{
    if (buffer == altBuffer.get())
        return;
    semanticNoteAlternateScreenSwitch();
    altBuffer->setX(normalBuffer->x());
    altBuffer->setY(normalBuffer->y());
    if (altBuffer->lines().count() == 0)
        altBuffer->fillViewportRows(fillAttribute);
    buffer = altBuffer.get();
    kittyCleanupForBufferSwitch(*altBuffer, true);
}

// --- synchronized output (mode 2026) ----------------------------------------------------------

void Terminal::setScheduler(platform::Scheduler* scheduler)
{
    timers_ = scheduler ? std::make_unique<platform::ScopedTasks>(*scheduler) : nullptr;
    synchronizedOutputTimerPending_ = false;
    heldPollTask_ = 0;  // went with the old tasks
    // Held work is looked after by the new scheduler, or finished now without one.
    if (heldJob_) {
        if (timers_)
            armHeldPoll();
        else
            finishHeldInput();
    }
    if (synchronizedOutputActive)
        scheduleSynchronizedOutputTimeout();
}

std::uint64_t Terminal::nowNs() const
{
    if (timers_)
        return timers_->scheduler().nowNs();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void Terminal::beginSynchronizedOutput()
{
    const bool was = synchronizedOutputActive;
    synchronizedOutputActive = true;
    scheduleSynchronizedOutputTimeout();
    if (!was && tdel_)
        tdel_->synchronizedOutputChanged(*this, true);
}

void Terminal::scheduleSynchronizedOutputTimeout()
{
    const auto timeoutNs = static_cast<std::uint64_t>(synchronizedOutputTimeoutSeconds * 1e9);
    synchronizedOutputDeadlineNs_ = nowNs() + timeoutNs;
    // Re-arming only moves the deadline: a child that sends the mode in a
    // loop must not pile up timers in the host.
    if (timers_ && !synchronizedOutputTimerPending_)
        armSynchronizedOutputTimer(timeoutNs);
}

void Terminal::armSynchronizedOutputTimer(std::uint64_t delayNs)
{
    synchronizedOutputTimerPending_ = true;
    timers_->after(delayNs, [this] { synchronizedOutputTimerFired(); });
}

void Terminal::synchronizedOutputTimerFired()
{
    synchronizedOutputTimerPending_ = false;
    if (!synchronizedOutputActive || !synchronizedOutputDeadlineNs_)
        return;
    const std::uint64_t now = nowNs();
    if (now >= *synchronizedOutputDeadlineNs_)
        endSynchronizedOutput();
    else if (timers_)
        armSynchronizedOutputTimer(*synchronizedOutputDeadlineNs_ - now);
}

void Terminal::checkSynchronizedOutputTimeout()
{
    if (synchronizedOutputActive && synchronizedOutputDeadlineNs_ && nowNs() >= *synchronizedOutputDeadlineNs_)
        endSynchronizedOutput();
}

void Terminal::endSynchronizedOutput()
{
    if (!synchronizedOutputActive)
        return;
    synchronizedOutputActive = false;
    synchronizedOutputDeadlineNs_.reset();
    updateRange(0);
    updateRange(rows - 1);
    if (tdel_)
        tdel_->synchronizedOutputChanged(*this, false);
}

// --- bidirectional presentation ------------------------------------------------------------------

void Terminal::installBidiState(const BidiPresentationState& state, uint8_t properties)
{
    currentBidiState = state;
    normalBuffer->defaultBidiState = altBuffer->defaultBidiState = state;
    applyCurrentBidiStateAtParagraphStart(properties);
    updateFullScreen();
}

void Terminal::applyCurrentBidiStateAtParagraphStart(uint8_t properties)
{
    Buffer& b = *buffer;
    if (b.x() != 0)
        return;
    auto& lines = b.lines();
    int row = b.yBase() + b.y();
    if (row < 0 || row >= lines.count())
        return;
    if (row > 0 && lines[row].isWrapped())
        return;
    do {
        BidiPresentationState state = lines[row].bidiState();
        copyBidiProperties(state, currentBidiState, properties);
        lines[row].setBidiState(state);
        ++row;
    } while (row < lines.count() && lines[row].isWrapped());
}

void Terminal::hardenBidiRow(int row)
{
    auto& lines = buffer->lines();
    if (row < 0 || row >= lines.count())
        return;
    lines[row].setWrapped(false);
}

void Terminal::hardenBidiScrollBoundaries(bool insertedAtTop, int count)
{
    const Buffer& b = *buffer;
    const int top = b.yBase() + b.scrollTop();
    hardenBidiRow(top);
    if (insertedAtTop && count > 0 && count < b.scrollBottom() - b.scrollTop() + 1)
        hardenBidiRow(top + count);
}

void Terminal::hardenBidiLineShiftBoundaries(int firstRow, std::optional<int> movedRow, int lastRow)
{
    hardenBidiRow(firstRow);
    if (movedRow)
        hardenBidiRow(*movedRow);
    if (lastRow < INT32_MAX)
        hardenBidiRow(lastRow + 1);
}

// --- XTSAVE / XTRESTORE ----------------------------------------------------------------------

void Terminal::cmdSavePrivateModes(const Params& p, Collect)
{
    for (int i = 0; i < p.size(); ++i) {
        switch (p[i]) {
        case 1243: savedBidiPrivateModes[1243] = bidiArrowKeySwap; break;
        case 2500: savedBidiPrivateModes[2500] = currentBidiState.boxMirroring; break;
        case 2501: savedBidiPrivateModes[2501] = detectsDirectionShown(*this); break;
        default: break;
        }
    }
}

void Terminal::cmdRestorePrivateModes(const Params& p, Collect)
{
    BidiPresentationState next = currentBidiState;
    uint8_t restored = 0;
    for (int i = 0; i < p.size(); ++i) {
        const auto saved = savedBidiPrivateModes.find(p[i]);
        if (saved == savedBidiPrivateModes.end())
            continue;
        switch (p[i]) {
        case 1243: bidiArrowKeySwap = saved->second; break;
        case 2500:
            next.boxMirroring = saved->second;
            restored |= bit(BidiStateProperty::boxMirroring);
            break;
        case 2501:
            if (isCurrentBufferAlternate() && !saved->second) {
                // Off here only: the main screen keeps detecting as before.
                if (altBuffer->detectsDirection) {
                    altBuffer->detectsDirection = false;
                    updateFullScreen();
                }
                break;
            }
            next.autodetectDirection = saved->second;
            altBuffer->detectsDirection = saved->second;
            restored |= bit(BidiStateProperty::autodetectDirection);
            break;
        default: break;
        }
    }
    if (restored)
        installBidiState(next, restored);
}

// --- keyboard-protocol flags -------------------------------------------------------------------

bool Terminal::handleKittyKeyboardProtocol(const Params& p, Collect c)
{
    if (c.size() != 1)
        return false;
    KeyboardModeState& state = isCurrentBufferAlternate() ? keyboardModeAlt : keyboardModeNormal;
    const uint32_t value = static_cast<uint32_t>(p.get(0, 0)) & KittyKeyboardFlags::all;
    switch (c[0]) {
    case '=':
        switch (p.size() >= 2 ? p[1] : 1) {
        case 1: state.flags.rawValue = value; break;
        case 2: state.flags.rawValue |= value; break;
        case 3: state.flags.rawValue &= ~value; break;
        default: break;
        }
        return true;
    case '>':
        if (state.stack.size() >= kMaxKeyboardStackDepth)
            state.stack.erase(state.stack.begin());
        state.stack.push_back(state.flags);
        state.flags.rawValue = value;
        return true;
    case '<': {
        const size_t n = static_cast<size_t>(std::max(p.get(0, 0), 1));
        if (state.stack.size() >= n) {
            state.flags = state.stack[state.stack.size() - n];
            state.stack.resize(state.stack.size() - n);
        } else {
            state.stack.clear();
            state.flags = {};
        }
        return true;
    }
    case '?': {
        std::string report("?");  // not a string sum: GCC 12 warns falsely on those at -O3
        report += std::to_string(state.flags.rawValue);
        report += 'u';
        sendResponse({cc.csi(), report});
        return true;
    }
    default: return false;
    }
}

void Terminal::cmdCsiU(const Params& p, Collect c)
{
    if (!handleKittyKeyboardProtocol(p, c) && c.empty())
        cmdRestoreCursor(p, c);
}

}  // namespace ravelgrid
