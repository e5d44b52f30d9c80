#pragma once

#include <cstdint>

namespace ravelgrid {

enum class BidiSupportMode : uint8_t { implicit = 0, explicit_ = 1 };
enum class BidiDirection : uint8_t { leftToRight, rightToLeft };

// Per-row bidirectional presentation settings. The screen model only stores
// and copies the value; the drawing code gives it meaning.
struct BidiPresentationState {
    BidiSupportMode supportMode = BidiSupportMode::implicit;
    bool autodetectDirection = false;
    BidiDirection fallbackDirection = BidiDirection::leftToRight;
    bool boxMirroring = false;

    friend bool operator==(const BidiPresentationState&, const BidiPresentationState&) = default;
};

}  // namespace ravelgrid
