#include "ravelgrid/gpu/ImageTextures.h"

#include "ravelgrid/drawing/PictureJobs.h"
#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/protocols/KittyGraphicsState.h"
#include "ravelgrid/protocols/KittyPlacementImage.h"
#include "ravelgrid/protocols/KittyPng.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravelgrid {

std::uint32_t fnv1a32(std::span<const std::uint8_t> bytes, std::size_t limit)
{
    const std::size_t n = std::min(limit, bytes.size());
    if (n == 0)
        return 0;
    std::uint32_t h = 0x811C9DC5u;
    for (std::size_t i = 0; i < n; ++i) {
        h ^= bytes[i];
        h *= 0x01000193u;
    }
    return h;
}

KittyImageSignature KittyImageSignature::make(const KittyGraphicsImage& image)
{
    const KittyGraphicsPayload& p = image.payload;
    KittyImageSignature s;
    s.kind = p.isPng() ? 1 : 2;
    s.width = p.isPng() ? 0 : p.width();
    s.height = p.isPng() ? 0 : p.height();
    s.byteCount = p.byteSize();
    s.headHash = fnv1a32(p.bytes(), 64);
    s.contentRevision = image.contentRevision;
    return s;
}

double ImageTexture::uExtent() const
{
    return texture && texture->side() > 0 ? double(width) / texture->side() : 0;
}

double ImageTexture::vExtent() const
{
    return texture && texture->side() > 0 ? double(height) / texture->side() : 0;
}

std::optional<std::vector<std::uint8_t>> premultipliedTexels(std::span<const std::uint8_t> rgba, std::int64_t width,
                                                             std::int64_t height)
{
    if (width <= 0 || height <= 0 || width > kKittyMaxDimension || height > kKittyMaxDimension)
        return std::nullopt;
    const std::size_t w = std::size_t(width), h = std::size_t(height);
    if (rgba.size() / 4 / w < h)
        return std::nullopt;
    std::vector<std::uint8_t> out(w * h * 4);
    for (std::size_t row = 0; row < h; ++row) {
        const std::uint8_t* from = rgba.data() + row * w * 4;
        std::uint8_t* to = out.data() + (h - 1 - row) * w * 4;
        for (std::size_t x = 0; x < w; ++x, from += 4, to += 4) {
            const unsigned a = from[3];
            // Rounded, so full coverage stays exact and half alpha halves.
            auto mul = [a](unsigned c) { return std::uint8_t((c * a + 127) / 255); };
            to[0] = mul(from[2]);
            to[1] = mul(from[1]);
            to[2] = mul(from[0]);
            to[3] = std::uint8_t(a);
        }
    }
    return out;
}

std::optional<ImageTexture> uploadImageTexture(GpuBackend& backend, std::span<const std::uint8_t> texels, int width,
                                               int height)
{
    const std::optional<int> limit = backend.maxTextureSize();
    if (!limit || width <= 0 || height <= 0 || width > *limit || height > *limit)
        return std::nullopt;
    if (texels.size() / 4 / std::size_t(width) < std::size_t(height))
        return std::nullopt;
    const int side = std::max(width, height);
    auto texture = backend.makeTexture(GpuTextureFormat::bgra8, side);
    if (!texture || texture->side() < side)
        return std::nullopt;
    if (!backend.uploadRegion(*texture, {0, 0, width, height}, texels, std::size_t(width)))
        return std::nullopt;
    // Linear sampling reads half a texel past the last column (or row) of
    // a picture narrower (or shorter) than its square: repeat that column
    // (row) there, or the edge fades into texels nobody wrote.
    const std::size_t rowBytes = std::size_t(width) * 4;
    if (width < side &&
        !backend.uploadRegion(*texture, {width, 0, 1, height}, texels.subspan(rowBytes - 4), std::size_t(width)))
        return std::nullopt;
    if (height < side && !backend.uploadRegion(*texture, {0, height, width, 1},
                                               texels.subspan(rowBytes * std::size_t(height - 1)), std::size_t(width)))
        return std::nullopt;
    return ImageTexture{std::move(texture), width, height};
}

