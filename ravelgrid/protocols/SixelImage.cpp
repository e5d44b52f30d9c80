#include "ravelgrid/protocols/SixelImage.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <unordered_map>

namespace ravelgrid {

namespace {

// Numbers beyond this say nothing more; saturating keeps them from overflowing.
constexpr int64_t kNumberCeiling = 1'000'000'000;

bool isDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

int64_t readNumber(std::span<const uint8_t> data, size_t& pos)
{
    int64_t value = 0;
    while (pos < data.size() && isDigit(data[pos])) {
        value = std::min<int64_t>(value * 10 + (data[pos] - '0'), kNumberCeiling);
        ++pos;
    }
    return value;
}

uint32_t packRgb(int r, int g, int b)
{
    return static_cast<uint32_t>(r) << 24 | static_cast<uint32_t>(g) << 16 | static_cast<uint32_t>(b) << 8 | 0xFF;
}

int percentTo255(int64_t percent)
{
    return static_cast<int>(std::clamp<int64_t>(percent, 0, 100) * 255 / 100);
}

class Decoder {
public:
    Decoder(std::span<const uint8_t> data, std::span<const Color> defaultPalette, const SixelLimits& limits)
        : data_(data), defaultPalette_(defaultPalette), limits_(limits), maxSide_(std::max(limits.maxSide, 0))
    {}

    SixelImage run()
    {
        SixelImage image;
        pass(false);
        image.width = std::min(std::max(maxX_, x_), maxSide_);
        image.height = maxY_;
        if (image.width == 0 || image.height == 0) {
            image.width = image.height = 0;
            return image;
        }
        try {
            image.pixels.assign(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4, 0);
        } catch (const std::bad_alloc&) {
            return {};
        }
        pixels_ = &image;
        pass(true);
        return image;
    }

private:
    void pass(bool draw);
    void sixel(uint8_t c, bool draw);
    void defineColour(const std::vector<int64_t>& params);
    uint32_t resolveColour(int64_t number) const;

    std::span<const uint8_t> data_;
    std::span<const Color> defaultPalette_;
    const SixelLimits& limits_;
    int maxSide_;
    SixelImage* pixels_ = nullptr;

