#pragma once

#include "ravelgrid/screen/TinyAtom.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace ravelgrid {

// The values behind the cells' payload atoms, one table per terminal so that
// no terminal can use up another's codes. Released codes are handed out again
// once the fresh ones run out; the owner releases a code only when no cell
// refers to it any more. One thread.
class PayloadTable {
public:
    static constexpr uint16_t maxCode = 65534;

    // Registers a value; no atom when every code is in use. `remote`: a
    // remote session sent it, which the code keeps until released.
    std::optional<TinyAtom> lookup(std::string value, bool remote = false);
    bool isRemote(uint16_t code) const { return remoteCodes_.count(code) > 0; }

    // The stored value; null for atom 0 or a released atom.
    const std::string* target(uint16_t code) const;

    void release(uint16_t code);
    // Releases every live code whose entry in `used` (indexed by code) is 0.
    void releaseUnused(std::span<const uint8_t> used);
    void clear();

    std::size_t liveCount() const { return values_.size(); }
    bool full() const { return counter_ >= maxCode && freeCodes_.empty(); }

private:
    std::unordered_map<uint16_t, std::string> values_;
    std::unordered_set<uint16_t> remoteCodes_;
    uint32_t counter_ = 0;  // highest code ever handed out
    // Released codes, reused oldest first and only once the fresh codes are
    // gone, so a code stays unused as long as possible after its release.
    std::deque<uint16_t> freeCodes_;
};

}  // namespace ravelgrid
