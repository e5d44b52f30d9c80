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
// Sizes are typographic points at the screen's DPI, as other desktop
// programs set them. Glyphs are drawn through the raw fonts, sized in
// logical pixels, so that every glyph lands exactly on its cell; the QFonts
// serve text layout of grapheme clusters, where Qt does the shaping.
class FontSet {
public:
    FontSet();
    FontSet(const QString& family, qreal pointSize);
    // A pixel-sized base keeps its pixel size.
    explicit FontSet(const QFont& base);

    // The desktop's monospaced face (fontconfig's "monospace") at 13 pt.
    static FontSet defaultSet();
    static QString defaultFamily();
    static constexpr qreal defaultSize = 13.0;

    // Logical pixels per point: the primary screen's logical DPI over 72
    // (96 DPI without a screen). The one place points become pixels.
    static qreal pixelsPerPoint();

    // The same faces drawn with or without antialiasing (the raw fonts
    // carry it; a render hint does not reach them). New face identities.
    FontSet withAntialiasing(bool on) const;
    bool antialiased() const { return antialiased_; }

    const QFont& font(FontFace face) const { return fonts_[static_cast<size_t>(face)]; }
    const QRawFont& raw(FontFace face) const { return raws_[static_cast<size_t>(face)]; }
    const QFont& normal() const { return font(FontFace::normal); }
    const QRawFont& rawNormal() const { return raw(FontFace::normal); }

    QString family() const { return fonts_[0].family(); }
    qreal pointSize() const { return pointSize_; }
    qreal pixelSize() const { return pixelSize_; }

    // Process-unique identity of one face of this set: the key of the
    // fallback-font and line caches. A new set gets new identities.
    uint64_t faceId(FontFace face) const { return serial_ * 4 + static_cast<uint64_t>(face); }

private:
    void build(const QFont& base, qreal pointSize);

    std::array<QFont, 4> fonts_;
    std::array<QRawFont, 4> raws_;
    qreal pointSize_ = defaultSize;
    qreal pixelSize_ = defaultSize;
    bool antialiased_ = true;
    uint64_t serial_ = 0;
};

}  // namespace ravelgrid
