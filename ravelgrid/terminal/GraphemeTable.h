#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ravelgrid {

// Interns multi-scalar grapheme clusters as 32-bit cell codes for the life of
// a terminal. Bounded: once full, no new cluster is taken, so a hostile
// stream of distinct clusters cannot grow memory without end.
class GraphemeTable {
public:
    static constexpr int32_t kFirstCode = 0x400001;
    static constexpr size_t kMaxClusters = 1u << 16;
    static constexpr size_t kMaxScalarsPerCluster = 32;
    static constexpr size_t kMaxPoolScalars = 1u << 21;

    // The code of the cluster, interning it when new; nothing when the table
    // is full or the cluster too long.
    std::optional<int32_t> intern(std::span<const char32_t> scalars);
    // The scalars of a code; empty for an unknown code.
    std::span<const char32_t> lookup(int32_t code) const;
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        uint32_t offset;
        uint32_t length;
    };
    static uint64_t hash(std::span<const char32_t> s);
    void rehash(size_t buckets);

    std::vector<char32_t> pool_;
    std::vector<Entry> entries_;
    std::vector<int32_t> buckets_;  // index into entries_, -1 = empty
};

}  // namespace ravelgrid
