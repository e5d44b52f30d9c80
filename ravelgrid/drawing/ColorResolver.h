#pragma once

#include "ravelgrid/screen/Attribute.h"
#include "ravelgrid/screen/Color.h"

#include <QColor>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

namespace ravelgrid {

// Engine colours (16-bit channels) and Qt colours.
QColor colorToQColor(const Color& c);
Color qColorToColor(const QColor& c);
// The channel-wise mean of two colours, with the first one's alpha.
QColor blendColors(const QColor& first, const QColor& second);

// The contrast ratio of two colours as WCAG measures it, 1 to 21; alpha is
// ignored.
double contrastRatio(const QColor& a, const QColor& b);
// Selected text must stay readable on the selection background, whatever
// the scheme: the first of `preferred` (invalid: none), the cell's own
// colour and the default foreground that stands out from the background
// by at least this ratio, else black or white, whichever stands out more.
inline constexpr double minimumSelectionContrast = 4.5;
QColor selectedTextColor(const QColor& background, const QColor& preferred, const QColor& cellColor,
                         const QColor& defaultForeground);

// Turns cell colours into Qt colours through two caches: one slot per
// palette index, and up to 4096 24-bit colours (emptied whole when full).
// Every change that can alter a resolved colour advances generation(), so
// caches built on top of it know when to start over.
class ColorResolver {
public:
    static constexpr size_t trueColorCapacity = 4096;
    using PaletteLookup = std::function<Color(uint8_t index)>;

    ColorResolver();

    void setPaletteLookup(PaletteLookup lookup);
    void setNativeForeground(const QColor& c);
    void setNativeBackground(const QColor& c);
    const QColor& nativeForeground() const { return nativeFg_; }
    const QColor& nativeBackground() const { return nativeBg_; }

    // Under reverse video (DECSCNM) the two native colours trade places.
    QColor effectiveForeground(bool reverse) const { return reverse ? nativeBg_ : nativeFg_; }
    QColor effectiveBackground(bool reverse) const { return reverse ? nativeFg_ : nativeBg_; }

    // Foreground colours pass the cell's bold flag and the view's bright
    // option; backgrounds are resolved with bold false and bright true.
    QColor resolveColor(const Attribute::Color& color, bool isForeground, bool isBold, bool useBright, bool reverse);

    // The palette index a foreground index is drawn with.
    static uint8_t paletteIndex(uint8_t index, bool isBold, bool useBright);

    // Forget one converted palette entry, or all of them.
    void resetPaletteEntry(int index);
    void resetPalette();
    void resetAll();

    uint64_t generation() const { return generation_; }
    size_t trueColorCount() const { return trueColors_.size(); }

private:
    PaletteLookup lookup_;
    std::array<std::optional<QColor>, 256> colors_;
    std::unordered_map<Attribute::Color, QColor> trueColors_;
    QColor nativeFg_;
    QColor nativeBg_;
    uint64_t generation_ = 1;
};

}  // namespace ravelgrid