    std::unordered_map<int64_t, uint32_t> palette_;
    uint32_t colour_ = 0;
    int64_t repeat_ = 1;
    int x_ = 0;
    int y_ = 0;
    int maxX_ = 0;
    int maxY_ = 0;
};

void Decoder::pass(bool draw)
{
    x_ = y_ = 0;
    repeat_ = 1;
    palette_.clear();
    if (draw)
        colour_ = resolveColour(0);
    std::vector<int64_t> params;
    size_t pos = 0;
    while (pos < data_.size()) {
        const uint8_t c = data_[pos++];
        if (c == '#') {
            params.clear();
            for (;;) {
                if (pos < data_.size() && isDigit(data_[pos])) {
                    params.push_back(readNumber(data_, pos));
                } else if (pos + 1 < data_.size() && data_[pos] == ';' && isDigit(data_[pos + 1])) {
                    ++pos;
                    params.push_back(readNumber(data_, pos));
                } else {
                    break;
                }
            }
            // A bare introducer leaves nothing sensible to draw with.
            if (params.empty())
                return;
            repeat_ = 1;
            if (draw) {
                if (params.size() > 1)
                    defineColour(params);
                colour_ = resolveColour(params[0]);
            }
        } else if (c == '!') {
            if (pos < data_.size() && isDigit(data_[pos]))
                repeat_ = readNumber(data_, pos);
        } else if (c >= '?' && c <= '~') {
            sixel(c, draw);
        } else if (c == '$' || c == '-') {
            maxX_ = std::max(maxX_, x_);
            x_ = 0;
            if (c == '-')
                y_ = std::min(y_ + 6, maxSide_);
        }
    }
}

void Decoder::sixel(uint8_t c, bool draw)
{
    const int count = static_cast<int>(std::min<int64_t>(repeat_, maxSide_));
    repeat_ = 1;
    if (count == 0)
        return;
    const unsigned bits = c - '?';
    if (!draw) {
        for (int b = 5; b >= 0; --b) {
            if (bits & (1u << b)) {
                maxY_ = std::max(maxY_, std::min(y_ + b + 1, maxSide_));
                break;
            }
        }
    } else if (bits != 0 && x_ < pixels_->width) {
        const int end = std::min(x_ + count, pixels_->width);
        const uint8_t rgba[4] = {static_cast<uint8_t>(colour_ >> 24), static_cast<uint8_t>(colour_ >> 16),
                                 static_cast<uint8_t>(colour_ >> 8), static_cast<uint8_t>(colour_)};
        for (int b = 0; b < 6; ++b) {
            const int row = y_ + b;
            if (!(bits & (1u << b)) || row >= pixels_->height)
                continue;
            uint8_t* out = pixels_->pixels.data() + (static_cast<size_t>(row) * pixels_->width + x_) * 4;
            for (int px = x_; px < end; ++px, out += 4)
                std::copy(rgba, rgba + 4, out);
        }
    }
    x_ = std::min(x_ + count, maxSide_);
}

void Decoder::defineColour(const std::vector<int64_t>& params)
{
    if (params.size() < 5)
        return;
    const int64_t number = params[0];
    if (!palette_.contains(number) && palette_.size() >= limits_.maxPaletteEntries)
        return;
    if (params[1] == 2) {
        palette_[number] = packRgb(percentTo255(params[2]), percentTo255(params[3]), percentTo255(params[4]));
    } else if (params[1] == 1) {
        palette_[number] = SixelImage::hlsToRgba(static_cast<int>(std::min<int64_t>(params[2], 360)),
                                                 static_cast<int>(std::min<int64_t>(params[3], 100)),
                                                 static_cast<int>(std::min<int64_t>(params[4], 100)));
    }
}

uint32_t Decoder::resolveColour(int64_t number) const
{
    if (auto it = palette_.find(number); it != palette_.end())
        return it->second;
    if (number < static_cast<int64_t>(defaultPalette_.size())) {
        const Color& c = defaultPalette_[static_cast<size_t>(number)];
        return packRgb(c.red >> 8, c.green >> 8, c.blue >> 8);
    }
    return 0;
}

}  // namespace

SixelImage SixelImage::decode(std::span<const uint8_t> data, std::span<const Color> defaultPalette,
                              const SixelLimits& limits)
{
    return Decoder(data, defaultPalette, limits).run();
}

uint32_t SixelImage::hlsToRgba(int hue, int lightness, int saturation)
{
    hue = std::clamp(hue, 0, 360);
    lightness = std::clamp(lightness, 0, 100);
    saturation = std::clamp(saturation, 0, 100);
    if (saturation == 0) {
        const int grey = lightness * 255 / 100;
        return packRgb(grey, grey, grey);
    }
    // Sixel hues put blue at 0 degrees and red at 120.
    const double h = (hue + 240) % 360;
    const double l = lightness;
    const double c = (1.0 - std::fabs(2.0 * l / 100.0 - 1.0)) * saturation * 0.5;
    const double high = l + c;
    const double low = l - c;
    auto ramp = [&](double fraction) { return low + fraction * (high - low); };
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h / 60.0)) {
    case 0:
        r = high;
        g = ramp(h / 60.0);
        b = low;
        break;
    case 1:
        r = ramp((120.0 - h) / 60.0);
        g = high;
        b = low;
        break;
    case 2:
        r = low;
        g = high;
        b = ramp((h - 120.0) / 60.0);
        break;
    case 3:
        r = low;
        g = ramp((240.0 - h) / 60.0);
        b = high;
        break;
    case 4:
        r = ramp((h - 240.0) / 60.0);
        g = low;
        b = high;
        break;
    default:
        r = high;
        g = low;
        b = ramp((360.0 - h) / 60.0);
        break;
    }
    auto channel = [](double v) { return percentTo255(static_cast<int64_t>(v)); };
    return packRgb(channel(r), channel(g), channel(b));
}

}  // namespace ravelgrid
