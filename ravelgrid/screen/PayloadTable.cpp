#include "ravelgrid/screen/PayloadTable.h"

#include <vector>

namespace ravelgrid {

std::optional<TinyAtom> PayloadTable::lookup(std::string value, bool remote)
{
    uint16_t code = 0;
    if (counter_ < maxCode) {
        code = static_cast<uint16_t>(++counter_);
    } else if (!freeCodes_.empty()) {
        code = freeCodes_.front();
        freeCodes_.pop_front();
    } else {
        return std::nullopt;
    }
    values_[code] = std::move(value);
    if (remote)
        remoteCodes_.insert(code);
    else
        remoteCodes_.erase(code);
    return TinyAtom{code};
}

const std::string* PayloadTable::target(uint16_t code) const
{
    if (code == 0)
        return nullptr;
    auto it = values_.find(code);
    return it == values_.end() ? nullptr : &it->second;
}

void PayloadTable::release(uint16_t code)
{
    remoteCodes_.erase(code);
    if (code != 0 && values_.erase(code) > 0)
        freeCodes_.push_back(code);
}

void PayloadTable::releaseUnused(std::span<const uint8_t> used)
{
    std::vector<uint16_t> unused;
    for (const auto& [code, value] : values_)
        if (code >= used.size() || used[code] == 0)
            unused.push_back(code);
    for (uint16_t code : unused)
        release(code);
}

void PayloadTable::clear()
{
    values_.clear();
    remoteCodes_.clear();
    freeCodes_.clear();
    counter_ = 0;
}

}  // namespace ravelgrid
