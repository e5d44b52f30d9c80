#pragma once

#include "ravelgrid/screen/TerminalImage.h"
#include "ravelgrid/terminal/TerminalTypes.h"

#include <QImage>
#include <QRectF>
#include <QSizeF>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ravelgrid {

// The largest picture side accepted, in pixels: requests and data beyond it
// come from a confused or hostile child and are refused.
inline constexpr int kMaxImageSide = 10'000;

// One strip of a picture placed on the grid (sixel, inline images): the
// strip of one buffer line. All strips of a placement share one picture,
// already scaled to device pixels; each shows its band of it.
class PlatformImage final : public TerminalImage {
public:
    std::shared_ptr<const QImage> picture;
    int bandTop = 0;        // first picture row of this strip, device pixels
    int bandHeight = 0;     // device pixels; the last band may reach past the picture
    qreal pixelWidth = 0;   // logical width as placed
    qreal pixelHeight = 0;  // logical height: one cell
    int col = 0;

    bool kittyIsKitty = false;
    std::optional<uint32_t> kittyImageId;
    std::optional<uint32_t> kittyImageNumber;
    std::optional<uint32_t> kittyPlacementId;
    int kittyZIndex = 0;
    int kittyCol = 0;
    int kittyRow = 0;
    int kittyCols = 0;
    int kittyRows = 0;
    int kittyPixelOffsetX = 0;
    int kittyPixelOffsetY = 0;
};

// An image about to be drawn, with what orders it.
struct ImageDrawEntry {
    int zIndex = 0;
    std::optional<uint32_t> imageId;
    const TerminalImage* image = nullptr;
};

// Stable: z-index ascending, then image id ascending (a missing id is 0).
void sortImagesForDrawing(std::vector<ImageDrawEntry>& entries);

// Fits a size into a rectangle keeping its aspect, centred; the rectangle
// itself when either has no area.
QRectF aspectFitRect(QSizeF imageSize, const QRectF& rect);

// Straight-alpha RGBA (rows top to bottom). Nothing for a side of 0, below 0
// or over kMaxImageSide, or fewer bytes than width x height x 4.
std::optional<QImage> imageFromRgba(std::vector<uint8_t>&& rgba, int64_t width, int64_t height);
std::optional<QImage> imageFromRgba(std::span<const uint8_t> rgba, int64_t width, int64_t height);

// PNG and the other formats Qt reads; the header's size is checked before
// any pixel is decoded.
std::optional<QImage> imageFromEncoded(std::span<const uint8_t> data);

// What a placement's requests come to, in logical pixels.
struct ImagePlacementMetrics {
    QSizeF cell;
    QSizeF view;
    qreal scale = 1;
};

// The placed size of a picture of the given natural size (device pixels).
// Nothing when a side comes out not finite, not above 0, or over
// kMaxImageSide device pixels.
std::optional<QSizeF> placedImageSize(QSize natural, ImageSizeRequest width, ImageSizeRequest height,
                                      bool preserveAspectRatio, const ImagePlacementMetrics& metrics);

// The picture at the placed size in device pixels; with `fitInside` it is
// scaled to fit and centred, else stretched. Pictures already that size are
// shared as they are.
std::shared_ptr<const QImage> renderPlacedPicture(const QImage& source, QSizeF placed, qreal scale, bool fitInside);

// One strip per cell row of the placed picture.
std::vector<std::shared_ptr<PlatformImage>> makeImageStrips(std::shared_ptr<const QImage> picture, QSizeF placed,
                                                            int col, const ImagePlacementMetrics& metrics);

}  // namespace ravelgrid
