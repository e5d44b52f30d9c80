#include "ravelgrid/drawing/ColorResolver.h"

#include <algorithm>
#include <cmath>

namespace ravelgrid {

// QColor keeps 16 bits per channel, so both directions are exact.
QColor colorToQColor(const Color& c)
{
    return QColor::fromRgba64(c.red, c.green, c.blue, 0xffff);
}

Color qColorToColor(const QColor& c)
{
    if (!c.isValid())
        return Color::defaultForeground();
    const QRgba64 rgb = c.toRgb().rgba64();
    return {rgb.red(), rgb.green(), rgb.blue()};
}

QColor blendColors(const QColor& first, const QColor& second)
{
    if (!first.isValid() || !second.isValid())
        return first;
    const QColor a = first.toRgb();
    const QColor b = second.toRgb();
    return QColor::fromRgbF((a.redF() + b.redF()) * 0.5f, (a.greenF() + b.greenF()) * 0.5f,
                            (a.blueF() + b.blueF()) * 0.5f, a.alphaF());
}

namespace {

double relativeLuminance(const QColor& c)
{
    const auto linear = [](float v) {
        return v <= 0.04045f ? double(v) / 12.92 : std::pow((double(v) + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = c.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor selectedTextColor(const QColor& background, const QColor& preferred, const QColor& cellColor,
                         const QColor& defaultForeground)
{
    if (!background.isValid())
        return preferred.isValid() ? preferred : cellColor;
    // A see-through colour's contrast depends on what lies under it.
    for (const QColor* candidate : {&preferred, &cellColor, &defaultForeground})
        if (candidate->isValid() && candidate->alpha() == 255 &&
            contrastRatio(*candidate, background) >= minimumSelectionContrast)
            return *candidate;
    const QColor black(0, 0, 0), white(255, 255, 255);
    return contrastRatio(black, background) >= contrastRatio(white, background) ? black : white;
}

ColorResolver::ColorResolver()
    : lookup_([](uint8_t) { return Color::defaultForeground(); }), nativeFg_(colorToQColor(Color::defaultForeground())),
      nativeBg_(colorToQColor(Color::defaultBackground()))
{}

void ColorResolver::setPaletteLookup(PaletteLookup lookup)
{
    lookup_ = std::move(lookup);
    resetPalette();
}

void ColorResolver::setNativeForeground(const QColor& c)
{
    nativeFg_ = c;
    ++generation_;
}

void ColorResolver::setNativeBackground(const QColor& c)
{
    nativeBg_ = c;
    ++generation_;
}

uint8_t ColorResolver::paletteIndex(uint8_t index, bool isBold, bool useBright)
{
    if (useBright)
        return (isBold && index <= 6) ? uint8_t(index + 8) : index;
    return (index >= 8 && index <= 15) ? uint8_t(index - 8) : index;
}

QColor ColorResolver::resolveColor(const Attribute::Color& color, bool isForeground, bool isBold, bool useBright,
                                   bool reverse)
{
    switch (color.kind()) {
    case Attribute::Color::Kind::ansi256: {
        const uint8_t p = paletteIndex(color.code(), isBold, useBright);
        std::optional<QColor>& slot = colors_[p];
        if (!slot)
            slot = colorToQColor(lookup_ ? lookup_(p) : Color::defaultForeground());
        return *slot;
    }
    case Attribute::Color::Kind::trueColor: {
        if (auto it = trueColors_.find(color); it != trueColors_.end())
            return it->second;
        if (trueColors_.size() >= trueColorCapacity)
            trueColors_.clear();
        QColor c(color.red(), color.green(), color.blue());
        trueColors_.emplace(color, c);
        return c;
    }
    case Attribute::Color::Kind::defaultColor:
        if (isForeground)
            return reverse ? nativeBg_ : nativeFg_;
        return reverse ? nativeFg_ : nativeBg_;
    case Attribute::Color::Kind::defaultInvertedColor: {
        QColor c;
        if (isForeground)
            c = reverse ? nativeFg_ : nativeBg_;
        else
            c = reverse ? nativeBg_ : nativeFg_;
        c.setAlphaF(1.0f);
        return c;
    }
    }
    return nativeFg_;
}

void ColorResolver::resetPaletteEntry(int index)
{
    // The terminal never names another index; one that is out of range
    // must not touch the cache.
    if (index < 0 || index > 255)
        return;
    colors_[size_t(index)].reset();
    ++generation_;
}

void ColorResolver::resetPalette()
{
    colors_.fill(std::nullopt);
    ++generation_;
}

void ColorResolver::resetAll()
{
    colors_.fill(std::nullopt);
    trueColors_.clear();
    ++generation_;
}

}  // namespace ravelgrid
