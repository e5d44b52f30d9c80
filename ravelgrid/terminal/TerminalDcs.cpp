#include <string>

#include "platform/Log.h"
#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/LogText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

std::string charText(uint8_t c)
{
    std::string s;
    utf8::append(s, c);
    return s;
}

}  // namespace

void Terminal::log(std::string_view message) const
{
    if (silentLog)
        return;
    platform::logInfo("terminal", std::string("Info: ") + std::string(message));
}

void Terminal::reportUnknownCsi(const Params& p, Collect collect, uint8_t final)
{
    if (silentLog)
        return;
    log("Ravelgrid: Unknown CSI Code (collect=" + listText(collect) + " code=" + charText(final) +
        " pars=" + listText(p.list()) + ")");
}

void Terminal::reportUnknownEsc(Collect collect, uint8_t final)
{
    if (silentLog)
        return;
    log("Ravelgrid: Unknown ESC Code: ESC + " + charText(final) + " txt=" + listText(collect));
}

void Terminal::reportUnknownOsc(int64_t number)
{
    if (silentLog)
        return;
    log("Ravelgrid: Unknown OSC code: " + std::to_string(number));
}

void Terminal::reportUnknownApc(uint8_t command)
{
    if (silentLog)
        return;
    log("Ravelgrid: Unknown APC code: " + charText(command));
}

void Terminal::reportParseError(const ParsingState&)
{
    // A byte that breaks a character (EM, or a high byte inside a sequence)
    // also ends a half-received one.
    flushPendingUtf8();
    log("Ravelgrid: Parsing error, state: Ravelgrid.ParsingState");
}

void Terminal::DECRQSS::put(std::span<const uint8_t> data)
{
    if (overflow_ || data_.size() + data.size() > kMaxRequest) {
        overflow_ = true;
        return;
    }
    data_.insert(data_.end(), data.begin(), data.end());
}

void Terminal::DECRQSS::unhook()
{
    Terminal& t = terminal_;
    bool ascii = !overflow_;
    for (uint8_t b : data_)
        ascii = ascii && b < 0x80;
    const std::string request = ascii ? std::string(data_.begin(), data_.end()) : std::string();
    std::string reply;
    bool valid = true;
    Buffer& b = *t.buffer;
    if (request == "m")
        reply = t.curAttr.sgrText();
    else if (request == "r")
        reply = std::to_string(b.scrollTop() + 1) + ";" + std::to_string(b.scrollBottom() + 1) + "r";
    else if (request == "s")
        reply = std::to_string(b.marginLeft() + 1) + ";" + std::to_string(b.marginRight() + 1) + "s";
    else if (request == " q")
        reply = std::to_string(static_cast<int>(t.cursorStyle) + 1) + " q";
    else if (request == "\"p")
        reply = std::to_string(61 + static_cast<int>(t.conformance)) + (t.cc.send8bit ? ";0" : ";1") + "\"p";
    else if (request == "\"q")
        reply = "\"q";
    else
        valid = false;
    if (!valid)
        t.log("Unknown DCS + " + request);
    t.sendResponse({t.cc.dcs(), std::string(valid ? "1" : "0") + "$r" + reply, t.cc.st()});
}

// Graphics hooks: the kitty graphics protocol fills these in.
void Terminal::kittyGraphicsCommand(std::span<const uint8_t> payload)
{
    if (kittyGraphicsHook_)
        kittyGraphicsHook_->kittyGraphicsCommand(payload);
}

void Terminal::kittyAdjustPlacementsForScroll()
{
    if (kittyGraphicsHook_)
        kittyGraphicsHook_->kittyAdjustPlacementsForScroll();
}

void Terminal::kittyShiftPlacementsForScroll(int rows)
{
    if (kittyGraphicsHook_)
        kittyGraphicsHook_->kittyShiftPlacementsForScroll(rows);
}

void Terminal::resetKittyGraphics()
{
    if (kittyGraphicsHook_)
        kittyGraphicsHook_->resetKittyGraphics();
}

void Terminal::kittyCleanupForBufferSwitch(Buffer& buffer, bool isAlternate)
{
    if (kittyGraphicsHook_)
        kittyGraphicsHook_->kittyCleanupForBufferSwitch(buffer, isAlternate);
}

}  // namespace ravelgrid
