#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace ravelgrid {

// The bytes a terminal sends for special keys and around a bracketed paste.
struct EscapeSequences {
    using Bytes = std::vector<uint8_t>;

    static const Bytes cmdNewLine, cmdRet, cmdEsc, cmdDel, cmdDelKey;
    static const Bytes moveUpApp, moveUpNormal, moveDownApp, moveDownNormal;
    static const Bytes moveLeftApp, moveLeftNormal, moveRightApp, moveRightNormal;
    static const Bytes moveHomeApp, moveHomeNormal, moveEndApp, moveEndNormal;
    static const Bytes cmdTab, cmdBackTab, cmdPageUp, cmdPageDown, cmdInsert;
    static const Bytes emacsBack, emacsForward, controlLeft, controlRight;
    // F1 to F12.
    static const std::array<Bytes, 12> cmdF;
    // A host may change the paste markers; the change applies process-wide.
    static Bytes bracketedPasteStart;
    static Bytes bracketedPasteEnd;
};

// How the terminal writes C1 controls in its replies.
struct CC {
    bool send8bit = false;

    std::vector<uint8_t> csi() const { return send8bit ? std::vector<uint8_t>{0x9B} : std::vector<uint8_t>{0x1B, '['}; }
    std::vector<uint8_t> dcs() const { return send8bit ? std::vector<uint8_t>{0x90} : std::vector<uint8_t>{0x1B, 'P'}; }
    std::vector<uint8_t> osc() const { return send8bit ? std::vector<uint8_t>{0x9D} : std::vector<uint8_t>{0x1B, ']'}; }
    std::vector<uint8_t> st() const { return send8bit ? std::vector<uint8_t>{0x9C} : std::vector<uint8_t>{0x1B, '\\'}; }
};

}  // namespace ravelgrid
