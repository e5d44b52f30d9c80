#include "ravelgrid/protocols/KittyGraphics.h"

#include "ravelgrid/protocols/KittyGraphicsMedia.h"

#include <algorithm>
#include <new>
#include <string>

namespace ravelgrid {

namespace {

// Up to this a chunked transfer grows its buffer by doubling.
constexpr size_t kGrowInOneStep = size_t{1} << 20;

// Images that take this much decoding are loaded off the terminal's thread.
constexpr size_t kSlowLoadBytes = size_t{1} << 20;

bool slowToLoad(const KittyGraphicsControl& control, size_t payloadBytes, bool trusted)
{
    if (control.transmission != 'd')
        return trusted;  // a file of any size; refused at once otherwise
    if (payloadBytes >= kSlowLoadBytes)
        return true;
    if (control.compression != 'z')
        return false;
    // A small deflate stream can inflate to the whole cache limit.
    if (auto raw = kittyExpectedRawByteCount(control))
        return *raw >= kSlowLoadBytes;
    return payloadBytes >= kSlowLoadBytes / 16;
}

std::vector<uint8_t> takeBytes(std::span<const uint8_t> payload, std::vector<uint8_t>* owned)
{
    if (owned)
        return std::move(*owned);
    return std::vector<uint8_t>(payload.begin(), payload.end());
}

}  // namespace

KittyGraphics::KittyGraphics(KittyGraphicsHost& host) : host_(host)
{}

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
    if (control.action == 'd' || control.action == 'D')
        state_.pending.reset();

    if (control.more == 1) {
        // Later chunks only add payload; their keys are ignored.
        if (!state_.pending) {
            state_.pending = KittyGraphicsPending{control, {}, false};
            if ((control.action == 't' || control.action == 'T') && declaredOverLimit(control)) {
                // Refused before a byte is gathered; the rest of its chunks are swallowed.
                state_.pending->abandoned = true;
                kittySendReply(control, kKittyImageTooLarge);
                return;
            }
        }
        appendChunk(*state_.pending, payload);
        return;
    }
    if (state_.pending) {
        KittyGraphicsPending pending = std::move(*state_.pending);
        state_.pending.reset();
        appendChunk(pending, payload);
        if (pending.abandoned)
            return;
        dispatchAction(pending.control, pending.base64Payload, &pending.base64Payload);
        return;
    }
    dispatchAction(control, payload, nullptr);
}

