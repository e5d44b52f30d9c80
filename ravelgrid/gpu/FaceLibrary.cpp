#include "ravelgrid/gpu/FaceLibrary.h"

#include "platform/Log.h"

#include <fontconfig/fontconfig.h>

namespace ravelgrid {
namespace {

struct PatternDeleter {
    void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;

std::string fcString(FcPattern* pattern, const char* object)
{
    FcChar8* value = nullptr;
    if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || !value)
        return {};
    return reinterpret_cast<const char*>(value);
}

}  // namespace

FaceLibrary::FaceLibrary() : library_(std::make_shared<FreeTypeLibraryHandle>())
{}

std::shared_ptr<GpuFace> FaceLibrary::open(const std::string& file, int index, const std::string& postScriptName,
                                           FaceSynthesis synthesis)
{
    if (!ok() || file.empty())
        return nullptr;
    FT_Face face = nullptr;
    if (FT_New_Face(library_->library, file.c_str(), FT_Long(index), &face) != 0 || !face) {
        platform::logWarning("MetalAtlas", "font file cannot be opened: " + file);
        return nullptr;
    }
    if (FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0 && face->num_charmaps > 0)
        FT_Set_Charmap(face, face->charmaps[0]);
    return std::make_shared<GpuFace>(library_, face, postScriptName, synthesis);
}

std::shared_ptr<GpuFace> FaceLibrary::face(std::string_view postScriptName, FaceSynthesis synthesis)
{
    std::string name(postScriptName);
    std::string key = GpuFace::keyFor(name, synthesis);
    if (auto it = faces_.find(key); it != faces_.end())
        return it->second;
    if (faces_.size() >= maxFaces) {
        // Faces in use stay alive through their fonts; only the index goes.
        faces_.clear();
    }
    std::shared_ptr<GpuFace> result;
    Pattern pattern(FcPatternCreate());
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, FC_POSTSCRIPT_NAME, nullptr);
    if (pattern && objects) {
        FcPatternAddString(pattern.get(), FC_POSTSCRIPT_NAME, reinterpret_cast<const FcChar8*>(name.c_str()));
        if (FcFontSet* set = FcFontList(nullptr, pattern.get(), objects)) {
            for (int i = 0; i < set->nfont && !result; ++i) {
                FcPattern* font = set->fonts[i];
                if (fcString(font, FC_POSTSCRIPT_NAME) != name)
                    continue;
                int index = 0;
                FcPatternGetInteger(font, FC_INDEX, 0, &index);
                result = open(fcString(font, FC_FILE), index, name, synthesis);
            }
            FcFontSetDestroy(set);
        }
    }
    if (objects)
        FcObjectSetDestroy(objects);
    faces_.emplace(std::move(key), result);
    return result;
}

std::shared_ptr<GpuFace> FaceLibrary::faceNamed(std::string_view family, std::string_view style)
{
    std::string key = std::string(family) + '\n' + std::string(style);
    if (auto it = matches_.find(key); it != matches_.end())
        return it->second.empty() ? nullptr : face(it->second);
    if (matches_.size() >= maxFaces)
        matches_.clear();
    std::string name;
    Pattern pattern(FcPatternCreate());
    FcObjectSet* objects = FcObjectSetBuild(FC_POSTSCRIPT_NAME, nullptr);
    if (pattern && objects) {
        const std::string f(family), st(style);
        FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(f.c_str()));
        FcPatternAddString(pattern.get(), FC_STYLE, reinterpret_cast<const FcChar8*>(st.c_str()));
        if (FcFontSet* set = FcFontList(nullptr, pattern.get(), objects)) {
            for (int i = 0; i < set->nfont && name.empty(); ++i)
                name = fcString(set->fonts[i], FC_POSTSCRIPT_NAME);
            FcFontSetDestroy(set);
        }
    }
    if (objects)
        FcObjectSetDestroy(objects);
    matches_.emplace(std::move(key), name);
    return name.empty() ? nullptr : face(name);
}

std::shared_ptr<GpuFace> FaceLibrary::faceFor(std::string_view family, bool bold, bool italic)
{
    std::string key(family);
    key.push_back(bold ? 'b' : '-');
    key.push_back(italic ? 'i' : '-');
    if (auto it = matches_.find(key); it != matches_.end())
        return it->second.empty() ? nullptr : face(it->second);
    if (matches_.size() >= maxFaces)
        matches_.clear();
    std::string name = matchFor(family, bold, italic);
    matches_.emplace(std::move(key), name);
    return name.empty() ? nullptr : face(name);
}

std::string FaceLibrary::matchFor(std::string_view family, bool bold, bool italic)
{
    Pattern pattern(FcPatternCreate());
    if (!pattern)
        return {};
    const std::string f(family);
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(f.c_str()));
    FcPatternAddInteger(pattern.get(), FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern.get(), FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(nullptr, pattern.get(), &result));
    if (!match)
        return {};
    return fcString(match.get(), FC_POSTSCRIPT_NAME);
}

std::optional<GpuFont> FaceLibrary::font(std::string_view postScriptName, double pixelSize)
{
    std::shared_ptr<GpuFace> f = face(postScriptName);
    if (!f)
        return std::nullopt;
    return GpuFont(std::move(f), pixelSize);
}

}  // namespace ravelgrid
