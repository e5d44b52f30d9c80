#pragma once

#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/terminal/TerminalTypes.h"

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace ravelgrid {

class Buffer;
class Terminal;

// Puts pictures on a terminal's grid at the cursor, one strip per cell row,
// and keeps what they hold within a byte budget: a child can send picture
// after picture, so the oldest are dropped from the screen first.
class ImageInsertion {
public:
    static constexpr size_t kMaxImageBytes = size_t{256} << 20;
    // Each picture counts at least this much, so that a flood of tiny ones
    // is bounded too.
    static constexpr size_t kPictureOverheadBytes = 4096;
    // A line keeps at most this many strips; the oldest give way. A child
    // that puts picture after picture on one line cannot make placing or
    // drawing that line ever slower.
    static constexpr size_t kMaxImagesPerLine = 256;

    explicit ImageInsertion(size_t budgetBytes = kMaxImageBytes) : budget_(budgetBytes) {}

    // Scales the picture to the requests, attaches its strips to the lines
    // from the cursor down (a line feed after each) and puts the cursor back
    // in its column. False, with nothing changed, for a size that cannot be
    // placed.
    bool insert(Terminal& terminal, const QImage& image, ImageSizeRequest width, ImageSizeRequest height,
                bool preserveAspectRatio, const ImagePlacementMetrics& metrics);

    // Bytes of the pictures still on a buffer line.
    size_t bytes();
    // Strips, rows and placed pictures looked at to place pictures and keep
    // their budget, over its life: a picture costs about a line's worth of
    // strips, however many came before it.
    uint64_t visits() const { return visits_; }

private:
    struct Placed {
        std::weak_ptr<const QImage> picture;
        size_t bytes = 0;
    };

    void forgetDropped();
    void removeStrips(Buffer& buffer, const QImage* picture);

    std::deque<Placed> placed_;
    size_t bytes_ = 0;
    size_t budget_;
    uint64_t visits_ = 0;
};

}  // namespace ravelgrid
