#include "ravelgrid/drawing/PictureJobs.h"

#include "ravelgrid/drawing/PlatformImage.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"
#include "ravelgrid/protocols/KittyPng.h"

#include <QCoreApplication>
#include <QObject>
#include <QThreadPool>

#include <algorithm>
#include <mutex>

namespace ravelgrid {
namespace {

bool sideInRange(int64_t side)
{
    return side > 0 && side <= kMaxImageSide;
}

// Straight RGBA shrunk by averaging each destination pixel's whole source
// area, premultiplied: a good downscale at any ratio that reads the source
// once and allocates only the result.
QImage boxShrunk(const uint8_t* rgba, int sw, int sh, int dw, int dh)
{
    QImage out(dw, dh, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return out;
    std::vector<int> columns(size_t(dw) + 1);
    for (int x = 0; x <= dw; ++x)
        columns[size_t(x)] = int(int64_t(x) * sw / dw);
    // 64 bits: one destination pixel may cover 10^8 source pixels.
    std::vector<uint64_t> sums(size_t(dw) * 4);
    for (int y = 0; y < dh; ++y) {
        const int y0 = int(int64_t(y) * sh / dh), y1 = int(int64_t(y + 1) * sh / dh);
        std::fill(sums.begin(), sums.end(), 0);
        for (int sy = y0; sy < y1; ++sy) {
            const uint8_t* row = rgba + size_t(sy) * size_t(sw) * 4;
            for (int x = 0; x < dw; ++x) {
                uint64_t* s = &sums[size_t(x) * 4];
                uint64_t r = 0, g = 0, b = 0, a = 0;
                for (const uint8_t *p = row + size_t(columns[size_t(x)]) * 4,
                                   *end = row + size_t(columns[size_t(x) + 1]) * 4;
                     p < end; p += 4) {
                    const uint32_t alpha = p[3];
                    r += p[0] * alpha;
                    g += p[1] * alpha;
                    b += p[2] * alpha;
                    a += alpha;
                }
                s[0] += r;
                s[1] += g;
                s[2] += b;
                s[3] += a;
            }
        }
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < dw; ++x) {
            const uint64_t n = uint64_t(y1 - y0) * uint64_t(columns[size_t(x) + 1] - columns[size_t(x)]);
            const uint64_t* s = &sums[size_t(x) * 4];
            const auto channel = [n](uint64_t sum) { return int((sum + n * 255 / 2) / (n * 255)); };
            line[x] = qRgba(channel(s[0]), channel(s[1]), channel(s[2]), int((s[3] + n / 2) / n));
        }
    }
    return out;
}

}  // namespace

std::optional<QSize> payloadPixelSize(const KittyGraphicsPayload& payload)
{
    int64_t w = payload.width(), h = payload.height();
    if (payload.isPng()) {
        const auto size = kittyPngPixelSize(payload.bytes());
        if (!size)
            return std::nullopt;
        w = size->width;
        h = size->height;
    }
    if (!sideInRange(w) || !sideInRange(h))
        return std::nullopt;
    return QSize(int(w), int(h));
}

bool isLargePicture(const KittyGraphicsPayload& payload)
{
    const auto size = payloadPixelSize(payload);
    return size && int64_t(size->width()) * size->height() > kLargePicturePixels;
}

std::optional<QImage> preparePayloadPicture(std::span<const uint8_t> bytes, bool png, QSize natural, QSize size)
{
    if (!size.isValid() || !sideInRange(size.width()) || !sideInRange(size.height()))
        return std::nullopt;
    constexpr QImage::Format drawn = QImage::Format_ARGB32_Premultiplied;
    QImage image;
    if (png) {
        auto decoded = imageFromEncoded(bytes);
        if (!decoded)
            return std::nullopt;
        image = std::move(*decoded);
    } else {
        if (!sideInRange(natural.width()) || !sideInRange(natural.height()) ||
            bytes.size() / 4 / size_t(natural.width()) < size_t(natural.height()))
            return std::nullopt;
        if (size.width() <= natural.width() && size.height() <= natural.height() && size != natural) {
            QImage shrunk = boxShrunk(bytes.data(), natural.width(), natural.height(), size.width(), size.height());
            if (shrunk.isNull())
                return std::nullopt;
            return shrunk;
        }
        // Read in place: the bytes outlive this call.
        image = QImage(bytes.data(), natural.width(), natural.height(), natural.width() * 4, QImage::Format_RGBA8888);
    }
    QImage result = image.size() == size
                        ? image.convertToFormat(drawn)
                        : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(drawn);
    if (result.isNull())
        return std::nullopt;
    // Never left pointing into the caller's bytes.
    if (result.constBits() == bytes.data())
        result = result.copy();
    return result;
}

struct PictureJobs::Shared {
    std::mutex mutex;
    PictureJobs* owner = nullptr;  // null once the owner is gone
    QObject* receiver = nullptr;
    std::vector<Key> pending;
    std::vector<Finished> finished;
};

PictureJobs::PictureJobs() : shared_(std::make_shared<Shared>()), receiver_(std::make_unique<QObject>())
{
    shared_->owner = this;
    shared_->receiver = receiver_.get();
}

PictureJobs::~PictureJobs()
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        shared_->receiver = nullptr;
    }
    // Deleting the receiver drops the notices already posted to it.
    receiver_.reset();
}

