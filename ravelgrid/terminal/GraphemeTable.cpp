#include "ravelgrid/terminal/GraphemeTable.h"

#include <algorithm>

namespace ravelgrid {

uint64_t GraphemeTable::hash(std::span<const char32_t> s)
{
    uint64_t h = 1469598103934665603ull;
    for (char32_t c : s) {
        h ^= static_cast<uint64_t>(c);
        h *= 1099511628211ull;
    }
    return h ^ (h >> 29);
}

void GraphemeTable::rehash(size_t count)
{
    buckets_.assign(count, -1);
    for (size_t e = 0; e < entries_.size(); ++e) {
        const auto s = std::span<const char32_t>(pool_.data() + entries_[e].offset, entries_[e].length);
        size_t b = hash(s) & (count - 1);
        while (buckets_[b] >= 0)
            b = (b + 1) & (count - 1);
        buckets_[b] = static_cast<int32_t>(e);
    }
}

std::optional<int32_t> GraphemeTable::intern(std::span<const char32_t> scalars)
{
    if (scalars.empty() || scalars.size() > kMaxScalarsPerCluster)
        return std::nullopt;
    if (buckets_.empty())
        rehash(256);
    const size_t mask = buckets_.size() - 1;
    size_t b = hash(scalars) & mask;
    while (buckets_[b] >= 0) {
        const Entry& e = entries_[static_cast<size_t>(buckets_[b])];
        if (e.length == scalars.size() && std::equal(scalars.begin(), scalars.end(), pool_.begin() + e.offset))
            return kFirstCode + buckets_[b];
        b = (b + 1) & mask;
    }
    if (entries_.size() >= kMaxClusters || pool_.size() + scalars.size() > kMaxPoolScalars)
        return std::nullopt;
    const auto index = static_cast<int32_t>(entries_.size());
    entries_.push_back({static_cast<uint32_t>(pool_.size()), static_cast<uint32_t>(scalars.size())});
    pool_.insert(pool_.end(), scalars.begin(), scalars.end());
    buckets_[b] = index;
    if (entries_.size() * 2 > buckets_.size())
        rehash(buckets_.size() * 2);
    return kFirstCode + index;
}

std::span<const char32_t> GraphemeTable::lookup(int32_t code) const
{
    const long index = static_cast<long>(code) - kFirstCode;
    if (index < 0 || static_cast<size_t>(index) >= entries_.size())
        return {};
    const Entry& e = entries_[static_cast<size_t>(index)];
    return {pool_.data() + e.offset, e.length};
}

}  // namespace ravelgrid
