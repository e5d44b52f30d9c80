#pragma once

#include "ravelgrid/gpu/GpuFace.h"

#include <string>

namespace ravelgrid {

// Picks the face for a character the base face lacks, so that the GPU path
// and the painter agree on fallbacks.
class FallbackChooser {
public:
    virtual ~FallbackChooser() = default;
    // The PostScript name of the face to use; empty when no installed font
    // has the character. `emoji`: a colour face is wanted (U+FE0F follows).
    virtual std::string fallbackFace(const GpuFont& base, char32_t ch, bool emoji) = 0;
};

}  // namespace ravelgrid
