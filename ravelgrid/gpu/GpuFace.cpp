#include "ravelgrid/gpu/GpuFace.h"

#include <hb-ft.h>

#include <algorithm>
#include <cmath>

namespace ravelgrid {

FreeTypeLibraryHandle::FreeTypeLibraryHandle() {
    if (FT_Init_FreeType(&library) != 0)
        library = nullptr;
}

FreeTypeLibraryHandle::~FreeTypeLibraryHandle() {
    if (library)
        FT_Done_FreeType(library);
}

GpuFace::GpuFace(std::shared_ptr<FreeTypeLibraryHandle> library, FT_Face face, std::string postScriptName)
    : library_(std::move(library)), face_(face), postScriptName_(std::move(postScriptName)) {
    hbFace_ = hb_ft_face_create_referenced(face_);
}

GpuFace::~GpuFace() {
    dropSizes();
    if (hbFace_)
        hb_face_destroy(hbFace_);
    FT_Done_Face(face_);
}

void GpuFace::dropSizes() {
    for (SizeEntry& e : sizes_) {
        if (e.hb)
            hb_font_destroy(e.hb);
        FT_Done_Size(e.size);
    }
    sizes_.clear();
}

std::string GpuFace::familyName() const { return face_->family_name ? face_->family_name : ""; }
std::string GpuFace::styleName() const { return face_->style_name ? face_->style_name : ""; }
bool GpuFace::isBold() const { return (face_->style_flags & FT_STYLE_FLAG_BOLD) != 0; }
bool GpuFace::isItalic() const { return (face_->style_flags & FT_STYLE_FLAG_ITALIC) != 0; }
bool GpuFace::hasColourGlyphs() const { return FT_HAS_COLOR(face_); }

GpuFace::SizeEntry* GpuFace::entryFor(double pixelSize) {
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
        // The smallest strike at least as large as asked, else the largest;
        // its bitmaps are scaled to the asked size afterwards.
        int best = -1;
        for (int i = 0; i < face_->num_fixed_sizes; ++i) {
            const double ppem = double(face_->available_sizes[i].y_ppem) / 64.0;
            if (ppem <= 0)
                continue;
            if (best < 0)
                best = i;
            const double bestPpem = double(face_->available_sizes[best].y_ppem) / 64.0;
            const bool fits = ppem >= pixelSize, bestFits = bestPpem >= pixelSize;
            if ((fits && (!bestFits || ppem < bestPpem)) || (!fits && !bestFits && ppem > bestPpem))
                best = i;
        }
        if (best >= 0 && FT_Select_Size(face_, best) == 0) {
            sized = true;
            bitmapScale = pixelSize / (double(face_->available_sizes[best].y_ppem) / 64.0);
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

std::optional<double> GpuFace::activateSize(double pixelSize) {
    SizeEntry* e = entryFor(pixelSize);
    if (!e)
        return std::nullopt;
    FT_Activate_Size(e->size);
    return e->bitmapScale;
}

hb_font_t* GpuFace::hbFont(double pixelSize) {
    SizeEntry* e = entryFor(pixelSize);
    return e ? e->hb : nullptr;
}

std::optional<GpuFace::GlyphMeasure> GpuFace::measure(double pixelSize, std::uint16_t glyph) {
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
    return m;
}

namespace {

double saneSize(double size) {
    if (!std::isfinite(size))
        return 13.0;
    return std::clamp(size, 1.0, 1024.0);
}

const std::string& noName() {
    static const std::string empty;
    return empty;
}

}  // namespace

GpuFont::GpuFont(std::shared_ptr<GpuFace> face, double pixelSize) : face_(std::move(face)), size_(saneSize(pixelSize)) {}

const std::string& GpuFont::postScriptName() const { return face_ ? face_->postScriptName() : noName(); }

}  // namespace ravelgrid
