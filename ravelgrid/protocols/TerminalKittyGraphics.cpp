#include "ravelgrid/protocols/TerminalKittyGraphics.h"

#include "ravelgrid/terminal/Terminal.h"

#include <memory>

namespace ravelgrid {

TerminalKittyGraphics::TerminalKittyGraphics(Terminal& terminal)
    : terminal_(terminal)
    , graphics_(*this)
{
}

TerminalKittyGraphics& TerminalKittyGraphics::attach(Terminal& terminal)
{
    auto graphics = std::make_unique<TerminalKittyGraphics>(terminal);
    TerminalKittyGraphics& attached = *graphics;
    terminal.setKittyGraphicsHook(std::move(graphics));
    return attached;
}

TerminalKittyGraphics* TerminalKittyGraphics::of(const Terminal& terminal)
{
    return dynamic_cast<TerminalKittyGraphics*>(terminal.kittyGraphicsHook());
}

void TerminalKittyGraphics::kittyGraphicsCommand(std::span<const uint8_t> payload)
{
    graphics_.kittyGraphicsCommand(payload);
}

void TerminalKittyGraphics::kittySendResponse(std::string_view bytes)
{
    terminal_.sendResponse(bytes);
}

bool TerminalKittyGraphics::kittySend8bit() const
{
    return terminal_.cc.send8bit;
}

bool TerminalKittyGraphics::kittyIsProcessTrusted() const
{
    TerminalDelegate* delegate = terminal_.delegate();
    return delegate && delegate->isProcessTrusted(terminal_);
}

int64_t TerminalKittyGraphics::kittyImageCacheLimitBytes() const
{
    return terminal_.options().kittyImageCacheLimitBytes;
}

bool TerminalKittyGraphics::kittyPlaceImage(const KittyGraphicsPayload&, const KittyGraphicsControl&,
                                            std::optional<uint32_t>, std::optional<uint32_t>)
{
    // Nothing is drawn yet; the image stays in the store for a later put.
    return true;
}

void TerminalKittyGraphics::kittyDelete(const KittyGraphicsControl&) {}

void TerminalKittyGraphics::kittyCollectCellImageIds(std::unordered_set<uint32_t>&) const {}

}  // namespace ravelgrid
