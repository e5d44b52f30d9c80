#include "ravelgrid/gpu/FakeGpuBackend.h"

#include <algorithm>
#include <cstring>

namespace ravelgrid {

std::shared_ptr<GpuBuffer> FakeGpuBackend::makeBuffer(std::size_t length)
{
    if (length == 0 || (failBuffer && failBuffer(length)))
        return nullptr;
    ++buffersMade;
    return std::make_shared<Buffer>(length);
}

std::shared_ptr<GpuTexture> FakeGpuBackend::makeTexture(GpuTextureFormat format, int side)
{
    if (side <= 0 || (maxTextureSide && side > *maxTextureSide) || (failTexture && failTexture(format, side)))
        return nullptr;
    ++texturesMade;
    return std::make_shared<Texture>(format, side);
}

bool FakeGpuBackend::uploadRegion(GpuTexture& texture, GpuRect rect, std::span<const std::uint8_t> bytes,
                                  std::size_t rowLength)
{
    auto* t = dynamic_cast<Texture*>(&texture);
    if (failUploads || !t || rect.x < 0 || rect.y < 0 || rect.width <= 0 || rect.height <= 0 ||
        rect.x + rect.width > t->side() || rect.y + rect.height > t->side() || rowLength < std::size_t(rect.width))
        return false;
    const std::size_t bpp = std::size_t(bytesPerTexel(t->format()));
    const std::size_t needed = (std::size_t(rect.height) - 1) * rowLength * bpp + std::size_t(rect.width) * bpp;
    if (bytes.size() < needed)
        return false;
    for (int r = 0; r < rect.height; ++r) {
        const std::uint8_t* from = bytes.data() + std::size_t(r) * rowLength * bpp;
        std::uint8_t* to =
            t->texels().data() + (std::size_t(rect.y + r) * std::size_t(t->side()) + std::size_t(rect.x)) * bpp;
        std::memcpy(to, from, std::size_t(rect.width) * bpp);
    }
    ++uploads;
    texelsUploaded += std::size_t(rect.width) * std::size_t(rect.height);
    return true;
}

}  // namespace ravelgrid