namespace {

// A texture made for less detail is made again; one with more serves, so
// placements of one picture at two sizes share the larger.
bool detailedEnough(const ImageTexture& texture, const std::optional<QSize>& wanted)
{
    return !wanted || (texture.width >= wanted->width() && texture.height >= wanted->height());
}

}  // namespace

ImageTextureCache::ImageTextureCache(GpuBackend& backend) : backend_(backend)
{}

ImageTextureCache::~ImageTextureCache() = default;

void ImageTextureCache::setPictureReadyCallback(std::function<void()> ready)
{
    ready_ = std::move(ready);
    if (jobs_)
        jobs_->setReady(ready_);
}

std::size_t ImageTextureCache::pendingPictureCount() const
{
    return jobs_ ? jobs_->pendingCount() : 0;
}

std::optional<ImageTexture> ImageTextureCache::kittyTexture(const KittyGraphicsState* state, std::uint32_t imageId,
                                                            QSizeF detail)
{
    if (!state)
        return std::nullopt;
    const auto found = state->imagesById.find(imageId);
    if (found == state->imagesById.end())
        return std::nullopt;
    const KittyImageSignature signature = KittyImageSignature::make(found->second);
    const auto hit = kitty_.find(imageId);
    const bool current = hit != kitty_.end() && hit->second.signature == signature;
    const auto large = largeTextureSize(found->second.payload, detail);
    if (current && detailedEnough(hit->second.texture, large))
        return hit->second.texture;

    auto texture = payloadTexture(found->second.payload, detail);
    if (!texture)
        // While a sharper one is made, the one there is.
        return current ? std::optional(hit->second.texture) : std::nullopt;
    kitty_.insert_or_assign(imageId, KittyEntry{signature, *texture});
    return texture;
}

std::optional<QSize> ImageTextureCache::largeTextureSize(const KittyGraphicsPayload& payload, QSizeF detail) const
{
    if (!isLargePicture(payload))
        return std::nullopt;
    const QSize natural = payloadPixelSize(payload).value_or(QSize(1, 1));
    double s = 1;
    if (detail.width() > 0 && detail.height() > 0)
        s = std::min(1.0, std::max(detail.width() / natural.width(), detail.height() / natural.height()));
    if (const std::optional<int> limit = backend_.maxTextureSize(); limit && *limit > 0)
        s = std::min({s, double(*limit) / natural.width(), double(*limit) / natural.height()});
    const auto side = [s](int n) { return std::max(1, int(std::ceil(n * s - 1e-6))); };
    return QSize(side(natural.width()), side(natural.height()));
}

std::optional<ImageTexture> ImageTextureCache::largePayloadTexture(const KittyGraphicsPayload& payload, QSize size)
{
    const auto& bytes = payload.sharedBytes();
    const QSize natural = payloadPixelSize(payload).value_or(QSize());
    const auto [first, last] = prepared_.equal_range(bytes.get());
    for (auto it = first; it != last; ++it) {
        Prepared& ready = it->second;
        if (ready.size != size || ready.bytes.lock() != bytes)
            continue;
        // A failure stays, so that it is not tried again every frame.
        if (!ready.image)
            return std::nullopt;
        const QImage& image = *ready.image;
        auto texture = uploadImageTexture(backend_, std::span(image.constBits(), std::size_t(image.sizeInBytes())),
                                          image.width(), image.height());
        if (!texture) {
            ready.image.reset();
            return std::nullopt;
        }
        prepared_.erase(it);
        texture->sourceWidth = natural.width();
        texture->sourceHeight = natural.height();
        return texture;
    }
    if (!jobs_) {
        jobs_ = std::make_unique<PictureJobs>();
        jobs_->setReady(ready_);
    }
    const bool png = payload.isPng();
    jobs_->request({bytes.get(), size}, bytes, [png, natural, size](std::span<const std::uint8_t> source) {
        std::optional<QImage> picture = preparePayloadPicture(source, png, natural, size);
        if (picture)
            // Premultiplied ARGB32 is BGRA in memory; textures go bottom row first.
            picture = std::move(*picture).mirrored(false, true);
        return picture;
    });
    return std::nullopt;
}

