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
        if (id != 0 && !imagesById.contains(id)) return id;
    }
}

bool KittyGraphicsState::storeImage(KittyGraphicsPayload payload, uint32_t imageId,
                                    std::optional<uint32_t> imageNumber, int64_t limitBytes,
                                    const std::function<std::unordered_set<uint32_t>()>& referencedIds)
{
    const int64_t limit = clampCacheLimit(limitBytes);
    const size_t byteSize = payload.byteSize();
    if (byteSize > static_cast<uint64_t>(limit)) return false;
    if (auto old = imagesById.find(imageId); old != imagesById.end()) {
        totalImageBytes = std::max<int64_t>(totalImageBytes - static_cast<int64_t>(old->second.byteSize), 0);
    }
    imagesById.insert_or_assign(imageId, KittyGraphicsImage{std::move(payload), byteSize, nextImageAccessTick++,
                                                            nextContentRevision++});
    totalImageBytes += static_cast<int64_t>(byteSize);
    if (imageNumber) imageNumbers[*imageNumber] = imageId;
    if (totalImageBytes > limit) evictImages(limit, referencedIds(), imageId);
    return true;
}

const KittyGraphicsImage* KittyGraphicsState::touchImage(uint32_t imageId)
{
    auto it = imagesById.find(imageId);
    if (it == imagesById.end()) return nullptr;
    it->second.lastAccessTick = nextImageAccessTick++;
    return &it->second;
}

void KittyGraphicsState::evictImages(int64_t limitBytes, const std::unordered_set<uint32_t>& referencedIds,
                                     std::optional<uint32_t> keep)
{
    const int64_t limit = clampCacheLimit(limitBytes);
    if (totalImageBytes <= limit) return;
    struct Candidate {
        uint64_t tick;
        uint32_t id;
        bool referenced;
    };
    std::vector<Candidate> order;
    order.reserve(imagesById.size());
    for (const auto& [id, image] : imagesById) {
        if (keep && id == *keep) continue;
        order.push_back({image.lastAccessTick, id, referencedIds.contains(id)});
    }
    std::stable_sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) {
        if (a.referenced != b.referenced) return !a.referenced;
        return a.tick < b.tick;
    });
    for (const Candidate& candidate : order) {
        if (totalImageBytes <= limit) break;
        removeImage(candidate.id);
    }
}

void KittyGraphicsState::removeImage(uint32_t imageId)
{
    auto it = imagesById.find(imageId);
    if (it == imagesById.end()) return;
    totalImageBytes = std::max<int64_t>(totalImageBytes - static_cast<int64_t>(it->second.byteSize), 0);
    imagesById.erase(it);
    forgetImageNumbers(imageId);
}

void KittyGraphicsState::forgetImageNumbers(uint32_t imageId)
{
    std::erase_if(imageNumbers, [imageId](const auto& entry) { return entry.second == imageId; });
}

std::unordered_set<uint32_t> KittyGraphicsState::recordReferencedImageIds() const
{
    std::unordered_set<uint32_t> ids;
    for (const auto& [key, record] : placementsByKey) ids.insert(record.imageId);
    return ids;
}

}  // namespace ravelgrid
