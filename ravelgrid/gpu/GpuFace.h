#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H
#include <hb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid {

// FreeType's library handle, shared by the faces it opened so that it is
// closed after the last of them.
struct FreeTypeLibraryHandle {
    FT_Library library = nullptr;
    FreeTypeLibraryHandle();
    ~FreeTypeLibraryHandle();
    FreeTypeLibraryHandle(const FreeTypeLibraryHandle&) = delete;
    FreeTypeLibraryHandle& operator=(const FreeTypeLibraryHandle&) = delete;
};

// What FreeType makes of a face the family lacks: the painter (Qt) slants
// or emboldens the nearest real face instead.
struct FaceSynthesis {
    bool oblique = false;
    bool embolden = false;
    bool operator==(const FaceSynthesis&) const = default;
};

// One font face, known by its PostScript name, with one FT_Size and one
// HarfBuzz font per pixel size asked for. Main thread only.
class GpuFace {
public:
    static constexpr std::size_t maxSizes = 32;

    GpuFace(std::shared_ptr<FreeTypeLibraryHandle> library, FT_Face face, std::string postScriptName,
            FaceSynthesis synthesis = {});
    ~GpuFace();
    GpuFace(const GpuFace&) = delete;
    GpuFace& operator=(const GpuFace&) = delete;

    const std::string& postScriptName() const { return postScriptName_; }
    // The PostScript name, marked when the face is synthesised: what every
    // cache of its glyphs or shapes is keyed by.
    const std::string& key() const { return key_; }
    static std::string keyFor(std::string_view postScriptName, FaceSynthesis synthesis);
    FaceSynthesis synthesis() const { return synthesis_; }
    std::string familyName() const;
    std::string styleName() const;
    bool isBold() const;
    bool isItalic() const;
    FT_Face ftFace() const { return face_; }
    bool hasGlyphFor(char32_t ch) const { return FT_Get_Char_Index(face_, FT_ULong(ch)) != 0; }
    bool hasColourGlyphs() const;
    // Only bitmap strikes (colour emoji): the painter scales these itself.
    bool hasBitmapStrikes() const { return !FT_IS_SCALABLE(face_) && face_->num_fixed_sizes > 0; }
    // The size the painter really draws a bitmap-strike face at when asked
    // for `pixelSize`: Qt scales the strike by the asked size over the
    // strike's height, cut down to 64ths. Other faces keep the size.
    double painterPixelSize(double pixelSize) const;

    // Makes `pixelSize` the face's current size. Gives the scale still to
    // apply to its bitmaps: 1 for outlines, the asked size over the strike's
    // height for a face of bitmap strikes; nothing when it cannot be sized.
    std::optional<double> activateSize(double pixelSize);
    // HarfBuzz at this size, positions in 26.6 pixels; null on failure.
    hb_font_t* hbFont(double pixelSize);

    // A glyph's advance and ink box at a size, in pixels, the box y down
    // from the baseline (top < 0 above it) as the painter's fonts give it:
    // for bitmap strikes the strike's metrics at the painter's scale.
    struct GlyphMeasure {
        double advance = 0;
        double left = 0, top = 0, width = 0, height = 0;
    };
    std::optional<GlyphMeasure> measure(double pixelSize, std::uint16_t glyph);

private:
    struct SizeEntry {
        double pixelSize;
        FT_Size size;
        double bitmapScale;
        hb_font_t* hb;
    };
    SizeEntry* entryFor(double pixelSize);
    void dropSizes();
    int strikeFor(double pixelSize) const;

    std::shared_ptr<FreeTypeLibraryHandle> library_;
    FT_Face face_;
    std::string postScriptName_;
    FaceSynthesis synthesis_;
    std::string key_;
    hb_face_t* hbFace_ = nullptr;
    std::vector<SizeEntry> sizes_;
};

// A face at a pixel size: the renderer's font value.
class GpuFont {
public:
    GpuFont() = default;
    // Sizes that are not finite, or outside 1...1024, become the nearest sane one.
    GpuFont(std::shared_ptr<GpuFace> face, double pixelSize);

    const std::shared_ptr<GpuFace>& face() const { return face_; }
    const std::string& postScriptName() const;
    const std::string& key() const;
    double size() const { return size_; }
    bool valid() const { return face_ != nullptr; }
    // The same face at another size.
    GpuFont withSize(double pixelSize) const { return GpuFont(face_, pixelSize); }

private:
    std::shared_ptr<GpuFace> face_;
    double size_ = 0;
};

}  // namespace ravelgrid
