#pragma once

#include "ravelgrid/gpu/GpuFace.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ravelgrid {

// Opens faces by PostScript name through fontconfig (its file and index),
// once each. Main thread only.
class FaceLibrary {
public:
    static constexpr std::size_t maxFaces = 256;

    FaceLibrary();
    bool ok() const { return library_->library != nullptr; }

    // Nothing when no installed font has this PostScript name. A face
    // synthesised another way is a face of its own.
    std::shared_ptr<GpuFace> face(std::string_view postScriptName, FaceSynthesis synthesis = {});
    // The installed face of a family with exactly this style name.
    std::shared_ptr<GpuFace> faceNamed(std::string_view family, std::string_view style);
    // fontconfig's best match for a family at a weight and slant.
    std::shared_ptr<GpuFace> faceFor(std::string_view family, bool bold, bool italic);
    std::optional<GpuFont> font(std::string_view postScriptName, double pixelSize);

private:
    std::shared_ptr<GpuFace> open(const std::string& file, int index, const std::string& postScriptName,
                                  FaceSynthesis synthesis);
    static std::string matchFor(std::string_view family, bool bold, bool italic);

    std::shared_ptr<FreeTypeLibraryHandle> library_;
    // By key (name and synthesis); null entries remember names no font has.
    std::unordered_map<std::string, std::shared_ptr<GpuFace>> faces_;
    // fontconfig's answers by family, weight and slant: asked for every
    // row drawn, and matching is slow. Bounded like faces_.
    std::unordered_map<std::string, std::string> matches_;
};

}  // namespace ravelgrid
