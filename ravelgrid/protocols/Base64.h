#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ravelgrid {

// Standard-alphabet base64. Bytes outside the alphabet (line breaks, spaces,
// URL-safe characters) are skipped; what remains must form whole groups of
// four. A padded group may be followed by more groups, so chunks that were
// each padded by the client still join into one stream.
std::optional<std::vector<uint8_t>> decodeBase64(std::span<const uint8_t> text);

}  // namespace ravelgrid
