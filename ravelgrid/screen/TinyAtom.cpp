#include "ravelgrid/screen/TinyAtom.h"

#include <deque>
#include <mutex>
#include <unordered_map>

namespace ravelgrid {

namespace {

struct PayloadTable {
    std::mutex lock;
    std::unordered_map<uint16_t, std::string> values;
    uint32_t counter = 0;  // highest code ever handed out
    // Released codes, reused oldest first and only once the fresh codes are
    // gone, so a code stays unused as long as possible after its release.
    std::deque<uint16_t> freeCodes;

    void releaseLocked(uint16_t code)
    {
        if (code == 0)
            return;
        if (values.erase(code) > 0)
            freeCodes.push_back(code);
    }
};

PayloadTable& table()
{
    static PayloadTable instance;
    return instance;
}

}  // namespace

std::optional<TinyAtom> TinyAtom::lookup(std::string value)
{
    auto& t = table();
    std::lock_guard guard(t.lock);
    uint16_t code = 0;
    if (t.counter < maxCode) {
        code = static_cast<uint16_t>(++t.counter);
    } else if (!t.freeCodes.empty()) {
        code = t.freeCodes.front();
        t.freeCodes.pop_front();
    } else {
        return std::nullopt;
    }
    t.values[code] = std::move(value);
    return TinyAtom{code};
}

std::optional<std::string> TinyAtom::target() const
{
    return target(code);
}

std::optional<std::string> TinyAtom::target(uint16_t code)
{
    if (code == 0)
        return std::nullopt;
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.values.find(code);
    if (it == t.values.end())
        return std::nullopt;
    return it->second;
}

void TinyAtom::release(uint16_t code)
{
    auto& t = table();
    std::lock_guard guard(t.lock);
    t.releaseLocked(code);
}

void TinyAtom::releaseAtoms(std::span<const uint16_t> codes)
{
    auto& t = table();
    std::lock_guard guard(t.lock);
    for (uint16_t c : codes)
        t.releaseLocked(c);
}

void TinyAtom::releaseAtoms(const std::unordered_set<uint16_t>& codes)
{
    auto& t = table();
    std::lock_guard guard(t.lock);
    for (uint16_t c : codes)
        t.releaseLocked(c);
}

size_t TinyAtom::liveCount()
{
    auto& t = table();
    std::lock_guard guard(t.lock);
    return t.values.size();
}

}  // namespace ravelgrid
