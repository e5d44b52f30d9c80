#include "ravelgrid/protocols/KittyGraphicsControl.h"

#include <array>
#include <limits>

namespace ravelgrid {

namespace {

bool isAscii(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

std::optional<uint64_t> parseDigits(std::string_view digits, uint64_t max)
{
    if (digits.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::optional<int64_t> kittyControlInt(std::string_view value)
{
    bool negative = false;
    if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    // The magnitude of INT64_MIN is one more than INT64_MAX.
    const uint64_t max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    const auto magnitude = parseDigits(value, max);
    if (!magnitude)
        return std::nullopt;
    if (negative) {
        if (*magnitude == max)
            return std::numeric_limits<int64_t>::min();
        return -static_cast<int64_t>(*magnitude);
    }
    return static_cast<int64_t>(*magnitude);
}

std::optional<uint32_t> kittyControlUInt32(std::string_view value)
{
    if (!value.empty() && value.front() == '+')
        value.remove_prefix(1);
    const auto parsed = parseDigits(value, std::numeric_limits<uint32_t>::max());
    if (!parsed || *parsed == 0)
        return std::nullopt;
    return static_cast<uint32_t>(*parsed);
}

KittyGraphicsControl::Parsed KittyGraphicsControl::parse(std::span<const uint8_t> data)
{
    size_t split = 0;
    while (split < data.size() && data[split] != ';')
        ++split;
    Parsed result;
    if (split < data.size())
        result.payload = data.subspan(split + 1);

    // Only single-letter keys mean anything; the last occurrence wins.
    std::array<std::optional<std::string_view>, 128> values{};
    const std::string_view controlPart(reinterpret_cast<const char*>(data.data()), split);
    size_t start = 0;
    while (start <= controlPart.size()) {
        size_t end = controlPart.find(',', start);
        if (end == std::string_view::npos)
            end = controlPart.size();
        const std::string_view item = controlPart.substr(start, end - start);
        start = end + 1;
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view key = item.substr(0, eq);
        const std::string_view value = item.substr(eq + 1);
        if (!isAscii(key) || !isAscii(value))
            continue;
        if (key.size() != 1)
            continue;
        values[static_cast<unsigned char>(key.front())] = value;
    }

    KittyGraphicsControl& c = result.control;
    auto text = [&](char key) { return values[static_cast<unsigned char>(key)]; };
    auto readInt = [&](char key, int64_t& field) {
        if (auto v = text(key)) {
            if (auto parsed = kittyControlInt(*v))
                field = *parsed;
        }
    };
    auto readId = [&](char key, std::optional<uint32_t>& field) {
        if (auto v = text(key))
            field = kittyControlUInt32(*v);
    };
    auto readChar = [&](char key, char& field) {
        if (auto v = text(key); v && !v->empty())
            field = v->front();
    };
    auto readOptChar = [&](char key, std::optional<char>& field) {
        if (auto v = text(key); v && !v->empty())
            field = v->front();
    };

    readChar('a', c.action);
    readInt('q', c.suppressResponses);
    readInt('f', c.format);
    readChar('t', c.transmission);
    readInt('s', c.width);
    readInt('v', c.height);
    readInt('x', c.cropX);
    readInt('y', c.cropY);
    readInt('w', c.cropWidth);
    readInt('h', c.cropHeight);
    readInt('S', c.dataSize);
    readInt('O', c.dataOffset);
    readId('i', c.imageId);
    readId('I', c.imageNumber);
    readId('p', c.placementId);
    readId('P', c.parentImageId);
    readId('Q', c.parentPlacementId);
    readInt('H', c.offsetH);
    readInt('V', c.offsetV);
    readInt('X', c.pixelOffsetX);
    readInt('Y', c.pixelOffsetY);
    readInt('U', c.unicodePlaceholder);
    readInt('z', c.zIndex);
    readInt('m', c.more);
    readOptChar('o', c.compression);
    readInt('c', c.columns);
    readInt('r', c.rows);
    readInt('C', c.cursorPolicy);
    readOptChar('d', c.deleteMode);
    // Only direct data arrives in chunks.
    if (c.transmission != 'd')
        c.more = 0;
    return result;
}

}  // namespace ravelgrid
