// Kitty graphics control keys, payload decoders and the command front
// (chunk joining, store, replies) on untrusted bytes.

#include "ravelgrid/protocols/KittyGraphics.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"
#include "ravelgrid/protocols/KittyPng.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

using namespace ravelgrid;

// Untrusted, so no medium but direct data is ever read.
class FuzzHost : public KittyGraphicsHost {
public:
    void kittySendResponse(std::string_view bytes) override { replied += bytes.size(); }
    bool kittySend8bit() const override { return false; }
    std::optional<bool> kittyRequestTrust(std::function<void()>) override { return false; }
    int64_t kittyImageCacheLimitBytes() const override { return 1 << 20; }
    bool kittyPlaceImage(const KittyGraphicsPayload&, const KittyGraphicsControl&, std::optional<uint32_t>,
                         std::optional<uint32_t>) override
    {
        return true;
    }
    void kittyDelete(const KittyGraphicsControl&) override {}
    void kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const override { ids.insert(1); }
    size_t replied = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> input(data, size);

    const auto parsed = KittyGraphicsControl::parse(input);
    (void)kittyDecodeBase64Payload(parsed.control, parsed.payload);

    // The decoders behind base64 see the raw bytes too.
    (void)kittyInflateZlib(input, 1 << 20);
    std::vector<uint8_t> raw(input.begin(), input.end());
    (void)kittyDecodePayloadFormat(parsed.control, raw);
    if (const auto pngSize = kittyPngPixelSize(input); pngSize && pngSize->width * pngSize->height <= (1 << 20)) {
        (void)kittyDecodePng(input);
    }

    // Commands separated by ESC, as a stream of APC bodies.
    FuzzHost host;
    KittyGraphics graphics(host);
    graphics.setPendingLimit(1 << 16);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0x1b) {
            graphics.kittyGraphicsCommand(input.subspan(start, i - start));
            start = i + 1;
        }
    }
    const auto& state = graphics.state();
    if (state.totalImageBytes < 0 || state.totalImageBytes > (1 << 20))
        __builtin_trap();
    if (state.pending && state.pending->base64Payload.size() > (1 << 16))
        __builtin_trap();
    return 0;
}
