#include "ravelgrid/protocols/Base64.h"

#include <array>

namespace ravelgrid {

namespace {

constexpr uint8_t kSkip = 0xFF;
constexpr uint8_t kPad = 0xFE;

constexpr std::array<uint8_t, 256> makeTable()
{
    std::array<uint8_t, 256> table{};
    for (auto& v : table)
        v = kSkip;
    for (int i = 0; i < 26; ++i) {
        table['A' + i] = static_cast<uint8_t>(i);
        table['a' + i] = static_cast<uint8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<uint8_t>(52 + i);
    table['+'] = 62;
    table['/'] = 63;
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

}  // namespace

std::optional<std::vector<uint8_t>> decodeBase64(std::span<const uint8_t> text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint8_t group[4];
    int filled = 0;
    for (uint8_t byte : text) {
        const uint8_t v = kTable[byte];
        if (v == kSkip)
            continue;
        group[filled++] = v;
        if (filled < 4)
            continue;
        filled = 0;
        if (group[0] == kPad || group[1] == kPad)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(group[0] << 2 | group[1] >> 4));
        if (group[2] == kPad) {
            if (group[3] != kPad)
                return std::nullopt;
            continue;
        }
        out.push_back(static_cast<uint8_t>((group[1] & 0x0F) << 4 | group[2] >> 2));
        if (group[3] == kPad)
            continue;
        out.push_back(static_cast<uint8_t>((group[2] & 0x03) << 6 | group[3]));
    }
    if (filled != 0)
        return std::nullopt;
    return out;
}

}  // namespace ravelgrid