std::optional<ImageTexture> ImageTextureCache::payloadTexture(const KittyGraphicsPayload& payload, QSizeF detail)
{
    if (const auto large = largeTextureSize(payload, detail))
        return largePayloadTexture(payload, *large);
    std::optional<std::vector<std::uint8_t>> texels;
    std::int64_t width = payload.width(), height = payload.height();
    if (payload.isPng()) {
        const auto size = kittyPngPixelSize(payload.bytes());
        const std::optional<int> limit = backend_.maxTextureSize();
        // Refused before decoding: no point inflating what cannot be shown.
        if (!size || !limit || size->width > *limit || size->height > *limit)
            return std::nullopt;
        if (auto bitmap = kittyDecodePng(payload.bytes())) {
            width = bitmap->width;
            height = bitmap->height;
            texels = premultipliedTexels(bitmap->bytes, width, height);
        }
    } else {
        texels = premultipliedTexels(payload.bytes(), width, height);
    }
    if (!texels)
        return std::nullopt;
    return uploadImageTexture(backend_, *texels, int(width), int(height));
}

std::optional<ImageTexture> ImageTextureCache::imageTexture(const std::shared_ptr<const TerminalImage>& image,
                                                            QSizeF detail)
{
    if (!image)
        return std::nullopt;
    if (const auto* kitty = dynamic_cast<const KittyPlacementImage*>(image.get())) {
        const auto& bytes = kitty->picture.sharedBytes();
        std::optional<ImageTexture> older;
        if (auto hit = kittyPictures_.find(bytes.get()); hit != kittyPictures_.end()) {
            // The address may have been reused by newer pixels.
            if (hit->second.bytes.lock() != bytes) {
                kittyPictures_.erase(hit);
            } else if (detailedEnough(hit->second.texture, largeTextureSize(kitty->picture, detail))) {
                return hit->second.texture;
            } else {
                older = hit->second.texture;
            }
        }
        auto texture = payloadTexture(kitty->picture, detail);
        if (!texture)
            return older;
        kittyPictures_.insert_or_assign(bytes.get(), PictureEntry{bytes, *texture});
        return texture;
    }
    if (auto hit = lineImages_.find(image.get()); hit != lineImages_.end()) {
        // The address may have been reused by a newer image.
        if (hit->second.image.lock() == image)
            return hit->second.texture;
        lineImages_.erase(hit);
    }
    std::optional<ImageTexture> texture;
    if (const auto* placed = dynamic_cast<const PlatformImage*>(image.get());
        placed && placed->picture && !placed->picture->isNull()) {
        texture = pictureTexture(*placed->picture);
    }
    if (!texture)
        return std::nullopt;
    lineImages_.insert_or_assign(image.get(), LineEntry{image, *texture});
    return texture;
}

std::optional<ImageTexture> ImageTextureCache::pictureTexture(const QImage& picture)
{
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    const int w = rgba.width(), h = rgba.height();
    std::vector<std::uint8_t> straight(std::size_t(w) * std::size_t(h) * 4);
    for (int row = 0; row < h; ++row)
        std::copy_n(rgba.constScanLine(row), std::size_t(w) * 4,
                    straight.data() + std::size_t(row) * std::size_t(w) * 4);
    auto texels = premultipliedTexels(straight, w, h);
    if (!texels)
        return std::nullopt;
    return uploadImageTexture(backend_, *texels, w, h);
}

bool ImageTextureCache::prune(const KittyGraphicsState* state)
{
    bool arrived = false;
    if (jobs_) {
        for (PictureJobs::Finished& done : jobs_->takeFinished()) {
            if (done.source.expired())
                continue;
            prepared_.emplace(done.key.bytes, Prepared{done.source, done.key.size, std::move(done.image)});
            arrived = true;
        }
    }
    // Pictures nobody drew within two frames go; failures stay with their bytes.
    for (auto it = prepared_.begin(); it != prepared_.end();) {
        Prepared& p = it->second;
        if (p.bytes.expired() || (p.image && ++p.age > 2))
            it = prepared_.erase(it);
        else
            ++it;
    }
    if (!state)
        kitty_.clear();
    else
        std::erase_if(kitty_, [state](const auto& e) { return !state->imagesById.contains(e.first); });
    std::erase_if(lineImages_, [](const auto& e) { return e.second.image.expired(); });
    std::erase_if(kittyPictures_, [](const auto& e) { return e.second.bytes.expired(); });
    return arrived;
}

}  // namespace ravelgrid
