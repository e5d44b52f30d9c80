#pragma once

#include "ravelgrid/protocols/SixelImage.h"
#include "ravelgrid/terminal/DcsHandler.h"

#include <cstdint>
#include <span>
#include <vector>

namespace ravelgrid {

class Terminal;

// One sixel DCS string: gathers its data and, at its end, hands the decoded
// picture to the terminal's delegate (createImageFromBitmap), which decides
// what becomes of it. A string over the payload cap yields no picture.
class SixelDcsHandler final : public DcsHandler {
public:
    explicit SixelDcsHandler(Terminal& terminal, const SixelLimits& limits = {});

    void hook(std::span<const uint8_t> collect, const CsiParams& params, uint8_t final) override;
    void put(std::span<const uint8_t> data) override;
    void unhook() override;

private:
    Terminal& terminal_;
    SixelLimits limits_;
    std::vector<uint8_t> data_;
    bool overflow_ = false;
};

}  // namespace ravelgrid
