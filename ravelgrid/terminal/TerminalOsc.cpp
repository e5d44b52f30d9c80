#include <string>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

bool isValidUtf8(std::span<const uint8_t> s)
{
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = s[i];
        size_t need;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            lo = b == 0xE0 ? 0xA0 : 0x80;
            hi = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            lo = b == 0xF0 ? 0x90 : 0x80;
            hi = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        for (size_t k = 1; k <= need; ++k) {
            if (i + k >= s.size() || s[i + k] < lo || s[i + k] > hi)
                return false;
            lo = 0x80;
            hi = 0xBF;
        }
        i += need + 1;
    }
    return true;
}

std::string titleText(std::span<const uint8_t> payload)
{
    return isValidUtf8(payload) ? std::string(payload.begin(), payload.end()) : std::string();
}

}  // namespace

void Terminal::oscDispatch(int64_t number, std::span<const uint8_t> payload)
{
    if (number <= INT32_MAX) {
        if (auto it = oscHandlers_.find(static_cast<int>(number)); it != oscHandlers_.end()) {
            it->second(payload);
            return;
        }
    }
    switch (number) {
    case 0:
    case 2: setTitle(titleText(payload)); return;
    case 1: setIconTitle(titleText(payload)); return;
    case 4: oscChangeOrQueryColorIndex(payload); return;
    case 6: oscSetCurrentDocument(payload); return;
    case 7: oscSetCurrentDirectory(payload); return;
    case 8: oscHyperlink(payload); return;
    case 9:
        if (!oscProgressReport(payload))
            reportUnknownOsc(number);
        return;
    case 10:
    case 11:
    case 12: oscSetColors(payload, static_cast<int>(number - 10)); return;
    case 52: oscClipboard(payload); return;
    case 104: oscResetColor(payload); return;
    case 112: oscResetCursorColor(); return;
    case 133: oscSemanticPrompt(payload); return;
    case 777: oscNotification(payload); return;
    case 1337: oscInlineImage(payload); return;
    default: reportUnknownOsc(number); return;
    }
}

// The commands below come with the OSC handlers; until then they change nothing.
void Terminal::oscChangeOrQueryColorIndex(std::span<const uint8_t>) {}
void Terminal::oscSetCurrentDocument(std::span<const uint8_t>) {}
void Terminal::oscSetCurrentDirectory(std::span<const uint8_t>) {}
void Terminal::oscHyperlink(std::span<const uint8_t>) {}
bool Terminal::oscProgressReport(std::span<const uint8_t>)
{
    return false;
}
void Terminal::oscSetColors(std::span<const uint8_t>, int) {}
void Terminal::oscClipboard(std::span<const uint8_t>) {}
void Terminal::oscResetColor(std::span<const uint8_t>) {}
void Terminal::oscResetCursorColor() {}
void Terminal::oscSemanticPrompt(std::span<const uint8_t>) {}
void Terminal::oscNotification(std::span<const uint8_t>) {}
void Terminal::oscInlineImage(std::span<const uint8_t>) {}

}  // namespace ravelgrid
