#include "ravelgrid/view/ImageInsertion.h"

#include "platform/Log.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>

namespace ravelgrid {

void ImageInsertion::forgetDropped()
{
    // Strips leave with their lines (scrolled off, cleared, reset).
    visits_ += placed_.size();
    for (auto it = placed_.begin(); it != placed_.end();) {
        if (it->picture.expired()) {
            bytes_ -= it->bytes;
            it = placed_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t ImageInsertion::bytes()
{
    forgetDropped();
    return bytes_;
}

void ImageInsertion::removeStrips(Buffer& buffer, const QImage* picture)
{
    if (!buffer.hasAnyImages())
        return;
    CircularBufferLineList& lines = buffer.lines();
    visits_ += static_cast<uint64_t>(lines.count());
    for (int index = 0; index < lines.count(); ++index) {
        const BufferLine* line = lines.peek(index);
        if (!line || !line->hasImages())
            continue;
        const TerminalImageList& images = *line->images();
        visits_ += images.size();
        auto shows = [picture](const TerminalImagePtr& image) {
            const auto* strip = dynamic_cast<const PlatformImage*>(image.get());
            return strip && strip->picture.get() == picture;
        };
        if (std::none_of(images.begin(), images.end(), shows))
            continue;
        TerminalImageList kept;
        for (const TerminalImagePtr& image : images)
            if (!shows(image))
                kept.push_back(image);
        buffer.setLineImages(index, std::move(kept));
    }
}

bool ImageInsertion::insert(Terminal& terminal, const QImage& image, ImageSizeRequest width, ImageSizeRequest height,
                            bool preserveAspectRatio, const ImagePlacementMetrics& metrics)
{
    if (image.isNull())
        return false;
    const auto placed = placedImageSize(image.size(), width, height, preserveAspectRatio, metrics);
    if (!placed) {
        platform::logWarning("view", "refused an image of a size that cannot be placed");
        return false;
    }
    const bool fitInside = preserveAspectRatio && width.kind != ImageSizeRequest::Kind::automatic &&
                           height.kind != ImageSizeRequest::Kind::automatic;
    std::shared_ptr<const QImage> picture = renderPlacedPicture(image, *placed, metrics.scale, fitInside);
    if (!picture)
        return false;
    const size_t pictureBytes = size_t(std::max<qsizetype>(picture->sizeInBytes(), 0)) + kPictureOverheadBytes;
    if (pictureBytes > budget_) {
        platform::logWarning("view", "dropped an image larger than the image budget");
        return false;
    }

    if (bytes_ + pictureBytes > budget_)
        forgetDropped();
    bool dropped = false;
    while (!placed_.empty() && bytes_ + pictureBytes > budget_) {
        if (auto old = placed_.front().picture.lock()) {
            removeStrips(*terminal.normalBuffer, old.get());
            removeStrips(*terminal.altBuffer, old.get());
            dropped = true;
        }
        bytes_ -= placed_.front().bytes;
        placed_.pop_front();
    }

    Buffer& buffer = *terminal.buffer;
    const int startX = buffer.x();
    const int yBaseBefore = buffer.yBase();
    const BufferLine* topBefore = buffer.lines().peek(0);
    const auto strips = makeImageStrips(picture, *placed, startX, metrics);
    for (const auto& strip : strips) {
        const int index = buffer.yBase() + buffer.y();
        if (index >= 0 && index < buffer.lines().count()) {
            const TerminalImageList* existing = buffer.lines()[index].images();
            TerminalImageList images = existing ? *existing : TerminalImageList{};
            visits_ += images.size();
            if (images.size() >= kMaxImagesPerLine) {
                auto oldest = std::find_if(images.begin(), images.end(), [](const TerminalImagePtr& image) {
                    return dynamic_cast<const PlatformImage*>(image.get()) != nullptr;
                });
                visits_ += static_cast<uint64_t>(oldest - images.begin()) + 1;
                if (oldest != images.end())
                    images.erase(oldest);
            }
            images.push_back(strip);
            buffer.setLineImages(index, std::move(images));
            terminal.updateRange(buffer.y());
        }
        terminal.cmdIndex();
        buffer.setX(startX);
    }
    placed_.push_back(Placed{picture, pictureBytes});
    bytes_ += pictureBytes;
    if (dropped || buffer.yBase() != yBaseBefore || buffer.lines().peek(0) != topBefore)
        terminal.updateFullScreen();
    return true;
}

}  // namespace ravelgrid