bool PictureJobs::request(Key key, const std::shared_ptr<const std::vector<uint8_t>>& source, Prepare prepare)
{
    if (!source)
        return false;
    {
        std::lock_guard lock(shared_->mutex);
        if (std::find(shared_->pending.begin(), shared_->pending.end(), key) != shared_->pending.end())
            return true;
        // Done but not yet taken (another band of the same frame asks): the
        // next frame takes it, so the work is not done twice.
        if (std::any_of(shared_->finished.begin(), shared_->finished.end(),
                        [&](const Finished& f) { return f.key == key; }))
            return false;
        if (shared_->pending.size() >= maxPending)
            return false;
        shared_->pending.push_back(key);
    }
    std::weak_ptr<const std::vector<uint8_t>> weak = source;
    QThreadPool::globalInstance()->start([shared = shared_, key, weak, prepare = std::move(prepare)] {
        bool wanted;
        {
            std::lock_guard lock(shared->mutex);
            wanted = shared->owner != nullptr;
        }
        std::shared_ptr<const QImage> image;
        bool prepared = false;
        if (wanted) {
            // Held while working: the payload may be released meanwhile.
            if (const auto bytes = weak.lock()) {
                if (auto made = prepare(std::span<const uint8_t>(bytes->data(), bytes->size())))
                    image = std::make_shared<const QImage>(std::move(*made));
                prepared = true;
            }
        }
        std::lock_guard lock(shared->mutex);
        std::erase(shared->pending, key);
        if (!shared->owner)
            return;
        if (prepared)
            shared->finished.push_back(Finished{key, weak, std::move(image)});
        // Also when skipped: the owner asks again for what it still shows,
        // new bytes at a released payload's address among them.
        if (shared->receiver && QCoreApplication::instance()) {
            PictureJobs* owner = shared->owner;
            QMetaObject::invokeMethod(
                shared->receiver, [owner] { owner->notifyReady(); }, Qt::QueuedConnection);
        }
    });
    return true;
}

std::vector<PictureJobs::Finished> PictureJobs::takeFinished()
{
    std::lock_guard lock(shared_->mutex);
    std::vector<Finished> taken;
    taken.swap(shared_->finished);
    return taken;
}

size_t PictureJobs::pendingCount() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->pending.size();
}

void PictureJobs::notifyReady()
{
    if (ready_)
        ready_();
}

}  // namespace ravelgrid
