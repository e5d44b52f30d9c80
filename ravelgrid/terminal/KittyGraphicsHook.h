#pragma once

#include <cstdint>
#include <span>

namespace ravelgrid {

class Buffer;

// The kitty graphics entry points of a Terminal. The graphics protocol lives
// in a higher layer, which installs its implementation here.
class KittyGraphicsHook {
public:
    virtual ~KittyGraphicsHook() = default;

    // One APC string, without its leading "G".
    virtual void kittyGraphicsCommand(std::span<const uint8_t> payload) = 0;
    virtual void kittyAdjustPlacementsForScroll() {}
    virtual void resetKittyGraphics() {}
    virtual void kittyCleanupForBufferSwitch(Buffer& /*buffer*/, bool /*isAlternate*/) {}
};

}  // namespace ravelgrid
