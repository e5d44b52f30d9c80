#pragma once

#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/gpu/FaceLibrary.h"

#include <cstdint>
#include <unordered_map>

namespace ravelgrid {

// The GPU path's font for a face of a font set: the very face the painter's
// raw font draws with, slanted or emboldened exactly where Qt synthesises
// that face because the family lacks it. Main thread only.
class FontSetFaces {
public:
    static constexpr std::size_t maxEntries = 64;

    explicit FontSetFaces(FaceLibrary& faces) : faces_(faces) {}

    // Invalid when no installed face can be opened.
    GpuFont font(const FontSet& fonts, FontFace face);

    // Qt's rule: a slant for an italic asked of an upright scalable face; a
    // bold for a bold asked of a lighter face that is neither fixed-pitch
    // nor asked at 64 pixels or more.
    static FaceSynthesis synthesisFor(const GpuFace& face, bool bold, bool italic, double pixelSize);

private:
    FaceLibrary& faces_;
    // By the set's face identity, which a new font set renews.
    std::unordered_map<std::uint64_t, GpuFont> chosen_;
};

}  // namespace ravelgrid
