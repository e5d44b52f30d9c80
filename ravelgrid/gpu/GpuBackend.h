#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace ravelgrid {

enum class GpuTextureFormat : std::uint8_t { r8, bgra8 };

inline constexpr int bytesPerTexel(GpuTextureFormat format)
{
    return format == GpuTextureFormat::r8 ? 1 : 4;
}

struct GpuRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const GpuRect&) const = default;
};

// A square texture, origin at the first texel row (the bottom row on
// screen: texture rows go up).
class GpuTexture {
public:
    virtual ~GpuTexture() = default;
    virtual GpuTextureFormat format() const = 0;
    virtual int side() const = 0;
};

// A buffer the CPU writes and the GPU reads.
class GpuBuffer {
public:
    virtual ~GpuBuffer() = default;
    virtual std::size_t length() const = 0;
    virtual std::span<std::byte> contents() = 0;
};

// All the renderer's logic needs of the GPU. Every call may fail: no object,
// false, or no size.
class GpuBackend {
public:
    virtual ~GpuBackend() = default;
    virtual std::shared_ptr<GpuBuffer> makeBuffer(std::size_t length) = 0;
    virtual std::shared_ptr<GpuTexture> makeTexture(GpuTextureFormat format, int side) = 0;
    // `bytes` starts at the rect's first texel; rows are `rowLength` texels
    // apart.
    virtual bool uploadRegion(GpuTexture& texture, GpuRect rect, std::span<const std::uint8_t> bytes,
                              std::size_t rowLength) = 0;
    virtual std::optional<int> maxTextureSize() const = 0;
};

}  // namespace ravelgrid
