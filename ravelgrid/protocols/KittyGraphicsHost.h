#pragma once

#include "ravelgrid/protocols/KittyGraphicsControl.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace ravelgrid {

// What the kitty graphics commands need of the terminal they run in.
class KittyGraphicsHost {
public:
    virtual ~KittyGraphicsHost() = default;

    // Hands reply bytes to the child.
    virtual void kittySendResponse(std::string_view bytes) = 0;
    // Replies use the 8-bit C1 controls APC and ST.
    virtual bool kittySend8bit() const = 0;
    // Only a local shell or tool may name files and shared memory. None
    // while that cannot be told yet: `retry` makes the command again later.
    virtual std::optional<bool> kittyRequestTrust(std::function<void()> retry) = 0;
    virtual int64_t kittyImageCacheLimitBytes() const = 0;

    // Puts an image on the screen; false after an error it has replied to.
    virtual bool kittyPlaceImage(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                                 std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber) = 0;
    // Runs a delete command ("d" or "D").
    virtual void kittyDelete(const KittyGraphicsControl& control) = 0;
    // Adds the ids of images that cells on the screen still show.
    virtual void kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const = 0;
    // Evicted pixels, by their shared bytes: the cells showing them let go
    // and draw nothing from then on.
    virtual void kittyReleasePictures(const std::unordered_set<const void*>& pictures) { (void)pictures; }
    // Runs `work` off the terminal's thread and `then` back on it, holding
    // later input until then; false when it cannot, and the caller works now.
    virtual bool kittyRunInBackground(std::function<void()> work, std::function<void()> then)
    {
        (void)work;
        (void)then;
        return false;
    }
};

}  // namespace ravelgrid
