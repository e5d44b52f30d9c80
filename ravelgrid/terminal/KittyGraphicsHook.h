#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "ravelgrid/terminal/DcsHandler.h"

namespace ravelgrid {

class Buffer;

// The graphics entry points of a Terminal (kitty graphics and sixel). The
// graphics protocols live in a higher layer, which installs them here.
class KittyGraphicsHook {
public:
    virtual ~KittyGraphicsHook() = default;

    // One APC string, without its leading "G".
    virtual void kittyGraphicsCommand(std::span<const uint8_t> payload) = 0;
    virtual void kittyAdjustPlacementsForScroll() {}
    // A scroll that moved every line of the active buffer by `rows` ring rows
    // (0: none moved) and changed nothing else.
    virtual void kittyShiftPlacementsForScroll(int /*rows*/) { kittyAdjustPlacementsForScroll(); }
    virtual void resetKittyGraphics() {}
    virtual void kittyCleanupForBufferSwitch(Buffer& /*buffer*/, bool /*isAlternate*/) {}
    // The handler of one sixel DCS string; none leaves the string unhandled.
    virtual std::unique_ptr<DcsHandler> makeSixelHandler() { return nullptr; }
};

}  // namespace ravelgrid
