#pragma once

#include "ravelgrid/protocols/KittyGraphicsControl.h"
#include "ravelgrid/protocols/KittyGraphicsHost.h"
#include "ravelgrid/protocols/KittyGraphicsMedia.h"
#include "ravelgrid/protocols/KittyGraphicsState.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ravelgrid {

inline constexpr std::string_view kKittyUnsupportedAction = "EINVAL: unsupported action";
inline constexpr std::string_view kKittyIdAndNumber = "EINVAL: i and I are mutually exclusive";
inline constexpr std::string_view kKittyImageNotFound = "ENOENT: image not found";
inline constexpr std::string_view kKittyImageTooLarge = "EFBIG: image larger than the cache limit";

// The kitty graphics command front of one terminal: joins chunked
// transmissions, runs each command by its action letter, stores images and
// writes the replies.
class KittyGraphics {
public:
    explicit KittyGraphics(KittyGraphicsHost& host);

    KittyGraphics(const KittyGraphics&) = delete;
    KittyGraphics& operator=(const KittyGraphics&) = delete;

    // One APC string, without its leading "G".
    void kittyGraphicsCommand(std::span<const uint8_t> data);

    void kittyDispatchAction(const KittyGraphicsControl& control, std::span<const uint8_t> payload);
    void kittySendReply(const KittyGraphicsControl& control, std::string_view message);
    void kittySendOk(const KittyGraphicsControl& control, std::optional<uint32_t> imageId,
                     std::optional<uint32_t> imageNumber, std::optional<uint32_t> placementId);
    bool kittyStoreImage(KittyGraphicsPayload payload, uint32_t imageId, std::optional<uint32_t> imageNumber);
    // Counts pixels that cells show outside the store against the limit.
    void kittyShowPicture(const KittyGraphicsPayload& picture);
    const KittyGraphicsImage* kittyTouchImage(uint32_t imageId);

    // Ids of images that cells or placement records still refer to.
    std::unordered_set<uint32_t> kittyReferencedImageIds() const;

    KittyGraphicsState& state() { return state_; }
    const KittyGraphicsState& state() const { return state_; }

    // The most encoded bytes a chunked transfer may gather before it is
    // abandoned; lowered only by tests.
    void setPendingLimit(size_t bytes) { pendingLimit_ = bytes; }

private:
    void runCommand(std::span<const uint8_t> data);
    void appendChunk(KittyGraphicsPending& pending, std::span<const uint8_t> chunk);
    // The most encoded bytes a chunked transfer of this control may gather.
    size_t pendingLimitFor(const KittyGraphicsControl& control) const;
    void dispatchAction(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                        std::vector<uint8_t>* owned);
    void transmit(const KittyGraphicsControl& control, std::span<const uint8_t> payload, std::vector<uint8_t>* owned);
    void finishTransmit(const KittyGraphicsControl& control, KittyTransmissionResult loaded);
    void query(const KittyGraphicsControl& control, std::span<const uint8_t> payload, std::vector<uint8_t>* owned);
    // Loads on a worker when the host allows, else now; `then` gets the result
    // on the terminal's thread either way.
    void load(std::function<KittyTransmissionResult()> work, std::function<void(KittyTransmissionResult)> then);
    void put(const KittyGraphicsControl& control);
    void sendReplyText(std::string_view text);
    // A raw image declared larger than the cache limit, refused unread.
    bool declaredOverLimit(const KittyGraphicsControl& control) const;

    KittyGraphicsHost& host_;
    KittyGraphicsState state_;
    size_t pendingLimit_ = kKittyPendingLimit;
};

}  // namespace ravelgrid
