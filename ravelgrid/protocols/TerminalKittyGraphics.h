#pragma once

#include "ravelgrid/protocols/KittyGraphics.h"
#include "ravelgrid/protocols/KittyGraphicsHost.h"
#include "ravelgrid/terminal/KittyGraphicsHook.h"

namespace ravelgrid {

class Terminal;

// Kitty graphics inside a Terminal: receives the terminal's APC "G" strings
// and answers through the terminal's delegate. The terminal owns it.
class TerminalKittyGraphics final : public KittyGraphicsHook, public KittyGraphicsHost {
public:
    explicit TerminalKittyGraphics(Terminal& terminal);

    // Installs kitty graphics on the terminal, replacing any before.
    static TerminalKittyGraphics& attach(Terminal& terminal);
    // The kitty graphics installed on the terminal, if any.
    static TerminalKittyGraphics* of(const Terminal& terminal);

    KittyGraphics& graphics() { return graphics_; }
    KittyGraphicsState& state() { return graphics_.state(); }

    void kittyGraphicsCommand(std::span<const uint8_t> payload) override;

    void kittySendResponse(std::string_view bytes) override;
    bool kittySend8bit() const override;
    bool kittyIsProcessTrusted() const override;
    int64_t kittyImageCacheLimitBytes() const override;
    bool kittyPlaceImage(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                         std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber) override;
    void kittyDelete(const KittyGraphicsControl& control) override;
    void kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const override;

private:
    Terminal& terminal_;
    KittyGraphics graphics_;
};

}  // namespace ravelgrid
