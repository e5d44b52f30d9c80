#pragma once

#include "ravelgrid/protocols/KittyGraphicsPayload.h"
#include "ravelgrid/screen/TerminalImage.h"

#include <cstdint>
#include <optional>

namespace ravelgrid {

// One line's share of a kitty placement: every line the placement covers
// holds one of these in its images. Hosts draw the picture from it (the
// placement's rows from `kittyRowOffset` on this line); images of any other
// class are never taken for kitty cells.
class KittyPlacementImage final : public TerminalImage {
public:
    explicit KittyPlacementImage(KittyGraphicsPayload picture) : picture(std::move(picture)) {}

    // PNG bytes as transmitted, or straight RGBA after a crop.
    KittyGraphicsPayload picture;
    std::optional<uint32_t> kittyImageId;
    std::optional<uint32_t> kittyImageNumber;
    std::optional<uint32_t> kittyPlacementId;
    int kittyZIndex = 0;
    // The placement's left column and size in cells (a size of 0: unknown,
    // taken as 1 when testing positions).
    int kittyCol = 0;
    int kittyCols = 0;
    int kittyRows = 0;
    // The size in cells the client asked for (0: none asked); the picture
    // is drawn stretched to it, else at its own size.
    int kittyRequestedCols = 0;
    int kittyRequestedRows = 0;
    // Which of the placement's rows this line shows; the placement's top
    // line is the holding line's index minus this, so it stays right however
    // the ring moves.
    int kittyRowOffset = 0;
    int pixelOffsetX = 0;
    int pixelOffsetY = 0;
};

}  // namespace ravelgrid
