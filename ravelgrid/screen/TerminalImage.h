#pragma once

#include <memory>
#include <optional>
#include <vector>

namespace ravelgrid {

// An image placed on buffer lines. The screen model only stores, copies and
// drops these; the graphics and view code create and read them.
class TerminalImage {
public:
    virtual ~TerminalImage() = default;
};

using TerminalImagePtr = std::shared_ptr<TerminalImage>;
using TerminalImageList = std::vector<TerminalImagePtr>;

// An image in a cell, with an optional requested size in cells.
struct ImageCell {
    TerminalImagePtr image;
    std::optional<int> width;
    std::optional<int> height;

    explicit ImageCell(TerminalImagePtr img) : image(std::move(img)) {}
};

}  // namespace ravelgrid
