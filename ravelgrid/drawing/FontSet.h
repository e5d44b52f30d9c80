#pragma once

#include <QFont>
#include <QRawFont>
#include <QString>

#include <array>
#include <cstdint>

namespace ravelgrid {

// Which of the four faces a cell is drawn with.
enum class FontFace : uint8_t { normal = 0, bold = 1, italic = 2, boldItalic = 3 };

// The normal, bold, italic and bold-italic faces made from one base font.
// Sizes are in logical pixels (one macOS point each). Glyphs are drawn
// through the raw fonts so that every glyph lands exactly on its cell; the
// QFonts serve text layout of grapheme clusters, where Qt does the shaping.
class FontSet {
public:
    FontSet();
    FontSet(const QString& family, qreal pixelSize);
    explicit FontSet(const QFont& base);

    // JetBrains Mono at 13 when it is installed, else the system's fixed font.
    static FontSet defaultSet();
    static QString defaultFamily();
    static constexpr qreal defaultSize = 13.0;

    const QFont& font(FontFace face) const { return fonts_[static_cast<size_t>(face)]; }
    const QRawFont& raw(FontFace face) const { return raws_[static_cast<size_t>(face)]; }
    const QFont& normal() const { return font(FontFace::normal); }
    const QRawFont& rawNormal() const { return raw(FontFace::normal); }

    QString family() const { return fonts_[0].family(); }
    qreal pixelSize() const { return pixelSize_; }

    // Process-unique identity of one face of this set: the key of the
    // fallback-font and line caches. A new set gets new identities.
    uint64_t faceId(FontFace face) const { return serial_ * 4 + static_cast<uint64_t>(face); }

private:
    void build(const QFont& base, qreal pixelSize);

    std::array<QFont, 4> fonts_;
    std::array<QRawFont, 4> raws_;
    qreal pixelSize_ = defaultSize;
    uint64_t serial_ = 0;
};

}  // namespace ravelgrid
