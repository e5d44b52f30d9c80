#pragma once

#include <cstdint>

namespace ravelgrid {

// Which links the view looks up under the pointer.
enum class LinkReporting : uint8_t { none, explicitOnly, implicit };

// When links are highlighted: under the pointer (with Ctrl held for the
// "WithModifier" modes), or always underlined (OSC 8 links only).
enum class LinkHighlightMode : uint8_t { hover, hoverWithModifier, always, alwaysWithModifier };

}  // namespace ravelgrid
