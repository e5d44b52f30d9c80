// The sixel decoder on untrusted bytes, directly and through a terminal with
// the graphics protocols attached (where kitty placements and deletes run
// against real buffers too).

#include "ravelgrid/protocols/SixelImage.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using namespace ravelgrid;

class FuzzDelegate : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
    std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) override { return std::pair{7, 15}; }
    void createImageFromBitmap(Terminal&, std::vector<uint8_t>& rgba, int width, int height) override
    {
        if (width < 0 || height < 0 || rgba.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
            std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        SixelLimits limits;
        limits.maxSide = 1'000;  // keeps each run small; the bound itself is what matters
        const std::vector<Color> palette(256, Color(0x1234, 0x5678, 0x9ABC));
        const SixelImage image = SixelImage::decode(rest, palette, limits);
        if (image.width > limits.maxSide || image.height > limits.maxSide ||
            image.pixels.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4) {
            std::abort();
        }
        return 0;
    }
    FuzzDelegate delegate;
    TerminalOptions options;
    options.cols = 20;
    options.rows = 6;
    options.scrollback = 10;
    options.kittyImageCacheLimitBytes = 1 << 16;
    Terminal terminal(&delegate, options);
    TerminalKittyGraphics::attach(terminal);
    if (data[0] & 2) {
        terminal.feed(std::string_view("\x1bPq"));
        terminal.feed(rest);
        terminal.feed(std::string_view("\x1b\\"));
    } else {
        terminal.feed(rest);
    }
    return 0;
}
