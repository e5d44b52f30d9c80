#include "ravelgrid/gpu/FontSetFaces.h"

#include <ft2build.h>
#include FT_TRUETYPE_TABLES_H

#include <cstdlib>

namespace ravelgrid {

FaceSynthesis FontSetFaces::synthesisFor(const GpuFace& face, bool bold, bool italic, double pixelSize)
{
    // Qt's own switches turn its synthesis off; they must turn this off too.
    static const bool noItalic = std::getenv("QT_NO_SYNTHESIZED_ITALIC") != nullptr;
    static const bool noBold = std::getenv("QT_NO_SYNTHESIZED_BOLD") != nullptr;
    static const bool noBoldLimit = std::getenv("QT_NO_SYNTHESIZED_BOLD_LIMIT") != nullptr;
    FT_Face ft = face.ftFace();
    FaceSynthesis s;
    if (!FT_IS_SCALABLE(ft))
        return s;
    s.oblique = italic && !face.isItalic() && !noItalic;
    if (bold && !face.isBold() && !FT_IS_FIXED_WIDTH(ft) && !noBold && (pixelSize < 64 || noBoldLimit)) {
        const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
        s.embolden = os2 && os2->usWeightClass < 700;
    }
    return s;
}

GpuFont FontSetFaces::font(const FontSet& fonts, FontFace which)
{
    const std::uint64_t id = fonts.faceId(which);
    if (auto it = chosen_.find(id); it != chosen_.end())
        return it->second;
    if (chosen_.size() >= maxEntries)
        chosen_.clear();
    const QRawFont& raw = fonts.raw(which);
    const QFont& asked = fonts.font(which);
    // The face Qt settled on, which may be another family than asked for.
    std::shared_ptr<GpuFace> face;
    if (raw.isValid())
        face = faces_.faceNamed(raw.familyName().toStdString(), raw.styleName().toStdString());
    if (!face)
        face = faces_.faceFor(fonts.family().toStdString(), asked.bold(), asked.italic());
    GpuFont font;
    if (face) {
        const FaceSynthesis synthesis = synthesisFor(*face, asked.bold(), asked.italic(), fonts.pixelSize());
        if (synthesis != FaceSynthesis{})
            if (auto synthetic = faces_.face(face->postScriptName(), synthesis))
                face = std::move(synthetic);
        font = GpuFont(std::move(face), fonts.pixelSize());
    }
    chosen_.emplace(id, font);
    return font;
}

}  // namespace ravelgrid
