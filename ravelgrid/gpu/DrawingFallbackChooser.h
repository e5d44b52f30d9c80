#pragma once

#include "ravelgrid/gpu/FallbackChooser.h"

#include <memory>
#include <string>
#include <string_view>

namespace ravelgrid {

// The painter's fallback choice (FallbackFonts) for the GPU path, named by
// PostScript name. Needs a QGuiApplication. Main thread only.
class DrawingFallbackChooser final : public FallbackChooser {
public:
    DrawingFallbackChooser();
    ~DrawingFallbackChooser() override;

    std::string fallbackFace(const GpuFont& base, char32_t ch, bool emoji) override;

    // Name ID 6 of an sfnt 'name' table; empty when it has none.
    static std::string postScriptNameFromNameTable(std::string_view table);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ravelgrid
