#pragma once

#include <cstdint>
#include <span>

#include "ravelgrid/terminal/ParserHandler.h"

namespace ravelgrid {

// Receives one DCS string: hook at its final byte, put for each run of data,
// unhook at the string terminator. A string cut short never sees unhook.
class DcsHandler {
public:
    virtual ~DcsHandler() = default;
    virtual void hook(std::span<const uint8_t> collect, const CsiParams& params, uint8_t final) = 0;
    virtual void put(std::span<const uint8_t> data) = 0;
    virtual void unhook() = 0;
};

}  // namespace ravelgrid
