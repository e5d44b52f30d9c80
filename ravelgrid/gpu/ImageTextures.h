#pragma once

#include "ravelgrid/gpu/GpuBackend.h"

#include <QImage>
#include <QSize>
#include <QSizeF>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace ravelgrid {

class KittyGraphicsPayload;
class PictureJobs;
struct KittyGraphicsImage;
class KittyGraphicsState;
class TerminalImage;

// FNV-1a over the first min(limit, size) bytes; 0 for none.
std::uint32_t fnv1a32(std::span<const std::uint8_t> bytes, std::size_t limit);

// What a kitty texture was made from. The content revision is the store's
// own count, so new pixels of the same size and head still differ.
struct KittyImageSignature {
    std::uint8_t kind = 0;  // 1 PNG, 2 RGBA
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::size_t byteCount = 0;
    std::uint32_t headHash = 0;
    std::uint64_t contentRevision = 0;
    bool operator==(const KittyImageSignature&) const = default;

    static KittyImageSignature make(const KittyGraphicsImage& image);
};

// An image in the corner of a square texture: its texels cover
// (0, 0)...(width / side, height / side), the image's bottom row first so a
// quad with v growing upward shows it upright.
struct ImageTexture {
    std::shared_ptr<GpuTexture> texture;
    int width = 0;
    int height = 0;
    // The picture's own size when the texels are a smaller copy; 0: theirs.
    int sourceWidth = 0;
    int sourceHeight = 0;
    double uExtent() const;
    double vExtent() const;
    int shownWidth() const { return sourceWidth > 0 ? sourceWidth : width; }
    int shownHeight() const { return sourceHeight > 0 ? sourceHeight : height; }
};

// Straight RGBA rows (top first) into premultiplied BGRA rows, bottom first:
// the one conversion every image texture goes through. Nothing when the
// bytes are short of width * height * 4 or a side is not positive.
std::optional<std::vector<std::uint8_t>> premultipliedTexels(std::span<const std::uint8_t> rgba, std::int64_t width,
                                                             std::int64_t height);

// Uploads width x height premultiplied BGRA texels; nothing when a side
// exceeds the backend's limit or the backend refuses.
std::optional<ImageTexture> uploadImageTexture(GpuBackend& backend, std::span<const std::uint8_t> texels, int width,
                                               int height);

// The renderer's two image caches: kitty images by id, checked against the
// payload's signature, and line images by identity (weakly held, so a
// released picture's texture goes at the next prune). Failures are not
// remembered: a later frame tries again.
//
// Large kitty pictures are made on a worker thread, shrunk to the detail
// they are drawn with: nothing is drawn for one until it is ready (or, for a
// new size, its older texture is), then the ready callback asks for a frame.
class ImageTextureCache {
public:
    explicit ImageTextureCache(GpuBackend& backend);
    ~ImageTextureCache();

    // `detail`: the device pixels the picture covers at most, in each axis;
    // empty: its own size.
    std::optional<ImageTexture> kittyTexture(const KittyGraphicsState* state, std::uint32_t imageId,
                                             QSizeF detail = {});
    // A line image: a picture the view made (sixel, inline images) or a
    // kitty placement's own, possibly cropped, payload.
    std::optional<ImageTexture> imageTexture(const std::shared_ptr<const TerminalImage>& image, QSizeF detail = {});

    // Drops kitty textures whose id left the state (all of them without a
    // state) and line-image textures whose image was released. True when
    // pictures made on a worker arrived: rows drawn without them are stale.
    bool prune(const KittyGraphicsState* state);

    // Runs on this thread when a picture made on a worker is ready.
    void setPictureReadyCallback(std::function<void()> ready);
    std::size_t pendingPictureCount() const;

    std::size_t kittyCount() const { return kitty_.size(); }
    std::size_t lineImageCount() const { return lineImages_.size(); }
    // Textures of kitty cells' pictures: one per picture, however many
    // lines its cells cover.
    std::size_t kittyPictureCount() const { return kittyPictures_.size(); }

private:
    struct KittyEntry {
        KittyImageSignature signature;
        ImageTexture texture;
    };
    struct LineEntry {
        std::weak_ptr<const TerminalImage> image;
        ImageTexture texture;
    };
    struct PictureEntry {
        std::weak_ptr<const std::vector<std::uint8_t>> bytes;
        ImageTexture texture;
    };
    // A large picture made on a worker, waiting for its upload.
    struct Prepared {
        std::weak_ptr<const std::vector<std::uint8_t>> bytes;
        QSize size;
        std::shared_ptr<const QImage> image;  // null: the bytes did not decode
        int age = 0;                          // prunes since it arrived
    };

    GpuBackend& backend_;
    std::unordered_map<std::uint32_t, KittyEntry> kitty_;
    std::map<const TerminalImage*, LineEntry> lineImages_;
    // By the pixels' shared bytes: evicted pixels leave with the next prune.
    std::unordered_map<const void*, PictureEntry> kittyPictures_;

    std::unique_ptr<PictureJobs> jobs_;
    std::function<void()> ready_;
    std::multimap<const void*, Prepared> prepared_;

    std::optional<ImageTexture> payloadTexture(const KittyGraphicsPayload& payload, QSizeF detail);
    // The texel size of a large payload drawn with that detail; nothing for
    // a small one (made here, at its own size).
    std::optional<QSize> largeTextureSize(const KittyGraphicsPayload& payload, QSizeF detail) const;
    std::optional<ImageTexture> largePayloadTexture(const KittyGraphicsPayload& payload, QSize size);
    std::optional<ImageTexture> pictureTexture(const QImage& picture);
};

}  // namespace ravelgrid
