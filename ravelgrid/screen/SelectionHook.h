#pragma once

#include "ravelgrid/screen/Position.h"

namespace ravelgrid {

// What the terminal needs of a live text selection: it tells it when lines
// of the active buffer move, and reads or resets it. The selection module
// implements it; the terminal keeps the registered ones weakly.
class SelectionHook {
public:
    virtual ~SelectionHook() = default;

    // Lines of ring rows top..bottom moved by delta rows (+1 = up one row).
    // Only an active selection is told: an inactive one has nothing to move.
    virtual void adjustForScroll(int top, int bottom, int delta) = 0;

    virtual bool active() const = 0;
    virtual void setActive(bool active) = 0;
    virtual Position start() const = 0;
    virtual void setStart(Position p) = 0;
    virtual Position end() const = 0;
    virtual void setEnd(Position p) = 0;
    // Clears pivot and anchors, stops row selection, back to character mode.
    virtual void invalidate() = 0;
};

}  // namespace ravelgrid
