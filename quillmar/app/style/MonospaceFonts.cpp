#include "quillmar/app/style/MonospaceFonts.h"

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <map>
#include <memory>

namespace quillmar {
namespace {

// A Powerline separator and a Font Awesome folder: plain monospaced fonts
// (JetBrains Mono among them) carry the first but never the second.
constexpr FcChar32 powerlineGlyph = 0xE0B0;
constexpr FcChar32 iconGlyph = 0xF07B;

QString text(FcPattern* p, const char* object)
{
    FcChar8* value = nullptr;
    if (FcPatternGetString(p, object, 0, &value) != FcResultMatch || !value)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(value));
}

// Lower is a better face to stand for its family: upright, regular weight.
int faceRank(FcPattern* p)
{
    int weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
    FcPatternGetInteger(p, FC_WEIGHT, 0, &weight);
    FcPatternGetInteger(p, FC_SLANT, 0, &slant);
    return (slant == FC_SLANT_ROMAN ? 0 : 1000) + std::abs(weight - FC_WEIGHT_REGULAR);
}

std::vector<MonospaceFace> readFaces()
{
    std::vector<MonospaceFace> faces;
    if (!FcInit())
        return faces;
    std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> pattern(FcPatternCreate(), FcPatternDestroy);
    std::unique_ptr<FcObjectSet, decltype(&FcObjectSetDestroy)> objects(
        FcObjectSetBuild(FC_FAMILY, FC_POSTSCRIPT_NAME, FC_WEIGHT, FC_SLANT, FC_SPACING, FC_CHARSET, FC_COLOR, nullptr),
        FcObjectSetDestroy);
    if (!pattern || !objects)
        return faces;
    FcPatternAddInteger(pattern.get(), FC_SPACING, FC_MONO);
    std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> set(FcFontList(nullptr, pattern.get(), objects.get()),
                                                                FcFontSetDestroy);
    if (!set)
        return faces;
    struct Best {
        MonospaceFace face;
        int rank;
    };
    std::map<QString, Best> byFamily;
    for (int i = 0; i < set->nfont; ++i) {
        FcPattern* p = set->fonts[i];
        const QString family = text(p, FC_FAMILY);
        const QString name = text(p, FC_POSTSCRIPT_NAME);
        FcBool color = FcFalse;
        // Colour fonts (emoji) call themselves monospaced but draw no text.
        if (family.isEmpty() || name.isEmpty() || (FcPatternGetBool(p, FC_COLOR, 0, &color) == FcResultMatch && color))
            continue;
        FcCharSet* chars = nullptr;
        const bool nerd = FcPatternGetCharSet(p, FC_CHARSET, 0, &chars) == FcResultMatch && chars &&
                          FcCharSetHasChar(chars, powerlineGlyph) && FcCharSetHasChar(chars, iconGlyph);
        const int rank = faceRank(p);
        auto it = byFamily.find(family);
        if (it == byFamily.end() || rank < it->second.rank)
            byFamily[family] = Best{MonospaceFace{family, name, nerd}, rank};
    }
    faces.reserve(byFamily.size());
    for (auto& [family, best] : byFamily)
        faces.push_back(std::move(best.face));
    std::stable_sort(faces.begin(), faces.end(), [](const MonospaceFace& a, const MonospaceFace& b) {
        return a.family.compare(b.family, Qt::CaseInsensitive) < 0;
    });
    return faces;
}

}  // namespace

const std::vector<MonospaceFace>& monospaceFaces(bool reload)
{
    static std::vector<MonospaceFace> faces = readFaces();
    static bool first = true;
    if (reload && !first)
        faces = readFaces();
    first = false;
    return faces;
}

}  // namespace quillmar