size_t KittyGraphics::pendingLimitFor(const KittyGraphicsControl& control) const
{
    // Base64 of the most pixel bytes the image can bring, with room for a
    // deflate stream's overhead and line breaks in the text.
    const auto encoded = [](uint64_t bytes) { return (bytes + bytes / 16 + 65'536 + 2) / 3 * 4; };
    uint64_t bytes = static_cast<uint64_t>(KittyGraphicsState::clampCacheLimit(host_.kittyImageCacheLimitBytes()));
    if (auto raw = kittyExpectedRawByteCount(control))
        bytes = std::min<uint64_t>(bytes, *raw);
    return static_cast<size_t>(std::min<uint64_t>(pendingLimit_, encoded(bytes)));
}

void KittyGraphics::appendChunk(KittyGraphicsPending& pending, std::span<const uint8_t> chunk)
{
    if (pending.abandoned)
        return;
    std::vector<uint8_t>& joined = pending.base64Payload;
    const size_t limit = pendingLimitFor(pending.control);
    bool fits = chunk.size() <= limit - std::min(joined.size(), limit);
    if (fits) {
        try {
            const size_t needed = joined.size() + chunk.size();
            if (needed > joined.capacity()) {
                // Small transfers double; a large one gets the whole cap at
                // once, which costs address space only as far as it is written
                // and spares copying a half-full buffer into a bigger one.
                joined.reserve(needed <= kGrowInOneStep ? std::min(std::max(joined.capacity() * 2, needed), limit)
                                                        : limit);
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
    dispatchAction(control, payload, nullptr);
}

void KittyGraphics::dispatchAction(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                                   std::vector<uint8_t>* owned)
{
    switch (control.action) {
    case 'q': query(control, payload, owned); return;
    case 't':
    case 'T': transmit(control, payload, owned); return;
    case 'p': put(control); return;
    case 'd':
    case 'D': host_.kittyDelete(control); return;
    default: kittySendReply(control, kKittyUnsupportedAction); return;
    }
}

void KittyGraphics::load(std::function<KittyTransmissionResult()> work,
                         std::function<void(KittyTransmissionResult)> then)
{
    auto result = std::make_shared<KittyTransmissionResult>();
    auto run = [result, work = std::move(work)] {
        try {
            *result = work();
        } catch (const std::exception&) {
            // Out of memory, or anything else: the command fails, never the thread.
            *result = {std::nullopt, std::string(kKittyBadPayload)};
        }
    };
    auto finish = [result, then = std::move(then)] { then(std::move(*result)); };
    if (!host_.kittyRunInBackground(run, finish)) {
        run();
        finish();
    }
}

void KittyGraphics::query(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                          std::vector<uint8_t>* owned)
{
    auto answer = [this, control](const KittyTransmissionResult& decoded) {
        if (!decoded.payload) {
            kittySendReply(control, kKittyBadPayload);
        } else {
            kittySendOk(control, control.imageId, control.imageNumber, control.placementId);
        }
    };
    if (!slowToLoad(control, payload.size(), false)) {
        KittyTransmissionResult decoded;
        try {
            decoded.payload = kittyDecodeBase64Payload(control, payload);
        } catch (const std::bad_alloc&) {
        }
        answer(decoded);
        return;
    }
    load(
        [control, bytes = takeBytes(payload, owned)] {
            return KittyTransmissionResult{kittyDecodeBase64Payload(control, bytes), {}};
        },
        answer);
}

void KittyGraphics::transmit(const KittyGraphicsControl& control, std::span<const uint8_t> payload,
                             std::vector<uint8_t>* owned)
{
    if (control.imageId && control.imageNumber) {
        kittySendReply(control, kKittyIdAndNumber);
        return;
    }
    if (declaredOverLimit(control)) {
        kittySendReply(control, kKittyImageTooLarge);
        return;
    }
    // Trust is that of the moment the command was read, whenever it is loaded.
    bool trusted = false;
    if (control.transmission != 'd') {
        const auto answer =
            host_.kittyRequestTrust([this, control, bytes = std::vector<uint8_t>(payload.begin(), payload.end())] {
                transmit(control, bytes, nullptr);
            });
        if (!answer)
            return;  // made again once that is known
        trusted = *answer;
    }
    if (!slowToLoad(control, payload.size(), trusted)) {
        finishTransmit(control, kittyLoadTransmittedPayload(control, payload, trusted));
        return;
    }
    load([control, bytes = takeBytes(payload, owned),
          trusted] { return kittyLoadTransmittedPayload(control, bytes, trusted); },
         [this, control](KittyTransmissionResult loaded) { finishTransmit(control, std::move(loaded)); });
}

void KittyGraphics::finishTransmit(const KittyGraphicsControl& control, KittyTransmissionResult loaded)
{
    if (!loaded.payload) {
        kittySendReply(control, loaded.error.empty() ? kKittyBadPayload : std::string_view(loaded.error));
        return;
    }
    // A PNG's size is known only now, still before its pixels are decoded.
    const auto limit = static_cast<uint64_t>(KittyGraphicsState::clampCacheLimit(host_.kittyImageCacheLimitBytes()));
    if (loaded.payload->decodedByteSize() > limit) {
        kittySendReply(control, kKittyImageTooLarge);
        return;
    }
    std::optional<uint32_t> imageId = control.imageNumber ? std::optional(state_.assignImageId()) : control.imageId;
    if (!imageId) {
        if (control.action == 'T')
            host_.kittyPlaceImage(*loaded.payload, control, std::nullopt, std::nullopt);
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
    if (!imageId && control.imageId && state_.imagesById.contains(*control.imageId))
        imageId = control.imageId;
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

bool KittyGraphics::kittyStoreImage(KittyGraphicsPayload payload, uint32_t imageId, std::optional<uint32_t> imageNumber)
{
    KittyReleasedPictures released;
    const bool stored = state_.storeImage(
        std::move(payload), imageId, imageNumber, host_.kittyImageCacheLimitBytes(),
        [this] { return kittyReferencedImageIds(); }, released);
    if (!released.empty())
        host_.kittyReleasePictures(released);
    return stored;
}

void KittyGraphics::kittyShowPicture(const KittyGraphicsPayload& picture)
{
    KittyReleasedPictures released;
    state_.showPicture(
        picture, host_.kittyImageCacheLimitBytes(), [this] { return kittyReferencedImageIds(); }, released);
    if (!released.empty())
        host_.kittyReleasePictures(released);
}

bool KittyGraphics::declaredOverLimit(const KittyGraphicsControl& control) const
{
    const std::optional<size_t> bytes = kittyDeclaredPixelBytes(control);
    return bytes &&
           *bytes > static_cast<uint64_t>(KittyGraphicsState::clampCacheLimit(host_.kittyImageCacheLimitBytes()));
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
    if (control.suppressResponses != 0 && control.suppressResponses != 1)
        return;
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
    if (control.suppressResponses != 0)
        return;
    std::string text = "G";
    const char* separator = "";
    auto item = [&](const char* key, std::optional<uint32_t> value) {
        if (!value)
            return;
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
