#include "ravelgrid/drawing/PlatformImage.h"

#include "ravelgrid/drawing/CellMetrics.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravelgrid {
namespace {

bool sideAccepted(int64_t side)
{
    return side > 0 && side <= kMaxImageSide;
}

bool rgbaLengthAccepted(size_t size, int64_t width, int64_t height)
{
    if (!sideAccepted(width) || !sideAccepted(height))
        return false;
    // Both sides are at most 10^4, so the product cannot overflow.
    return size >= size_t(width) * size_t(height) * 4;
}

std::optional<qreal> requested(ImageSizeRequest r, qreal cellExtent, qreal viewExtent)
{
    switch (r.kind) {
    case ImageSizeRequest::Kind::cells: return r.value * cellExtent;
    case ImageSizeRequest::Kind::pixels: return qreal(r.value);
    case ImageSizeRequest::Kind::percent: return r.value * 0.01 * viewExtent;
    case ImageSizeRequest::Kind::automatic: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

void sortImagesForDrawing(std::vector<ImageDrawEntry>& entries)
{
    std::stable_sort(entries.begin(), entries.end(), [](const ImageDrawEntry& a, const ImageDrawEntry& b) {
        if (a.zIndex != b.zIndex)
            return a.zIndex < b.zIndex;
        return a.imageId.value_or(0) < b.imageId.value_or(0);
    });
}

QRectF aspectFitRect(QSizeF imageSize, const QRectF& rect)
{
    if (!(imageSize.width() > 0 && imageSize.height() > 0 && rect.width() > 0 && rect.height() > 0))
        return rect;
    const qreal scale = std::min(rect.width() / imageSize.width(), rect.height() / imageSize.height());
    const qreal w = imageSize.width() * scale;
    const qreal h = imageSize.height() * scale;
    return QRectF(rect.x() + (rect.width() - w) * 0.5, rect.y() + (rect.height() - h) * 0.5, w, h);
}

std::optional<QImage> imageFromRgba(std::vector<uint8_t>&& rgba, int64_t width, int64_t height)
{
    if (!rgbaLengthAccepted(rgba.size(), width, height))
        return std::nullopt;
    // The pixels move into the image without a copy.
    auto* owned = new std::vector<uint8_t>(std::move(rgba));
    QImage image(
        owned->data(), int(width), int(height), int(width) * 4, QImage::Format_RGBA8888,
        [](void* info) { delete static_cast<std::vector<uint8_t>*>(info); }, owned);
    if (image.isNull()) {
        delete owned;
        return std::nullopt;
    }
    return image;
}

std::optional<QImage> imageFromRgba(std::span<const uint8_t> rgba, int64_t width, int64_t height)
{
    if (!rgbaLengthAccepted(rgba.size(), width, height))
        return std::nullopt;
    // Straight alpha: QPainter blends it as such.
    QImage image(rgba.data(), int(width), int(height), int(width) * 4, QImage::Format_RGBA8888);
    QImage copy = image.copy();
    if (copy.isNull())
        return std::nullopt;
    return copy;
}

std::optional<QImage> imageFromEncoded(std::span<const uint8_t> data)
{
    if (data.empty() || data.size() > size_t(std::numeric_limits<int>::max()))
        return std::nullopt;
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    QBuffer device(&bytes);
    device.open(QIODevice::ReadOnly);
    QImageReader reader(&device);
    const QSize size = reader.size();
    if (!size.isValid() || !sideAccepted(size.width()) || !sideAccepted(size.height()))
        return std::nullopt;
    QImage image;
    if (!reader.read(&image) || image.isNull() || !sideAccepted(image.width()) || !sideAccepted(image.height()))
        return std::nullopt;
    return image;
}

std::optional<QSizeF> placedImageSize(QSize natural, ImageSizeRequest widthRequest, ImageSizeRequest heightRequest,
                                      bool preserveAspectRatio, const ImagePlacementMetrics& m)
{
    const qreal scale = m.scale > 0 ? m.scale : 1.0;
    if (natural.width() <= 0 || natural.height() <= 0)
        return std::nullopt;
    const auto w = requested(widthRequest, m.cell.width(), m.view.width());
    const auto h = requested(heightRequest, m.cell.height(), m.view.height());
    qreal width = w.value_or(natural.width() / scale);
    qreal height = h.value_or(natural.height() / scale);
    if (preserveAspectRatio) {
        if (w && !h)
            height = natural.height() * width / natural.width();
        else if (h && !w)
            width = natural.width() * height / natural.height();
    }
    auto accepted = [scale](qreal v) {
        return std::isfinite(v) && v > 0 && v * scale <= kMaxImageSide + 0.5 && roundHalfAwayFromZero(v * scale) >= 1;
    };
    if (!accepted(width) || !accepted(height))
        return std::nullopt;
    return QSizeF(width, height);
}

namespace {

// An opaque picture is kept without its alpha channel: drawing it is then a
// plain copy.
QImage withoutUnusedAlpha(QImage image)
{
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        return image;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(line[x]) != 255)
                return image;
    }
    image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}

}  // namespace

std::shared_ptr<const QImage> renderPlacedPicture(const QImage& source, QSizeF placed, qreal scale, bool fitInside)
{
    const qreal s = scale > 0 ? scale : 1.0;
    const int w = std::max(1, int(roundHalfAwayFromZero(placed.width() * s)));
    const int h = std::max(1, int(roundHalfAwayFromZero(placed.height() * s)));
    if (w > kMaxImageSide || h > kMaxImageSide || source.isNull())
        return nullptr;
    // Kept premultiplied, the format QPainter blends fastest; the straight
    // alpha of the source is converted, not reinterpreted.
    constexpr QImage::Format drawn = QImage::Format_ARGB32_Premultiplied;
    if (source.width() == w && source.height() == h)
        return std::make_shared<const QImage>(withoutUnusedAlpha(source.convertToFormat(drawn)));
    if (!fitInside)
        return std::make_shared<const QImage>(withoutUnusedAlpha(
            source.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(drawn)));
    QImage canvas(w, h, drawn);
    if (canvas.isNull())
        return nullptr;
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(aspectFitRect(QSizeF(source.size()), QRectF(0, 0, w, h)), source);
    painter.end();
    return std::make_shared<const QImage>(std::move(canvas));
}

std::vector<std::shared_ptr<PlatformImage>> makeImageStrips(std::shared_ptr<const QImage> picture, QSizeF placed,
                                                            int col, const ImagePlacementMetrics& m)
{
    std::vector<std::shared_ptr<PlatformImage>> strips;
    if (!picture || !(m.cell.height() > 0))
        return strips;
    const qreal s = m.scale > 0 ? m.scale : 1.0;
    const int rows = std::max(1, int(std::ceil(placed.height() / m.cell.height() - 1e-9)));
    const int bandHeight = std::max(1, int(roundHalfAwayFromZero(m.cell.height() * s)));
    strips.reserve(size_t(rows));
    for (int r = 0; r < rows; ++r) {
        auto strip = std::make_shared<PlatformImage>();
        strip->picture = picture;
        strip->bandTop = r * bandHeight;
        strip->bandHeight = bandHeight;
        strip->pixelWidth = placed.width();
        strip->pixelHeight = m.cell.height();
        strip->col = col;
        strips.push_back(std::move(strip));
    }
    return strips;
}

}  // namespace ravelgrid
