#include "ravelgrid/gpu/GpuFace.h"

#include <hb-ft.h>

#include <algorithm>
#include <cmath>

namespace ravelgrid {

FreeTypeLibraryHandle::FreeTypeLibraryHandle()
{
    if (FT_Init_FreeType(&library) != 0)
        library = nullptr;
}

FreeTypeLibraryHandle::~FreeTypeLibraryHandle()
{
    if (library)
        FT_Done_FreeType(library);
}

GpuFace::GpuFace(std::shared_ptr<FreeTypeLibraryHandle> library, FT_Face face, std::string postScriptName,
                 FaceSynthesis synthesis)
    : library_(std::move(library)), face_(face), postScriptName_(std::move(postScriptName)), synthesis_(synthesis)
{
    key_ = keyFor(postScriptName_, synthesis_);
    hbFace_ = hb_ft_face_create_referenced(face_);
}

GpuFace::~GpuFace()
{
    dropSizes();
    if (hbFace_)
        hb_face_destroy(hbFace_);
    FT_Done_Face(face_);
}

void GpuFace::dropSizes()
{
    for (SizeEntry& e : sizes_) {
        if (e.hb)
            hb_font_destroy(e.hb);
        FT_Done_Size(e.size);
    }
    sizes_.clear();
}

std::string GpuFace::keyFor(std::string_view postScriptName, FaceSynthesis synthesis)
{
    // No PostScript name has a slash.
    std::string key(postScriptName);
    if (synthesis.embolden)
        key += "/bold";
    if (synthesis.oblique)
        key += "/oblique";
    return key;
}

std::string GpuFace::familyName() const
{
    return face_->family_name ? face_->family_name : "";
}
std::string GpuFace::styleName() const
{
    return face_->style_name ? face_->style_name : "";
}
bool GpuFace::isBold() const
{
    return (face_->style_flags & FT_STYLE_FLAG_BOLD) != 0;
}
bool GpuFace::isItalic() const
{
    return (face_->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
}
bool GpuFace::hasColourGlyphs() const
{
    return FT_HAS_COLOR(face_);
}

int GpuFace::strikeFor(double pixelSize) const
{
    // The painter's choice: the shortest strike at least as tall as asked,
    // else the tallest.
    int best = 0;
    for (int i = 1; i < face_->num_fixed_sizes; ++i) {
        const int h = face_->available_sizes[i].height, bestH = face_->available_sizes[best].height;
        if ((h >= pixelSize && h < bestH) || (bestH < pixelSize && h > bestH))
            best = i;
    }
    return best;
}

double GpuFace::painterPixelSize(double pixelSize) const
{
    if (!hasBitmapStrikes())
        return pixelSize;
    const double height = face_->available_sizes[strikeFor(pixelSize)].height;
    if (!(height > 0))
        return pixelSize;
    // The epsilon keeps a size this gave once where it is.
    return std::floor(pixelSize / height * 64 + 1e-9) / 64 * height;
}

GpuFace::SizeEntry* GpuFace::entryFor(double pixelSize)
{
    for (SizeEntry& e : sizes_)
        if (e.pixelSize == pixelSize)
            return &e;
    if (sizes_.size() >= maxSizes)
        dropSizes();
    FT_Size size = nullptr;
    if (FT_New_Size(face_, &size) != 0)
        return nullptr;
    FT_Activate_Size(size);
    double bitmapScale = 1.0;
    bool sized = false;
    if (FT_IS_SCALABLE(face_)) {
        sized = FT_Set_Char_Size(face_, 0, FT_F26Dot6(std::lround(pixelSize * 64)), 72, 72) == 0;
    } else if (face_->num_fixed_sizes > 0) {
        const int best = strikeFor(pixelSize);
        const double height = face_->available_sizes[best].height;
        if (height > 0 && FT_Select_Size(face_, best) == 0) {
            sized = true;
            bitmapScale = pixelSize / height;
        }
    }
    if (!sized) {
        FT_Done_Size(size);
        return nullptr;
    }
    hb_font_t* hb = nullptr;
    if (hbFace_) {
        hb = hb_font_create(hbFace_);
        const int scale = int(std::lround(pixelSize * 64));
        hb_font_set_scale(hb, scale, scale);
    }
    sizes_.push_back(SizeEntry{pixelSize, size, bitmapScale, hb});
    return &sizes_.back();
}

std::optional<double> GpuFace::activateSize(double pixelSize)
{
    SizeEntry* e = entryFor(pixelSize);
    if (!e)
        return std::nullopt;
    FT_Activate_Size(e->size);
    return e->bitmapScale;
}

hb_font_t* GpuFace::hbFont(double pixelSize)
{
    SizeEntry* e = entryFor(pixelSize);
    return e ? e->hb : nullptr;
}

std::optional<GpuFace::GlyphMeasure> GpuFace::measure(double pixelSize, std::uint16_t glyph)
{
    if (hasBitmapStrikes()) {
        // HarfBuzz scales strikes by their ppem; the painter by their height.
        const std::optional<double> s = activateSize(painterPixelSize(pixelSize));
        if (!s || FT_Load_Glyph(face_, glyph, FT_LOAD_COLOR) != 0)
            return std::nullopt;
        const FT_Glyph_Metrics& g = face_->glyph->metrics;
        const double left = std::floor(g.horiBearingX / 64.0), right = std::ceil((g.horiBearingX + g.width) / 64.0);
        const double top = std::ceil(g.horiBearingY / 64.0), bottom = std::floor((g.horiBearingY - g.height) / 64.0);
        return GlyphMeasure{std::round(face_->glyph->advance.x / 64.0) * *s, left * *s, -top * *s, (right - left) * *s,
                            (top - bottom) * *s};
    }
    hb_font_t* hb = hbFont(pixelSize);
    if (!hb)
        return std::nullopt;
    GlyphMeasure m;
    m.advance = hb_font_get_glyph_h_advance(hb, glyph) / 64.0;
    hb_glyph_extents_t e{};
    if (hb_font_get_glyph_extents(hb, glyph, &e)) {
        m.left = e.x_bearing / 64.0;
        m.top = -e.y_bearing / 64.0;
        m.width = e.width / 64.0;
        m.height = -e.height / 64.0;
    }
    if (synthesis_.embolden) {
        // FreeType's emboldening grows the glyph by a 24th of its size.
        const double grow = pixelSize / 24;
        m.advance += grow;
        m.width += grow;
        m.top -= grow;
        m.height += grow;
    }
    // The painter's boxes are whole pixels, rounded outward.
    const double right = std::ceil(m.left + m.width - 1e-9), bottom = std::ceil(m.top + m.height - 1e-9);
    m.left = std::floor(m.left + 1e-9);
    m.top = std::floor(m.top + 1e-9);
    m.width = right - m.left;
    m.height = bottom - m.top;
    if (synthesis_.oblique) {
        // The painter bounds a slanted glyph as sheared by 3/8.
        const double bottomUp = -(m.top + m.height), topUp = -m.top;
        const double left = m.left + 0.375 * std::min(bottomUp, topUp);
        const double right = m.left + m.width + 0.375 * std::max(bottomUp, topUp);
        m.left = left;
        m.width = right - left;
    }
    return m;
}

namespace {

double saneSize(double size)
{
    if (!std::isfinite(size))
        return 13.0;
    return std::clamp(size, 1.0, 1024.0);
}

const std::string& noName()
{
    static const std::string empty;
    return empty;
}

}  // namespace

GpuFont::GpuFont(std::shared_ptr<GpuFace> face, double pixelSize) : face_(std::move(face)), size_(saneSize(pixelSize))
{}

const std::string& GpuFont::postScriptName() const
{
    return face_ ? face_->postScriptName() : noName();
}
const std::string& GpuFont::key() const
{
    return face_ ? face_->key() : noName();
}

}  // namespace ravelgrid
