#include "ravelgrid/view/TerminalView.h"

namespace ravelgrid {

// Pictures from the child (sixel, inline images): decoded with their sizes
// checked, then placed at the cursor.

bool TerminalView::insertImage(const QImage& image, ImageSizeRequest width, ImageSizeRequest height,
                               bool preserveAspectRatio)
{
    if (!cellDimension_)
        return false;
    ImagePlacementMetrics metrics;
    metrics.cell = *cellDimension_;
    metrics.view = QSizeF(size());
    metrics.scale = backingScale();
    return images_.insert(*terminal_, image, width, height, preserveAspectRatio, metrics);
}

void TerminalView::createImageFromBitmap(Terminal&, std::vector<uint8_t>& rgba, int width, int height)
{
    std::optional<QImage> image = imageFromRgba(std::move(rgba), width, height);
    if (!image)
        return;
    // A picture wider than the view is fitted to its width.
    const bool wider = width / backingScale() > qreal(this->width()) && this->width() > 0;
    const ImageSizeRequest w = wider ? ImageSizeRequest{ImageSizeRequest::Kind::percent, 100} : ImageSizeRequest{};
    insertImage(*image, w, ImageSizeRequest{}, true);
}

void TerminalView::createImage(Terminal&, std::span<const uint8_t> data, ImageSizeRequest width,
                               ImageSizeRequest height, bool preserveAspectRatio)
{
    if (std::optional<QImage> image = imageFromEncoded(data))
        insertImage(*image, width, height, preserveAspectRatio);
}

}  // namespace ravelgrid
