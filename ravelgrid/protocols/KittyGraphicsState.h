#pragma once

#include "ravelgrid/protocols/KittyGraphicsControl.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"
#include "ravelgrid/terminal/TerminalTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ravelgrid {

struct KittyGraphicsImage {
    KittyGraphicsPayload payload;
    size_t byteSize = 0;
    uint64_t lastAccessTick = 0;
    // Bumped by every store, same id or not: what a texture made from the
    // payload is checked against, since a hash of the head misses new pixels.
    uint64_t contentRevision = 0;
};

// An unfinished chunked transmission: the first chunk's keys and the
// still-encoded payload of all chunks so far.
struct KittyGraphicsPending {
    KittyGraphicsControl control;
    std::vector<uint8_t> base64Payload;
    // Over the size cap: the rest of its chunks are swallowed unread.
    bool abandoned = false;
};

// Pixels that cells show but the store does not hold: a crop, an image
// placed without an id, the old pixels of a replaced image. They count
// against the cache limit like stored images while any cell keeps them.
struct KittyShownPicture {
    std::weak_ptr<const std::vector<uint8_t>> bytes;
    size_t byteSize = 0;
    uint64_t lastAccessTick = 0;
};

// Pixel blocks (a payload's shared bytes) whose cells must let go of them.
using KittyReleasedPictures = std::unordered_set<const void*>;

struct KittyPlacementKey {
    uint32_t imageId = 0;
    uint32_t placementId = 0;
    bool operator==(const KittyPlacementKey&) const = default;
};

struct KittyPlacementKeyHash {
    size_t operator()(const KittyPlacementKey& key) const noexcept
    {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.imageId) << 32 | key.placementId);
    }
};

struct KittyPlacementRecord {
    uint32_t imageId = 0;
    uint32_t placementId = 0;
    std::optional<uint32_t> parentImageId;
    std::optional<uint32_t> parentPlacementId;
    int parentOffsetH = 0;
    int parentOffsetV = 0;
    int pixelOffsetX = 0;
    int pixelOffsetY = 0;
    int col = 0;
    int row = 0;
    int cols = 0;
    int rows = 0;
    int zIndex = 0;
    bool isVirtual = false;
    bool isAlternateBuffer = false;
};

using KittyPlacementKeySet = std::unordered_set<KittyPlacementKey, KittyPlacementKeyHash>;

// What the cells of a normal placement are stamped with while it is made.
struct KittyPlacementContext {
    std::optional<uint32_t> imageId;
    std::optional<uint32_t> imageNumber;
    std::optional<uint32_t> placementId;
    std::optional<uint32_t> parentImageId;
    std::optional<uint32_t> parentPlacementId;
    int parentOffsetH = 0;
    int parentOffsetV = 0;
    int zIndex = 0;
    ImageSizeRequest widthRequest;
    ImageSizeRequest heightRequest;
    bool preserveAspectRatio = true;
    int cursorPolicy = 0;
    bool isRelative = false;
    int pixelOffsetX = 0;
    int pixelOffsetY = 0;
};

// Four base64 characters carry three bytes: the encoded size of the largest
// payload accepted, and so the most a chunked transfer may gather.
inline constexpr size_t kKittyPendingLimit = (kKittyDataLimit + 2) / 3 * 4;
// The cache limit is read as 0...4 GiB.
inline constexpr int64_t kKittyCacheLimitCeiling = int64_t{1} << 32;

// The per-terminal store of transmitted images and placement records.
class KittyGraphicsState {
public:
    std::unordered_map<uint32_t, KittyGraphicsImage> imagesById;
    std::unordered_map<uint32_t, uint32_t> imageNumbers;
    uint32_t nextImageId = 1;
    uint32_t nextPlacementId = 1;
    uint64_t nextContentRevision = 1;
    std::optional<KittyGraphicsPending> pending;
    std::unordered_map<KittyPlacementKey, KittyPlacementRecord, KittyPlacementKeyHash> placementsByKey;
    int64_t totalImageBytes = 0;
    uint64_t nextImageAccessTick = 1;
    std::vector<KittyShownPicture> shownPictures;

    // The id for an image transmitted with a number only: the next value of
    // the counter that is neither 0 nor held by a stored image.
    uint32_t assignImageId();

    // Stores the image under `imageId` (replacing any), maps the number to
    // it, then evicts down to `limitBytes` without ever evicting this image.
    // False, with the store untouched, when the image alone is over the limit.
    // `referencedIds` is asked only when something must go; the pixels of
    // evicted images that cells still show are added to `released`.
    bool storeImage(KittyGraphicsPayload payload, uint32_t imageId, std::optional<uint32_t> imageNumber,
                    int64_t limitBytes, const std::function<std::unordered_set<uint32_t>()>& referencedIds,
                    KittyReleasedPictures& released);

    // Counts pixels that cells now show outside the store (nothing when the
    // store holds them), then evicts down to the limit, sparing them.
    void showPicture(const KittyGraphicsPayload& picture, int64_t limitBytes,
                     const std::function<std::unordered_set<uint32_t>()>& referencedIds,
                     KittyReleasedPictures& released);

    // Decoded bytes of every kitty picture the terminal holds: the store's
    // and those only cells still show.
    int64_t pixelBytes();

    // The stored image, stamped as just used; null when there is none.
    const KittyGraphicsImage* touchImage(uint32_t imageId);

    // Evicts unreferenced images first, least recently used first, then
    // referenced ones and the pictures only cells show, until all of them
    // fit; the pixels `keep` names are never evicted.
    void evictImages(int64_t limitBytes, const std::unordered_set<uint32_t>& referencedIds,
                     KittyReleasedPictures& released, const void* keep = nullptr);

    void removeImage(uint32_t imageId);
    void forgetImageNumbers(uint32_t imageId);

    // Image ids that placement records refer to.
    std::unordered_set<uint32_t> recordReferencedImageIds() const;

    static int64_t clampCacheLimit(int64_t limitBytes);
};

}  // namespace ravelgrid
