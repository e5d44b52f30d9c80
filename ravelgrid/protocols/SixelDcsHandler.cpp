#include "ravelgrid/protocols/SixelDcsHandler.h"

#include "platform/Log.h"
#include "ravelgrid/terminal/Terminal.h"

#include <new>

namespace ravelgrid {

SixelDcsHandler::SixelDcsHandler(Terminal& terminal, const SixelLimits& limits) : terminal_(terminal), limits_(limits)
{}

void SixelDcsHandler::hook(std::span<const uint8_t>, const CsiParams&, uint8_t)
{
    data_.clear();
    overflow_ = false;
}

void SixelDcsHandler::put(std::span<const uint8_t> data)
{
    if (overflow_)
        return;
    if (data.size() > limits_.maxPayload - data_.size()) {
        overflow_ = true;
        std::vector<uint8_t>().swap(data_);
        return;
    }
    try {
        data_.insert(data_.end(), data.begin(), data.end());
    } catch (const std::bad_alloc&) {
        overflow_ = true;
        std::vector<uint8_t>().swap(data_);
    }
}

void SixelDcsHandler::unhook()
{
    if (overflow_) {
        platform::logInfo("sixel", "sixel image dropped: its data passes the size cap");
        return;
    }
    SixelImage image;
    try {
        image = SixelImage::decode(data_, terminal_.defaultAnsiColors, limits_);
    } catch (const std::bad_alloc&) {
        // Out of memory costs the picture, never the terminal.
        image = {};
    }
    std::vector<uint8_t>().swap(data_);
    if (TerminalDelegate* delegate = terminal_.delegate()) {
        delegate->createImageFromBitmap(terminal_, image.pixels, image.width, image.height);
    }
}

}  // namespace ravelgrid
