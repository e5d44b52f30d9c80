#include "ravelgrid/protocols/KittyGraphics.h"

#include "ravelgrid/protocols/KittyGraphicsMedia.h"

#include <algorithm>
#include <new>
#include <string>

namespace ravelgrid {

KittyGraphics::KittyGraphics(KittyGraphicsHost& host)
    : host_(host)
{
}

void KittyGraphics::kittyGraphicsCommand(std::span<const uint8_t> data)
{
    // Out of memory costs the command, never the terminal.
    try {
        runCommand(data);
    } catch (const std::bad_alloc&) {
        state_.pending.reset();
    }
}

void KittyGraphics::runCommand(std::span<const uint8_t> data)
{
    const auto [control, payload] = KittyGraphicsControl::parse(data);
    if (control.action == 'd' || control.action == 'D') state_.pending.reset();

    if (control.more == 1) {
        // Later chunks only add payload; their keys are ignored.
        if (!state_.pending) state_.pending = KittyGraphicsPending{control, {}, false};
        appendChunk(*state_.pending, payload);
        return;
    }
    if (state_.pending) {
        KittyGraphicsPending pending = std::move(*state_.pending);
        state_.pending.reset();
        appendChunk(pending, payload);
        if (pending.abandoned) return;
        kittyDispatchAction(pending.control, pending.base64Payload);
        return;
    }
    kittyDispatchAction(control, payload);
}

void KittyGraphics::appendChunk(KittyGraphicsPending& pending, std::span<const uint8_t> chunk)
{
    if (pending.abandoned) return;
    std::vector<uint8_t>& joined = pending.base64Payload;
    bool fits = chunk.size() <= pendingLimit_ - std::min(joined.size(), pendingLimit_);
    if (fits) {
        try {
            if (joined.size() + chunk.size() > joined.capacity()) {
                // Double, but never past the cap, so memory stays bounded by it.
                joined.reserve(std::min(std::max(joined.capacity() * 2, joined.size() + chunk.size()), pendingLimit_));
            }
            joined.insert(joined.end(), chunk.begin(), chunk.end());
        } catch (const std::bad_alloc&) {
            fits = false;
        }
    }
    if (!fits) {
        pending.abandoned = true;
        std::vector<uint8_t>().swap(joined);
        kittySendReply(pending.control, kKittyBadPayload);
    }
}

void KittyGraphics::kittyDispatchAction(const KittyGraphicsControl& control, std::span<const uint8_t> payload)
{
    switch (control.action) {
    case 'q': {
        std::optional<KittyGraphicsPayload> decoded;
        try {
            decoded = kittyDecodeBase64Payload(control, payload);
        } catch (const std::bad_alloc&) {
        }
        if (!decoded) {
            kittySendReply(control, kKittyBadPayload);
        } else {
            kittySendOk(control, control.imageId, control.imageNumber, control.placementId);
        }
        return;
    }
    case 't':
    case 'T':
        transmit(control, payload);
        return;
    case 'p':
        put(control);
        return;
    case 'd':
    case 'D':
        host_.kittyDelete(control);
        return;
    default:
        kittySendReply(control, kKittyUnsupportedAction);
        return;
    }
}

void KittyGraphics::transmit(const KittyGraphicsControl& control, std::span<const uint8_t> payload)
{
    if (control.imageId && control.imageNumber) {
        kittySendReply(control, kKittyIdAndNumber);
        return;
    }
    const bool trusted = control.transmission != 'd' && host_.kittyIsProcessTrusted();
    KittyTransmissionResult loaded = kittyLoadTransmittedPayload(control, payload, trusted);
    if (!loaded.payload) {
        kittySendReply(control, loaded.error.empty() ? kKittyBadPayload : std::string_view(loaded.error));
        return;
    }
    std::optional<uint32_t> imageId = control.imageNumber ? std::optional(state_.assignImageId()) : control.imageId;
    if (!imageId) {
        if (control.action == 'T') host_.kittyPlaceImage(*loaded.payload, control, std::nullopt, std::nullopt);
        return;
    }
    if (!kittyStoreImage(*loaded.payload, *imageId, control.imageNumber)) {
        kittySendReply(control, kKittyImageTooLarge);
        return;
    }
    if (control.action == 'T' && !host_.kittyPlaceImage(*loaded.payload, control, imageId, control.imageNumber)) {
        return;
    }
    kittySendOk(control, imageId, control.imageNumber, control.placementId);
}

void KittyGraphics::put(const KittyGraphicsControl& control)
{
    std::optional<uint32_t> imageId;
    std::optional<uint32_t> imageNumber;
    if (control.imageNumber) {
        auto it = state_.imageNumbers.find(*control.imageNumber);
        if (it != state_.imageNumbers.end() && state_.imagesById.contains(it->second)) {
            imageId = it->second;
            imageNumber = control.imageNumber;
        }
    }
    if (!imageId && control.imageId && state_.imagesById.contains(*control.imageId)) imageId = control.imageId;
    if (!imageId) {
        kittySendReply(control, kKittyImageNotFound);
        return;
    }
    // A copy shares the bytes and stays valid whatever the placement does to the store.
    const KittyGraphicsPayload payload = kittyTouchImage(*imageId)->payload;
    if (host_.kittyPlaceImage(payload, control, imageId, imageNumber)) {
        kittySendOk(control, imageId, imageNumber, control.placementId);
    }
}

bool KittyGraphics::kittyStoreImage(KittyGraphicsPayload payload, uint32_t imageId,
                                    std::optional<uint32_t> imageNumber)
{
    return state_.storeImage(std::move(payload), imageId, imageNumber, host_.kittyImageCacheLimitBytes(),
                             [this] { return kittyReferencedImageIds(); });
}

const KittyGraphicsImage* KittyGraphics::kittyTouchImage(uint32_t imageId)
{
    return state_.touchImage(imageId);
}

std::unordered_set<uint32_t> KittyGraphics::kittyReferencedImageIds() const
{
    std::unordered_set<uint32_t> ids = state_.recordReferencedImageIds();
    host_.kittyCollectCellImageIds(ids);
    return ids;
}

void KittyGraphics::kittySendReply(const KittyGraphicsControl& control, std::string_view message)
{
    if (control.suppressResponses != 0 && control.suppressResponses != 1) return;
    std::string text = "G";
    if (control.imageId) {
        text += "i=" + std::to_string(*control.imageId);
    } else if (control.imageNumber) {
        text += "I=" + std::to_string(*control.imageNumber);
    }
    text += ';';
    text += message;
    sendReplyText(text);
}

void KittyGraphics::kittySendOk(const KittyGraphicsControl& control, std::optional<uint32_t> imageId,
                                std::optional<uint32_t> imageNumber, std::optional<uint32_t> placementId)
{
    if (control.suppressResponses != 0) return;
    std::string text = "G";
    const char* separator = "";
    auto item = [&](const char* key, std::optional<uint32_t> value) {
        if (!value) return;
        text += separator;
        text += key;
        text += std::to_string(*value);
        separator = ",";
    };
    item("i=", imageId);
    item("I=", imageNumber);
    item("p=", placementId);
    text += ";OK";
    sendReplyText(text);
}

void KittyGraphics::sendReplyText(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() + 4);
    if (host_.kittySend8bit()) {
        bytes += '\x9f';
        bytes += text;
        bytes += '\x9c';
    } else {
        bytes += "\x1b_";
        bytes += text;
        bytes += "\x1b\\";
    }
    host_.kittySendResponse(bytes);
}

}  // namespace ravelgrid
