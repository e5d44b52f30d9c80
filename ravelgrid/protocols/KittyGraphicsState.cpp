#include "ravelgrid/protocols/KittyGraphicsState.h"

#include <algorithm>

namespace ravelgrid {

int64_t KittyGraphicsState::clampCacheLimit(int64_t limitBytes)
{
    return std::clamp<int64_t>(limitBytes, 0, kKittyCacheLimitCeiling);
}

uint32_t KittyGraphicsState::assignImageId()
{
    // Without the skip a counter-made id would silently replace an image a
    // client stored under that id, and a wrap would hand out 0.
    for (;;) {
        const uint32_t id = nextImageId++;
        if (id != 0 && !imagesById.contains(id))
            return id;
    }
}

bool KittyGraphicsState::storeImage(KittyGraphicsPayload payload, uint32_t imageId, std::optional<uint32_t> imageNumber,
                                    int64_t limitBytes,
                                    const std::function<std::unordered_set<uint32_t>()>& referencedIds,
                                    KittyReleasedPictures& released)
{
    const int64_t limit = clampCacheLimit(limitBytes);
    const size_t byteSize = payload.decodedByteSize();
    if (byteSize > static_cast<uint64_t>(limit))
        return false;
    const void* block = payload.sharedBytes().get();
    // Cells placed from the old pixels keep showing them, so they still count.
    if (imagesById.contains(imageId))
        removeImage(imageId);
    imagesById.insert_or_assign(
        imageId, KittyGraphicsImage{std::move(payload), byteSize, nextImageAccessTick++, nextContentRevision++});
    totalImageBytes += static_cast<int64_t>(byteSize);
    if (imageNumber)
        imageNumbers[*imageNumber] = imageId;
    if (pixelBytes() > limit)
        evictImages(limit, referencedIds(), released, block);
    return true;
}

void KittyGraphicsState::showPicture(const KittyGraphicsPayload& picture, int64_t limitBytes,
                                     const std::function<std::unordered_set<uint32_t>()>& referencedIds,
                                     KittyReleasedPictures& released)
{
    if (picture.isEmpty())
        return;
    const void* block = picture.sharedBytes().get();
    for (const auto& [id, image] : imagesById) {
        if (image.payload.sharedBytes().get() == block)
            return;
    }
    auto shown = std::find_if(shownPictures.begin(), shownPictures.end(),
                              [block](const KittyShownPicture& p) { return p.bytes.lock().get() == block; });
    if (shown != shownPictures.end()) {
        shown->lastAccessTick = nextImageAccessTick++;
    } else {
        shownPictures.push_back({picture.sharedBytes(), picture.decodedByteSize(), nextImageAccessTick++});
    }
    const int64_t limit = clampCacheLimit(limitBytes);
    if (pixelBytes() > limit)
        evictImages(limit, referencedIds(), released, block);
}

int64_t KittyGraphicsState::pixelBytes()
{
    std::erase_if(shownPictures, [](const KittyShownPicture& p) { return p.bytes.expired(); });
    int64_t total = totalImageBytes;
    for (const KittyShownPicture& p : shownPictures)
        total += static_cast<int64_t>(p.byteSize);
    return total;
}

const KittyGraphicsImage* KittyGraphicsState::touchImage(uint32_t imageId)
{
    auto it = imagesById.find(imageId);
    if (it == imagesById.end())
        return nullptr;
    it->second.lastAccessTick = nextImageAccessTick++;
    return &it->second;
}

void KittyGraphicsState::evictImages(int64_t limitBytes, const std::unordered_set<uint32_t>& referencedIds,
                                     KittyReleasedPictures& released, const void* keep)
{
    const int64_t limit = clampCacheLimit(limitBytes);
    int64_t total = pixelBytes();
    if (total <= limit)
        return;
    struct Candidate {
        bool referenced;
        uint64_t tick;
        uint32_t id;
        const void* shown;  // a picture only cells show, else null
    };
    std::vector<Candidate> order;
    order.reserve(imagesById.size() + shownPictures.size());
    for (const auto& [id, image] : imagesById) {
        if (keep && image.payload.sharedBytes().get() == keep)
            continue;
        order.push_back({referencedIds.contains(id), image.lastAccessTick, id, nullptr});
    }
    for (const KittyShownPicture& picture : shownPictures) {
        const void* block = picture.bytes.lock().get();
        if (block && block != keep)
            order.push_back({true, picture.lastAccessTick, 0, block});
    }
    std::stable_sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) {
        if (a.referenced != b.referenced)
            return !a.referenced;
        return a.tick < b.tick;
    });
    for (const Candidate& candidate : order) {
        if (total <= limit)
            break;
        const void* block = candidate.shown;
        if (!block) {
            auto it = imagesById.find(candidate.id);
            block = it->second.payload.sharedBytes().get();
            total -= static_cast<int64_t>(it->second.byteSize);
            removeImage(candidate.id);
        }
        // Still shown somewhere: the cells let go, so the pixels do.
        auto shown = std::find_if(shownPictures.begin(), shownPictures.end(),
                                  [block](const KittyShownPicture& p) { return p.bytes.lock().get() == block; });
        if (shown == shownPictures.end())
            continue;
        if (candidate.shown)
            total -= static_cast<int64_t>(shown->byteSize);
        shownPictures.erase(shown);
        released.insert(block);
    }
}

void KittyGraphicsState::removeImage(uint32_t imageId)
{
    auto it = imagesById.find(imageId);
    if (it == imagesById.end())
        return;
    totalImageBytes = std::max<int64_t>(totalImageBytes - static_cast<int64_t>(it->second.byteSize), 0);
    KittyShownPicture left{it->second.payload.sharedBytes(), it->second.byteSize, it->second.lastAccessTick};
    imagesById.erase(it);
    forgetImageNumbers(imageId);
    // Cells that still show the pixels keep them; they count until those go.
    if (!left.bytes.expired())
        shownPictures.push_back(std::move(left));
}

void KittyGraphicsState::forgetImageNumbers(uint32_t imageId)
{
    std::erase_if(imageNumbers, [imageId](const auto& entry) { return entry.second == imageId; });
}

std::unordered_set<uint32_t> KittyGraphicsState::recordReferencedImageIds() const
{
    std::unordered_set<uint32_t> ids;
    for (const auto& [key, record] : placementsByKey)
        ids.insert(record.imageId);
    return ids;
}

}  // namespace ravelgrid
