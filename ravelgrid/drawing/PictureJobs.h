#pragma once

#include <QImage>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class QObject;

namespace ravelgrid {

class KittyGraphicsPayload;

// Sources above this many pixels are prepared away from the window's
// thread: converting and scaling them takes longer than a frame may.
inline constexpr int64_t kLargePicturePixels = int64_t(1) << 20;

// A kitty payload's own pixel size without decoding it (a PNG's from its
// header); nothing when it has none in range.
std::optional<QSize> payloadPixelSize(const KittyGraphicsPayload& payload);

// Whether a payload is large enough to be prepared on a worker.
bool isLargePicture(const KittyGraphicsPayload& payload);

// A payload's pixels at `size` device pixels, premultiplied ARGB32, scaled
// straight from the source bytes (a box filter when shrinking RGBA, so no
// natural-size copy is made). Nothing when the bytes do not decode. Safe on
// any thread.
std::optional<QImage> preparePayloadPicture(std::span<const uint8_t> bytes, bool png, QSize natural, QSize size);

// Large pictures prepared on worker threads (Qt's global pool) for one
// owner on the window's thread, a few at a time. The owner asks again each
// frame and draws nothing for a picture until it is ready; `ready` then runs
// on the owner's thread so that it draws again. A job holds its source bytes
// only while it works and skips its work when they were released or the
// owner is gone; results for a gone owner are dropped.
class PictureJobs {
public:
    struct Key {
        const void* bytes = nullptr;
        QSize size;
        bool operator==(const Key&) const = default;
    };
    struct Finished {
        Key key;
        std::weak_ptr<const std::vector<uint8_t>> source;
        std::shared_ptr<const QImage> image;  // null: the bytes did not decode
    };
    // Runs on a worker with the source bytes.
    using Prepare = std::function<std::optional<QImage>(std::span<const uint8_t>)>;

    // Jobs queued or running at once; later requests wait for a later frame.
    static constexpr size_t maxPending = 2;

    PictureJobs();
    ~PictureJobs();
    PictureJobs(const PictureJobs&) = delete;
    PictureJobs& operator=(const PictureJobs&) = delete;

    void setReady(std::function<void()> ready) { ready_ = std::move(ready); }

    // Starts a job unless one for the key is pending or finished and not yet
    // taken, or maxPending are; true when it is pending afterwards.
    bool request(Key key, const std::shared_ptr<const std::vector<uint8_t>>& source, Prepare prepare);
    // What finished since the last call, for the owner to keep.
    std::vector<Finished> takeFinished();
    size_t pendingCount() const;

private:
    struct Shared;
    void notifyReady();

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<QObject> receiver_;  // lives on the owner's thread
    std::function<void()> ready_;
};

}  // namespace ravelgrid
